#pragma once

#include <dirent.h>

#include <cstddef>
#include <memory>

#include "platform/fd/UniqueFd.h"

namespace zivuv::platform {

// The entries of an open folder, read with getdents64 into a buffer of the
// size readdir uses, without the fstat and fcntl calls that fdopendir adds.
// Owns the descriptor.
class FolderListing {
 public:
  explicit FolderListing(UniqueFd fd);

  int fd() const { return fd_.get(); }
  // The next entry, "." and ".." included; nullptr at the end, or when the
  // folder cannot be read.
  const dirent64* next();

 private:
  static constexpr std::size_t kBufferSize = 32768;
  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::size_t at_ = 0;
};

}  // namespace zivuv::platform

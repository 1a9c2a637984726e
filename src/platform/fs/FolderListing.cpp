#include "platform/fs/FolderListing.h"

#include <utility>

namespace zivuv::platform {

FolderListing::FolderListing(UniqueFd fd) : fd_(std::move(fd)), buffer_(new char[kBufferSize]) {}

const dirent64* FolderListing::next() {
  if (at_ >= size_) {
    const ssize_t n = ::getdents64(fd_.get(), buffer_.get(), kBufferSize);
    if (n <= 0) return nullptr;
    size_ = static_cast<std::size_t>(n);
    at_ = 0;
  }
  const auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + at_);
  at_ += entry->d_reclen;
  return entry;
}

}  // namespace zivuv::platform

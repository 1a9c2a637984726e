#pragma once

#include <filesystem>
#include <string>

namespace zivuv::testing {

// A fresh folder under /tmp (short, for the sockets a private bus makes in
// it), removed with everything in it on destruction. `path()` is empty when
// it could not be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zivuv-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  bool ok() const { return !path_.empty(); }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }

 private:
  std::filesystem::path path_;
};

// Writes `contents` to `path` (replacing it, making its folder) with
// `mode`; false on failure.
bool writeFile(const std::filesystem::path& path, const std::string& contents,
               std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_write);

// The whole file, or an empty string when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace zivuv::testing

#pragma once

#include <filesystem>
#include <string>

namespace zivuv::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// on destruction. Move-only. `path()` is empty when creation failed.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zivuv-test");
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const { return path_; }
  bool ok() const { return !path_.empty(); }
  // `path() / relative`.
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }
  // Removes the directory now; `path()` becomes empty.
  void remove();

 private:
  std::filesystem::path path_;
};

// Writes `contents` to `path` (replacing it) and sets its mode; false on failure.
bool writeFile(const std::filesystem::path& path, const std::string& contents,
               std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_write);

// The whole file, or an empty string when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Removes `path` recursively, making directories writable first when a plain
// removal fails (a test may have taken the write bit away). Never throws.
bool removeTree(const std::filesystem::path& path);

}  // namespace zivuv::testing

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/url/FileURL.h"

namespace zivuv::platform {

using Data = std::vector<std::uint8_t>;

// Bookmark data: a versioned binary record of one folder, little-endian:
// "ZVBM", version 1, kind, two reserved zero bytes, st_dev (8), st_ino (8),
// path length n (4, 1 to 4096), then the absolute path without a NUL.
enum class BookmarkKind : std::uint8_t { Transport = 1, Secure = 2 };

struct BookmarkCreation {
  std::optional<Data> data;
  std::string error;  // the description when data is absent
};

struct BookmarkResolution {
  std::optional<FileURL> url;  // the directory form of the real path
  std::string error;           // the description when url is absent
  bool stale = false;          // set by the resolver, also next to an error
};

// While an object of this class lives on a thread, bookmark creation and
// resolution on that thread remember the real path of each parent folder:
// a path whose last component is no symbolic link then costs one lstat
// instead of realpath's readlink per component and a stat. Meant for one
// batch (a scan); nothing is remembered past it.
class RealPathCacheScope {
 public:
  RealPathCacheScope();
  ~RealPathCacheScope();
  RealPathCacheScope(const RealPathCacheScope&) = delete;
  RealPathCacheScope& operator=(const RealPathCacheScope&) = delete;
};

// Records the real path (realpath(3)) of the folder at path with its device
// and inode. Fails with "no folder at <path>" or "not a folder: <path>".
BookmarkCreation createBookmark(const std::string& path, BookmarkKind kind);

// The same record from what a walk knows of the folder at path: a folder,
// no symbolic link and no mount point, its inode from the listing and the
// device of the folder it lies in. Only the parent's real path is taken
// (once per parent while a RealPathCacheScope lives); the folder itself is
// not looked at. Fails as createBookmark does when that path is too long.
BookmarkCreation createBookmarkOfListed(const std::string& path, std::uint64_t device,
                                        std::uint64_t inode, BookmarkKind kind);

// Validates every byte, then looks at the disk. Never reads past the input.
BookmarkResolution resolveBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind);

// The structural check alone, without touching the disk; the error
// description or empty when the record is well formed. For the fuzzers.
std::string validateBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind,
                             std::string* pathOut = nullptr);

// What a well-formed record holds, without touching the disk; nothing when
// validateBookmark finds a defect.
struct BookmarkFields {
  std::string path;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};
std::optional<BookmarkFields> decodeBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind);

}  // namespace zivuv::platform

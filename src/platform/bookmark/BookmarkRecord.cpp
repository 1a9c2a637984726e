#include "platform/bookmark/BookmarkRecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "platform/fd/UniqueFd.h"
#include "platform/fs/FolderListing.h"
#include "platform/path/RealPath.h"

namespace zivuv::platform {
namespace {

constexpr std::size_t kHeaderSize = 28;
constexpr std::uint32_t kMaxPathLength = 4096;
constexpr std::uint8_t kVersion = 1;

void putLittleEndian(Data& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t getLittleEndian(std::span<const std::uint8_t> in, std::size_t offset, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(in[offset + i]) << (8 * i);
  return value;
}

// Looked up by a part of a path, without making a string of it.
struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view path) const noexcept {
    return std::hash<std::string_view>{}(path);
  }
};

// What a RealPathCacheScope keeps of one parent folder on this thread:
// its real path, and from the second look into it on, its entries as one
// listing gives them (a record per entry resolved otherwise costs a stat).
struct Listed {
  unsigned char type;
  ino_t inode;
};
struct Parent {
  std::optional<std::string> real;
  int looks = 0;
  dev_t device = 0;
  std::optional<std::unordered_map<std::string, Listed, PathHash, std::equal_to<>>> entries;
};
thread_local std::unordered_map<std::string, Parent, PathHash, std::equal_to<>> tParents;
thread_local int tScopeDepth = 0;

// The entries of the folder at real, with its device; nullopt when it
// cannot be listed.
std::optional<std::unordered_map<std::string, Listed, PathHash, std::equal_to<>>> listFolder(
    const std::string& real,
                                                                  dev_t& device) {
  FolderListing listing(UniqueFd(::open(real.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  struct stat st {};
  if (listing.fd() < 0 || ::fstat(listing.fd(), &st) != 0) return std::nullopt;
  device = st.st_dev;
  std::unordered_map<std::string, Listed, PathHash, std::equal_to<>> entries;
  while (const dirent64* entry = listing.next()) {
    entries.emplace(entry->d_name, Listed{entry->d_type, entry->d_ino});
  }
  return entries;
}

// The real path of a folder while a scope lives: its parent's, kept, and
// its own name, unless that is a symbolic link; so each folder costs one
// lstat, not realpath's readlink of every component.
const std::optional<std::string>& cachedRealPath(std::string_view folder) {
  auto it = tParents.find(folder);
  if (it != tParents.end()) return it->second.real;
  std::optional<std::string> real;
  const std::size_t slash = folder.rfind('/');
  if (folder == "/" || slash == std::string_view::npos) {
    real = realPath(std::string(folder));
  } else if (const auto& parent = cachedRealPath(slash == 0 ? "/" : folder.substr(0, slash))) {
    std::string candidate = *parent == "/" ? std::string() : *parent;
    candidate.append(folder, slash, std::string::npos);
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) == 0) {
      real = S_ISLNK(st.st_mode) ? realPath(std::string(folder)) : std::optional(std::move(candidate));
    }
  }
  Parent fresh;
  fresh.real = std::move(real);
  return tParents.emplace(std::string(folder), std::move(fresh)).first->second.real;
}

// The parent folder of path as the scope keeps it; null without a scope or
// for a path that realpath would rewrite.
Parent* cachedParent(const std::string& path, std::size_t& slash) {
  // A path that realpath only has to check, never rewrite, below "/".
  if (tScopeDepth == 0 || path.size() < 2 || !isNormalAbsolute(path)) return nullptr;
  slash = path.rfind('/');
  const std::string_view parent = slash == 0 ? std::string_view("/") : std::string_view(path).substr(0, slash);
  (void)cachedRealPath(parent);
  return &tParents.find(parent)->second;
}

// realpath(3) of path, and stat(2) of the result in st; what realPath and
// a stat of its result give, with the parent's real path remembered while
// a RealPathCacheScope lives.
std::optional<std::string> realPathAndStat(const std::string& path, struct stat& st) {
  std::size_t slash = 0;
  if (const Parent* parent = cachedParent(path, slash); parent != nullptr && parent->real) {
    std::string candidate = *parent->real;
    if (candidate != "/") candidate += '/';
    candidate.append(path, slash + 1, std::string::npos);
    if (::lstat(candidate.c_str(), &st) != 0) return std::nullopt;
    // A link as last component is resolved the long way.
    if (!S_ISLNK(st.st_mode)) return candidate;
  }
  auto real = realPath(path);
  if (!real || ::stat(real->c_str(), &st) != 0) return std::nullopt;
  return real;
}

// With a RealPathCacheScope, the real path of the folder recorded at path
// when it is still that very folder (a folder, no link, the same device and
// inode), told by the listing of its parent; nullopt when the listing
// cannot tell, and the disk has to be asked. A parent is listed from the
// second record in it on: a folder with thousands of repositories is read
// in a few calls instead of one stat each.
std::optional<std::string> unchangedFolder(const std::string& path, std::uint64_t device,
                                           std::uint64_t inode) {
  std::size_t slash = 0;
  Parent* parent = cachedParent(path, slash);
  if (parent == nullptr || !parent->real || ++parent->looks < 2) return std::nullopt;
  if (!parent->entries) {
    parent->entries = listFolder(*parent->real, parent->device);
    if (!parent->entries) parent->entries.emplace();  // unreadable: never tried again
  }
  const auto it = parent->entries->find(std::string_view(path).substr(slash + 1));
  // A mount point lists the inode under it, not the mounted one: it is
  // looked at on the disk, as anything that is not plainly the same.
  if (it == parent->entries->end() || it->second.type != DT_DIR || it->second.inode != inode ||
      static_cast<std::uint64_t>(parent->device) != device) {
    return std::nullopt;
  }
  std::string real = *parent->real;
  if (real != "/") real += '/';
  real.append(path, slash + 1, std::string::npos);
  return real;
}

}  // namespace

RealPathCacheScope::RealPathCacheScope() { ++tScopeDepth; }

RealPathCacheScope::~RealPathCacheScope() {
  if (--tScopeDepth == 0) tParents.clear();
}

namespace {

// The record of the folder at real, reached as path.
BookmarkCreation encodeBookmark(const std::string& path, const std::string& real,
                                std::uint64_t device, std::uint64_t inode, BookmarkKind kind) {
  BookmarkCreation result;
  if (real.empty() || real.size() > kMaxPathLength) {
    result.error = "path too long: " + path;
    return result;
  }
  Data data;
  data.reserve(kHeaderSize + real.size());
  data.insert(data.end(), {'Z', 'V', 'B', 'M'});
  data.push_back(kVersion);
  data.push_back(static_cast<std::uint8_t>(kind));
  data.push_back(0);
  data.push_back(0);
  putLittleEndian(data, device, 8);
  putLittleEndian(data, inode, 8);
  putLittleEndian(data, real.size(), 4);
  data.insert(data.end(), real.begin(), real.end());
  result.data = std::move(data);
  return result;
}

}  // namespace

BookmarkCreation createBookmark(const std::string& path, BookmarkKind kind) {
  BookmarkCreation result;
  struct stat st {};
  const auto real = realPathAndStat(path, st);
  if (!real) {
    result.error = "no folder at " + path;
    return result;
  }
  if (!S_ISDIR(st.st_mode)) {
    result.error = "not a folder: " + path;
    return result;
  }
  return encodeBookmark(path, *real, static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino), kind);
}

BookmarkCreation createBookmarkOfListed(const std::string& path, std::uint64_t device,
                                        std::uint64_t inode, BookmarkKind kind) {
  std::size_t slash = 0;
  const Parent* parent = cachedParent(path, slash);
  if (parent == nullptr || !parent->real) {
    // No scope, or a path that realpath would rewrite: the long way.
    BookmarkCreation result;
    const auto real = realPath(path);
    if (!real) {
      result.error = "no folder at " + path;
      return result;
    }
    return encodeBookmark(path, *real, device, inode, kind);
  }
  std::string real = *parent->real;
  if (real != "/") real += '/';
  real.append(path, slash + 1, std::string::npos);
  return encodeBookmark(path, real, device, inode, kind);
}

std::string validateBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind,
                             std::string* pathOut) {
  if (bytes.size() < kHeaderSize) return "truncated";
  if (std::memcmp(bytes.data(), "ZVBM", 4) != 0) return "not bookmark data";
  if (bytes[4] != kVersion) return "unsupported version " + std::to_string(bytes[4]);
  if (bytes[6] != 0 || bytes[7] != 0) return "not bookmark data";
  const std::uint64_t length = getLittleEndian(bytes, 24, 4);
  if (length < 1 || length > kMaxPathLength) return "not bookmark data";
  if (bytes.size() < kHeaderSize + length) return "truncated";
  if (bytes.size() > kHeaderSize + length) return "not bookmark data";
  const auto* path = reinterpret_cast<const char*>(bytes.data() + kHeaderSize);
  if (path[0] != '/') return "not bookmark data";
  if (std::memchr(path, '\0', length) != nullptr) return "not bookmark data";
  if (bytes[5] != static_cast<std::uint8_t>(kind)) return "wrong kind";
  if (pathOut != nullptr) pathOut->assign(path, length);
  return {};
}

std::optional<BookmarkFields> decodeBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind) {
  BookmarkFields fields;
  if (!validateBookmark(bytes, kind, &fields.path).empty()) return std::nullopt;
  fields.device = getLittleEndian(bytes, 8, 8);
  fields.inode = getLittleEndian(bytes, 16, 8);
  return fields;
}

BookmarkResolution resolveBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind) {
  BookmarkResolution result;
  std::string recorded;
  result.error = validateBookmark(bytes, kind, &recorded);
  if (!result.error.empty()) return result;

  const std::uint64_t device = getLittleEndian(bytes, 8, 8);
  const std::uint64_t inode = getLittleEndian(bytes, 16, 8);
  if (auto unchanged = unchangedFolder(recorded, device, inode)) {
    result.url = FileURL::fromPath(*unchanged, true);
    return result;
  }
  struct stat st {};
  const auto real = realPathAndStat(recorded, st);
  if (!real) {
    result.error = "no folder at " + recorded;
    return result;
  }
  if (!S_ISDIR(st.st_mode)) {
    result.error = "not a folder: " + recorded;
    result.stale = true;
    return result;
  }
  result.stale = device != static_cast<std::uint64_t>(st.st_dev) ||
                 inode != static_cast<std::uint64_t>(st.st_ino);
  result.url = FileURL::fromPath(*real, true);
  return result;
}

}  // namespace zivuv::platform

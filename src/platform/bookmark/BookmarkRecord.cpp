#include "platform/bookmark/BookmarkRecord.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

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

// Real paths of parent folders, kept while a RealPathCacheScope lives on
// this thread (scopes may nest).
thread_local std::unordered_map<std::string, std::optional<std::string>> tParents;
thread_local int tScopeDepth = 0;

// A path that realpath only has to check, never rewrite: absolute, no
// empty, "." or ".." component, no trailing slash.
bool plainAbsolute(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part(path.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// realpath(3) of path, and stat(2) of the result in st; what realPath and
// a stat of its result give, with the parent's real path remembered while
// a RealPathCacheScope lives.
std::optional<std::string> realPathAndStat(const std::string& path, struct stat& st) {
  if (tScopeDepth > 0 && plainAbsolute(path)) {
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    auto it = tParents.find(parent);
    if (it == tParents.end()) it = tParents.emplace(parent, realPath(parent)).first;
    if (it->second) {
      std::string candidate = *it->second;
      if (candidate != "/") candidate += '/';
      candidate.append(path, slash + 1, std::string::npos);
      if (::lstat(candidate.c_str(), &st) != 0) return std::nullopt;
      // A link as last component is resolved the long way.
      if (!S_ISLNK(st.st_mode)) return candidate;
    }
  }
  auto real = realPath(path);
  if (!real || ::stat(real->c_str(), &st) != 0) return std::nullopt;
  return real;
}

}  // namespace

RealPathCacheScope::RealPathCacheScope() { ++tScopeDepth; }

RealPathCacheScope::~RealPathCacheScope() {
  if (--tScopeDepth == 0) tParents.clear();
}

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
  if (real->empty() || real->size() > kMaxPathLength) {
    result.error = "path too long: " + path;
    return result;
  }
  Data data;
  data.reserve(kHeaderSize + real->size());
  data.insert(data.end(), {'Z', 'V', 'B', 'M'});
  data.push_back(kVersion);
  data.push_back(static_cast<std::uint8_t>(kind));
  data.push_back(0);
  data.push_back(0);
  putLittleEndian(data, static_cast<std::uint64_t>(st.st_dev), 8);
  putLittleEndian(data, static_cast<std::uint64_t>(st.st_ino), 8);
  putLittleEndian(data, real->size(), 4);
  data.insert(data.end(), real->begin(), real->end());
  result.data = std::move(data);
  return result;
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

BookmarkResolution resolveBookmark(std::span<const std::uint8_t> bytes, BookmarkKind kind) {
  BookmarkResolution result;
  std::string recorded;
  result.error = validateBookmark(bytes, kind, &recorded);
  if (!result.error.empty()) return result;

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
  const std::uint64_t device = getLittleEndian(bytes, 8, 8);
  const std::uint64_t inode = getLittleEndian(bytes, 16, 8);
  result.stale = device != static_cast<std::uint64_t>(st.st_dev) ||
                 inode != static_cast<std::uint64_t>(st.st_ino);
  result.url = FileURL::fromPath(*real, true);
  return result;
}

}  // namespace zivuv::platform

#include "platform/bookmark/BookmarkRecord.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

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

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace

BookmarkCreation createBookmark(const std::string& path, BookmarkKind kind) {
  BookmarkCreation result;
  const auto real = realPath(path);
  if (!real) {
    result.error = "no folder at " + path;
    return result;
  }
  struct stat st {};
  if (::stat(real->c_str(), &st) != 0) {
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

  const auto real = realPath(recorded);
  struct stat st {};
  if (!real || ::stat(real->c_str(), &st) != 0) {
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

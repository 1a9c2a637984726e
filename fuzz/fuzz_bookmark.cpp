// Bookmark records from the outside (the app, a settings file) are arbitrary
// bytes: decoding must never crash or read past them, and the structural
// check and the resolution must agree. The same bytes, taken as a path,
// also exercise the URL and text helpers that every resolved path meets.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "platform/bookmark/BookmarkRecord.h"
#include "platform/text/Text.h"
#include "platform/url/FileURL.h"

namespace {

using namespace zivuv::platform;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void decode(std::span<const std::uint8_t> bytes, BookmarkKind kind) {
  std::string path;
  const std::string defect = validateBookmark(bytes, kind, &path);
  const BookmarkResolution resolution = resolveBookmark(bytes, kind);
  if (!defect.empty()) {
    // A malformed record never reaches the disk.
    check(resolution.error == defect && !resolution.url && !resolution.stale);
    return;
  }
  check(bytes.size() == 28 + path.size() && !path.empty() && path.size() <= 4096);
  check(path.front() == '/' && path.find('\0') == std::string::npos);
  check(bytes[5] == static_cast<std::uint8_t>(kind));
  if (resolution.url) {
    check(resolution.error.empty() && resolution.url->isDirectory());
    check(resolution.url->text().starts_with("file://") && resolution.url->text().ends_with("/"));
  } else {
    check(resolution.error == "no folder at " + path ||
          (resolution.error == "not a folder: " + path && resolution.stale));
  }
}

void asPath(std::string_view text) {
  for (const bool isDirectory : {false, true}) {
    const FileURL url = FileURL::fromPath(text, isDirectory);
    const std::string& path = url.path();
    check(!path.empty() && path.front() == '/');
    check(path == "/" || (path.back() != '/' && path.find("//") == std::string::npos));
    check(path.find("/./") == std::string::npos && path.find("/../") == std::string::npos);
    for (const char c : url.text().substr(7)) {
      check(std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/%",
                        c) != nullptr &&
            c != '\0');
    }
    check(FileURL::fromPath(path, isDirectory) == url);  // normal form is stable
  }
  for (const char c : escapeControlBytes(text)) {
    check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  const std::string utf8 = toValidUtf8(text);
  check(toValidUtf8(utf8) == utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  decode(bytes, BookmarkKind::Transport);
  decode(bytes, BookmarkKind::Secure);
  asPath({reinterpret_cast<const char*>(data), size});
  return 0;
}

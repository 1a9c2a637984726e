#include "platform/url/FileURL.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <vector>

#include "platform/path/RealPath.h"

namespace zivuv::platform {
namespace {

// The bytes that stand in a URL's text as they are; every other byte is
// percent-encoded.
constexpr std::array<bool, 256> kUnreserved = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
  }
  return table;
}();

// Appends path to out, percent-encoded in upper-case hex.
void appendEncoded(std::string& out, std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Paths are mostly unreserved bytes: copy each run of them at once.
  std::size_t run = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (kUnreserved[c]) continue;
    out.append(path.data() + run, i - run);
    const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
    out.append(escaped, sizeof escaped);
    run = i + 1;
  }
  out.append(path.data() + run, path.size() - run);
}

constexpr std::string_view kScheme = "file://";

std::string currentFolder() {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return "/";
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

// Lexical normalisation of an absolute path: no ".", no empty segment, ".."
// removes the segment before it, no trailing slash.
std::string normalise(std::string_view absolute) {
  if (isNormalAbsolute(absolute)) return std::string(absolute);
  std::vector<std::string_view> segments;
  std::size_t i = 0;
  while (i <= absolute.size()) {
    std::size_t j = absolute.find('/', i);
    if (j == std::string_view::npos) j = absolute.size();
    const std::string_view segment = absolute.substr(i, j - i);
    if (segment.empty() || segment == ".") {
      // dropped
    } else if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else {
      segments.push_back(segment);
    }
    i = j + 1;
  }
  if (segments.empty()) return "/";
  std::string out;
  for (const auto segment : segments) {
    out += '/';
    out += segment;
  }
  return out;
}

}  // namespace

FileURL FileURL::fromPath(std::string_view path, bool isDirectory) {
  std::string absolute;
  if (!path.empty() && path.front() == '/') {
    absolute = path;
  } else {
    absolute = currentFolder();
    absolute += '/';
    absolute += path;
  }
  FileURL url;
  url.path_ = normalise(absolute);
  url.isDirectory_ = isDirectory;
  url.text_.reserve(kScheme.size() + url.path_.size() + 1);
  url.text_ = kScheme;
  appendEncoded(url.text_, url.path_);
  if (isDirectory && url.path_ != "/") url.text_ += '/';
  return url;
}

std::string FileURL::lastPathComponent() const {
  if (path_ == "/") return "/";
  const std::size_t slash = path_.rfind('/');
  return path_.substr(slash + 1);
}

FileURL FileURL::withSecurityScope() const {
  FileURL copy = *this;
  copy.securityScoped_ = true;
  return copy;
}

FileURL FileURL::appending(std::string_view name, bool isDirectory) const {
  // The folder's path is already normal; a plain name needs no second pass.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      text_.empty()) {
    return fromPath(path_ + "/" + std::string(name), isDirectory);
  }
  // The folder's own text is encoded already: only the name is added.
  FileURL url;
  url.path_.reserve(path_.size() + 1 + name.size());
  url.path_ = path_;
  if (path_ != "/") url.path_ += '/';
  url.path_ += name;
  url.isDirectory_ = isDirectory;
  url.text_.reserve(text_.size() + name.size() + 2);
  url.text_ = text_;
  if (url.text_.back() != '/') url.text_ += '/';
  appendEncoded(url.text_, name);
  if (isDirectory) url.text_ += '/';
  return url;
}

}  // namespace zivuv::platform

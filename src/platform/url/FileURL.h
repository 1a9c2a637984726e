#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zivuv::platform {

// A file URL as a value. Two URLs are equal when their texts are equal, so
// "/x/a" and "/x/a/" name different folders. Making one never touches the
// disk. A URL resolved from a secure bookmark carries the security scope;
// the scope does not take part in equality.
class FileURL {
 public:
  FileURL() = default;

  // A relative path is made absolute against the working folder; "." and
  // empty segments are dropped, ".." is resolved lexically, a trailing slash
  // is dropped and one is added only when isDirectory is true.
  static FileURL fromPath(std::string_view path, bool isDirectory);

  // "file://" followed by the percent-encoded path.
  const std::string& text() const { return text_; }
  // The decoded path, without a trailing slash ("/" for the root).
  const std::string& path() const { return path_; }
  // The last segment of the path, decoded.
  std::string lastPathComponent() const;
  bool isDirectory() const { return isDirectory_; }
  bool empty() const { return text_.empty(); }

  bool hasSecurityScope() const { return securityScoped_; }
  FileURL withSecurityScope() const;

  // The URL of an entry of this folder.
  FileURL appending(std::string_view name, bool isDirectory) const;

  friend bool operator==(const FileURL& a, const FileURL& b) { return a.text_ == b.text_; }

 private:
  std::string path_;
  std::string text_;
  bool isDirectory_ = false;
  bool securityScoped_ = false;
};

}  // namespace zivuv::platform

template <>
struct std::hash<zivuv::platform::FileURL> {
  std::size_t operator()(const zivuv::platform::FileURL& url) const noexcept {
    return std::hash<std::string>{}(url.text());
  }
};

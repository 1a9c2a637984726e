#include "monitorctl/Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "bookmarks/BookmarkUtils.h"
#include "platform/fd/UniqueFd.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {

bool printData(std::string_view line) {
  std::string text(line);
  text += '\n';
  return platform::writeAll(STDOUT_FILENO, text);
}

void printMessage(std::string_view message) {
  std::string text(kProgram);
  text += ": ";
  text += message;
  text += '\n';
  (void)platform::writeAll(STDERR_FILENO, text);
}

std::string base64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<Folder> folderArgument(const std::string& path) {
  const std::string shown = platform::escapeControlBytes(path);
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    printMessage("not a folder: " + shown);
    return std::nullopt;
  }
  // The bookmark store's own creation, without the line that it prints on
  // standard output when it fails: the bytes are the same. It records the
  // real path that the kernel resolves from path as given ("link/.." is the
  // link target's parent), the same folder that stat() just checked.
  auto creation = platform::createBookmark(path, platform::BookmarkKind::Transport);
  if (!creation.data) {
    printMessage("cannot make transport data of " + shown + ": " +
                 platform::escapeControlBytes(creation.error));
    return std::nullopt;
  }
  auto resolution = platform::resolveBookmark(*creation.data, platform::BookmarkKind::Transport);
  if (!resolution.url) {
    printMessage("cannot resolve the transport data of " + shown + ": " +
                 platform::escapeControlBytes(resolution.error));
    return std::nullopt;
  }
  return Folder{std::move(*creation.data), std::move(*resolution.url)};
}

std::string shownPath(const platform::FileURL& url) {
  return platform::escapeControlBytes(url.path());
}

std::string shownResolution(std::span<const std::uint8_t> data) {
  const auto resolution = platform::resolveBookmark(data, platform::BookmarkKind::Transport);
  if (!resolution.url) return "(unresolvable)";
  return shownPath(*resolution.url);
}

std::string sharedSettingsFile() {
  return platform::escapeControlBytes(platform::settingsFile(sharedSuiteName()));
}

std::string jsonPath(const platform::FileURL& url) { return platform::toValidUtf8(url.path()); }

int printJson(const nlohmann::json& document) {
  return printData(document.dump(2)) ? kSuccess : kFailure;
}

QuietStdout::QuietStdout() {
  std::fflush(stdout);
  saved_.reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  const platform::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (saved_ && null) (void)::dup2(null.get(), STDOUT_FILENO);
}

QuietStdout::~QuietStdout() {
  if (saved_) (void)::dup2(saved_.get(), STDOUT_FILENO);
}

}  // namespace zivuv::monitorctl

// `why DIR`: what the next scan does with DIR, and why. Every step is the
// scan's own code (the listing's filter, the matching against the shared
// lists, the repository test), so the answer cannot disagree with a scan.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/Candidates.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/fd/UniqueFd.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {
namespace {

using discovery::EntryKind;
using discovery::KnownFolders;
using platform::FileURL;

struct Answer {
  const char* key;   // for scripts
  std::string text;  // for people
  std::string reason;
};

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

// DIR as the folder that holds it and the name it has there, the last
// component unresolved, so that a link stays a link. "." and ".." name
// folders, never links, and are resolved first.
std::pair<std::string, std::string> parentAndName(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::size_t slash = dir.rfind('/');
  std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  if (name == "." || name == ".." || dir == "/") {
    dir = realPath(dir).value_or(dir);
    if (dir == "/") return {"/", "/"};
    return parentAndName(dir);
  }
  if (slash == std::string::npos) return {".", name};
  return {slash == 0 ? "/" : dir.substr(0, slash), name};
}

// The shared lists as a scan reads them. The store prints its own lines on
// standard output, which here carries the answer alone: as in `repos`, they
// are left out.
std::optional<KnownFolders> loadKnownFolders() {
  std::fflush(stdout);
  const platform::UniqueFd savedOut(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  const platform::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (savedOut && null) (void)::dup2(null.get(), STDOUT_FILENO);
  SharedSuiteSession suite(sharedSuiteName());
  const auto blocked = suite.loadURLs(BookmarkKeys::blockKey);
  const auto listed = blocked ? suite.loadURLs(BookmarkKeys::sandboxKey) : std::nullopt;
  if (savedOut) (void)::dup2(savedOut.get(), STDOUT_FILENO);
  if (!blocked || !listed) return std::nullopt;
  return KnownFolders(*blocked, *listed);
}

std::optional<Answer> explain(const std::string& dir, const std::optional<FileURL>& monitored) {
  const auto [parent, name] = parentAndName(dir);
  const platform::UniqueFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  const bool exists =
      parentFd && ::fstatat(parentFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const EntryKind kind = exists ? discovery::classifyEntry(parentFd.get(), name.c_str(), DT_UNKNOWN)
                                : EntryKind::Missing;
  switch (kind) {
    case EntryKind::Missing: return Answer{"missing", "does not exist", {}};
    case EntryKind::Hidden:
      return Answer{"hidden", "hidden: scans pass over names that start with a dot", {}};
    case EntryKind::SymbolicLink:
      return Answer{"symlink", "a symbolic link: scans never follow links", {}};
    case EntryKind::NotAFolder: return Answer{"not-folder", "not a folder", {}};
    case EntryKind::Candidate: break;
  }

  const auto known = loadKnownFolders();
  if (!known) return std::nullopt;
  const auto real = realPath(dir);
  const auto match = real ? known->find(FileURL::fromPath(*real, true)) : std::nullopt;
  if (match == KnownFolders::Kind::Blocked) {
    return Answer{"blocked", "blocked: the app has blocked it, so no scan registers it", {}};
  }
  if (match == KnownFolders::Kind::Listed) {
    return Answer{"listed", "listed: the app lists it, registered already", {}};
  }

  if (!monitored) return Answer{"not-monitored", "no folder is monitored", {}};
  if (realPath(parent) != monitored->path()) {
    return Answer{"not-subfolder",
                  "not an immediate subfolder of the monitored folder " + monitored->path(), {}};
  }
  // The very path that the scan's listing gives for this entry.
  std::string reason;
  if (discovery::isGitRepository(monitored->appending(name, true).path(), &reason)) {
    return Answer{"would-register", "would be registered by the next scan", {}};
  }
  if (reason == "unreadable") return Answer{"unreadable", "unreadable", {}};
  return Answer{"not-repository", "not a repository: " + reason, reason};
}

}  // namespace

int runWhy(const std::string& dir, bool json) {
  const auto agent = askAgent();
  if (!agent) return kFailure;
  std::optional<FileURL> monitored;
  if (agent->data) {
    monitored = platform::resolveBookmark(*agent->data, platform::BookmarkKind::Transport).url;
  }
  const auto answer = explain(dir, monitored);
  if (!answer) {
    printMessage("cannot read the shared settings " + sharedSettingsFile());
    return kFailure;
  }
  if (json) {
    nlohmann::json document = {
        {"folder", platform::toValidUtf8(dir)},
        {"answer", answer->key},
        {"text", platform::toValidUtf8(answer->text)},
        {"monitored", monitored ? nlohmann::json(jsonPath(*monitored)) : nlohmann::json(nullptr)}};
    if (!answer->reason.empty()) document["reason"] = platform::toValidUtf8(answer->reason);
    return printJson(document);
  }
  return printData(platform::escapeControlBytes(dir) + ": " +
                   platform::escapeControlBytes(answer->text))
             ? kSuccess
             : kFailure;
}

}  // namespace zivuv::monitorctl

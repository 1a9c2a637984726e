// `why DIR`: what the next scan does with DIR, and why. Every step is the
// scan's own code (the walk's filter and ignore patterns, the matching
// against the shared lists, the repository test), taken level by level from
// the monitored folder down to DIR in the walk's order, so the answer cannot
// disagree with a scan.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "discovery/Candidates.h"
#include "discovery/ScanSettings.h"
#include "monitorctl/Answers.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/fd/UniqueFd.h"
#include "platform/path/RealPath.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {
namespace {

using discovery::EntryKind;
using discovery::KnownFolders;
using platform::FileURL;
using platform::UniqueFd;
using platform::realPath;

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

// What the walk does at each folder on the way from the monitored folder
// down to DIR (below the monitored folder by relative path). Nothing when
// it reaches DIR.
std::optional<Answer> onTheWay(const FileURL& monitored, const std::vector<std::string>& names,
                               const discovery::ScanSettings& settings, const KnownFolders& known) {
  UniqueFd folder(::open(monitored.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string opened = monitored.path();  // the folder that `folder` is, or failed to be
  FileURL url = monitored;
  std::string relative;
  const std::size_t depth = names.size();
  const std::size_t examined = std::min(depth - 1, static_cast<std::size_t>(settings.depth));
  for (std::size_t i = 0; i < examined && folder; ++i) {
    const std::string& name = names[i];
    relative += (relative.empty() ? "" : "/") + name;
    url = url.appending(name, true);
    const std::string path = url.path();
    if (discovery::classifyEntry(folder.get(), name.c_str(), DT_UNKNOWN) == EntryKind::Hidden) {
      return Answer{"inside-hidden", "inside a hidden folder, which scans pass over: " + path};
    }
    if (const auto pattern = settings.ignoredBy(name, relative)) return ignoredAnswer(*pattern, path);
    if (known.find(url) == KnownFolders::Kind::Blocked) {
      return insideBlockedAnswer(path);
    }
    if (discovery::locatedAt(folder.get(), name.c_str(), path)) {
      return insideRepositoryAnswer(path);
    }
    folder.reset(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    opened = path;
  }
  if (depth > static_cast<std::size_t>(settings.depth)) {
    return tooDeepAnswer(depth, settings.depth);
  }
  // The walk lists each folder on the way; one it cannot open hides DIR.
  if (!folder) {
    return Answer{"unreadable", "unreadable: scans cannot list " + opened,
                  {{"inside", platform::toValidUtf8(opened)}}};
  }
  return std::nullopt;
}

std::optional<Answer> explain(const std::string& dir, const std::optional<FileURL>& monitored) {
  const auto [parent, name] = parentAndName(dir);
  const UniqueFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  const bool exists =
      parentFd && ::fstatat(parentFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const EntryKind kind = exists ? discovery::classifyEntry(parentFd.get(), name.c_str(), DT_UNKNOWN)
                                : EntryKind::Missing;
  switch (kind) {
    case EntryKind::Missing: return Answer{"missing", "does not exist"};
    case EntryKind::Hidden: return Answer{"hidden", "hidden: scans pass over names that start with a dot"};
    case EntryKind::SymbolicLink: return Answer{"symlink", "a symbolic link: scans never follow links"};
    case EntryKind::NotAFolder: return Answer{"not-folder", "not a folder"};
    case EntryKind::Candidate: break;
  }

  const auto known = loadKnownFolders();
  if (!known) return std::nullopt;
  const auto real = realPath(dir);
  const auto match = real ? known->find(FileURL::fromPath(*real, true)) : std::nullopt;
  if (match) return knownAnswer(*match);
  if (!monitored) return Answer{"not-monitored", "no folder is monitored"};

  // DIR's place below the monitored folder, by the names the walk meets.
  const auto settings = discovery::loadScanSettings().settings;
  const std::string realParent = realPath(parent).value_or(std::string());
  const std::string& root = monitored->path();
  std::vector<std::string> names;
  if (realParent != root) {
    const std::string prefix = root == "/" ? "/" : root + "/";
    if (!realParent.starts_with(prefix)) {
      return Answer{"not-subfolder", settings.depth == 1
                                         ? "not an immediate subfolder of the monitored folder " + root
                                         : "not inside the monitored folder " + root};
    }
    for (std::size_t at = prefix.size(); at <= realParent.size();) {
      const std::size_t end = std::min(realParent.find('/', at), realParent.size());
      names.push_back(realParent.substr(at, end - at));
      at = end + 1;
    }
  }
  names.push_back(name);
  // A scan of the immediate subfolders alone answers as it always has.
  if (settings.depth == 1 && names.size() > 1) {
    return Answer{"not-subfolder", "not an immediate subfolder of the monitored folder " + root};
  }
  if (auto answer = onTheWay(*monitored, names, settings, *known)) return answer;

  std::string relative;
  FileURL url = *monitored;
  for (const auto& part : names) {
    relative += (relative.empty() ? "" : "/") + part;
    url = url.appending(part, true);
  }
  if (const auto pattern = settings.ignoredBy(name, relative)) return ignoredAnswer(*pattern, url.path());
  // The very judgement that the scan makes, on the path that its walk gives.
  const std::string path = url.path();
  const auto judgement = discovery::judgeCandidate(
      {AT_FDCWD, path.c_str(), url, static_cast<int>(names.size()), true}, *known, true);
  return judgedAnswer(judgement, *known, path);
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
  if (json) return printJson(answerDocument(dir, *answer, monitored));
  return printAnswer(dir, *answer) ? kSuccess : kFailure;
}

}  // namespace zivuv::monitorctl

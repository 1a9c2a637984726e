#include "monitorctl/RepoCheck.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/Candidates.h"
#include "discovery/ScanSettings.h"
#include "discovery/Walk.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {

namespace {

using platform::BookmarkKind;
using platform::Data;
using platform::FileURL;

using Record = platform::BookmarkFields;

std::optional<Record> decode(const Data& bytes) {
  return platform::decodeBookmark(bytes, BookmarkKind::Transport);
}

// Errors that say nothing is at a path, as opposed to a file system that
// cannot be looked at (EACCES, EIO, ENOTCONN, ESTALE, EHOSTDOWN, ...).
bool nothingThere(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

std::string reasonOf(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

EntryCheck unreachable(std::string path, std::string reason) {
  return {EntryState::Unreachable, std::move(path), std::move(reason)};
}

// No folder at the recorded path: the nearest parent that exists tells
// whether the folder is gone from its file system (the same device as
// recorded) or its file system is not mounted there now (another device:
// a share or a disk that is not mounted).
EntryCheck absent(const Record& record) {
  std::string parent = record.path;
  while (parent != "/") {
    const std::size_t slash = parent.rfind('/');
    parent = slash == 0 ? "/" : parent.substr(0, slash);
    struct stat st {};
    if (::stat(parent.c_str(), &st) == 0) {
      if (static_cast<std::uint64_t>(st.st_dev) == record.device) break;
      return unreachable(record.path, "not mounted: " + parent + " is on another device");
    }
    if (!nothingThere(errno)) return unreachable(record.path, reasonOf(errno));
  }
  return {EntryState::Missing, record.path, {}};
}

EntryCheck checkOne(const Data& data) {
  const auto record = decode(data);
  if (!record) return {};
  if (const auto url = platform::resolveBookmark(data, BookmarkKind::Transport).url) {
    return {EntryState::Ok, url->path(), {}};
  }
  struct stat st {};
  if (::stat(record->path.c_str(), &st) == 0) {
    // A folder that came back between the two looks.
    if (S_ISDIR(st.st_mode)) return {EntryState::Ok, record->path, {}};
    return absent(*record);  // something that is no folder
  }
  if (nothingThere(errno)) return absent(*record);
  return unreachable(record->path, reasonOf(errno));
}

std::vector<FileURL> resolved(const std::vector<Data>& entries) {
  std::vector<FileURL> urls;
  for (const Data& data : entries) {
    if (auto url = platform::resolveBookmark(data, BookmarkKind::Transport).url) {
      urls.push_back(std::move(*url));
    }
  }
  return urls;
}

// Looks for the missing entries' folders by device and inode among the
// candidates of a scan's walk of monitored; a found one becomes Moved.
void findMoved(std::vector<EntryCheck>& checks, const std::vector<Data>& listed,
               const std::vector<Data>& blocked, const FileURL& monitored) {
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::size_t>> wanted;
  for (std::size_t i = 0; i < checks.size(); ++i) {
    if (checks[i].state != EntryState::Missing) continue;
    const auto record = decode(listed[i]);
    wanted[{record->device, record->inode}].push_back(i);
  }
  if (wanted.empty()) return;
  const discovery::KnownFolders known(resolved(blocked), resolved(listed));
  const auto settings = discovery::loadScanSettings().settings;
  (void)discovery::walkTree(monitored, settings, [&](const discovery::WalkEntry& entry) {
    // Everything found: the walk goes no deeper.
    if (wanted.empty()) return false;
    struct stat st {};
    if (::fstatat(entry.dirFd, entry.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      const auto found = wanted.find({st.st_dev, st.st_ino});
      if (found != wanted.end()) {
        for (const std::size_t i : found->second) {
          checks[i].state = EntryState::Moved;
          checks[i].detail = entry.url.path();
        }
        wanted.erase(found);
      }
    }
    // The walk's own descent; below the scan depth it is not asked.
    return !entry.deepest && discovery::judgeCandidate(entry, known).descend;
  });
}

}  // namespace

std::vector<EntryCheck> checkListed(const std::vector<Data>& listed,
                                    const std::vector<Data>& blocked,
                                    const std::optional<FileURL>& monitored) {
  std::vector<EntryCheck> checks;
  checks.reserve(listed.size());
  for (const Data& data : listed) checks.push_back(checkOne(data));
  if (monitored) findMoved(checks, listed, blocked, *monitored);
  return checks;
}

const char* stateKey(EntryState state) {
  switch (state) {
    case EntryState::Ok: return "ok";
    case EntryState::Missing: return "missing";
    case EntryState::Moved: return "moved";
    case EntryState::Unreachable: return "unreachable";
    case EntryState::Unresolvable: break;
  }
  return "unresolvable";
}

std::string shownEntry(const EntryCheck& check) {
  if (check.state == EntryState::Unresolvable) return "(unresolvable)";
  return platform::escapeControlBytes(check.path);
}

std::string shownState(const EntryCheck& check) {
  std::string text = stateKey(check.state);
  if (!check.detail.empty()) text += " " + platform::escapeControlBytes(check.detail);
  return text;
}

nlohmann::json jsonEntry(const EntryCheck& check) {
  nlohmann::json entry = {{"path", check.state == EntryState::Unresolvable
                                       ? nlohmann::json(nullptr)
                                       : nlohmann::json(platform::toValidUtf8(check.path))},
                          {"state", stateKey(check.state)}};
  if (check.state == EntryState::Moved) entry["to"] = platform::toValidUtf8(check.detail);
  if (check.state == EntryState::Unreachable) entry["reason"] = platform::toValidUtf8(check.detail);
  return entry;
}

std::optional<RepositoryCounts> countRepositories(const std::optional<FileURL>& monitored) {
  const auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
  if (!store) return std::nullopt;
  const auto listed =
      store->dataArray(rawValue(BookmarkKeys::sandboxKey)).value_or(std::vector<Data>{});
  const auto blocked =
      store->dataArray(rawValue(BookmarkKeys::blockKey)).value_or(std::vector<Data>{});
  RepositoryCounts counts{listed.size(), 0, blocked.size()};
  for (const auto& check : checkListed(listed, blocked, monitored)) {
    if (check.state == EntryState::Missing) ++counts.missing;
  }
  return counts;
}

std::optional<FileURL> monitoredFolder() {
  if (const auto agent = askAgent(false)) {
    if (!agent->data) return std::nullopt;
    return platform::resolveBookmark(*agent->data, BookmarkKind::Transport).url;
  }
  // The service, when it starts, monitors the first of its saved folders
  // that resolves.
  const auto store = platform::DefaultsStore::openDomain(standardDomainName());
  for (const Data& data :
       store.dataArray(rawValue(BookmarkKeys::sandboxKey)).value_or(std::vector<Data>{})) {
    if (auto url = platform::resolveBookmark(data, BookmarkKind::Secure).url) return url;
  }
  return std::nullopt;
}

}  // namespace zivuv::monitorctl

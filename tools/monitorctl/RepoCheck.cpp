#include "monitorctl/RepoCheck.h"

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

EntryCheck checkOne(const Data& data) {
  const auto record = decode(data);
  if (!record) return {};
  if (const auto url = platform::resolveBookmark(data, BookmarkKind::Transport).url) {
    return {EntryState::Ok, url->path(), {}};
  }
  // A folder that came back between the two looks is there.
  const auto there = discovery::lookAtRecorded(record->path, record->device);
  switch (there.state) {
    case discovery::RecordedFolder::State::Present: return {EntryState::Ok, record->path, {}};
    case discovery::RecordedFolder::State::Gone: return {EntryState::Missing, record->path, {}};
    case discovery::RecordedFolder::State::Unreachable: break;
  }
  return {EntryState::Unreachable, record->path, there.reason};
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

// Looks for the missing entries' folders among the candidates of a scan's
// walk of monitored, with the scan's own judgement: a missing entry is
// moved where a scan would record it anew, a folder with its device and
// inode that passes the repository test (git may still be writing it). A
// plain folder that its inode went to is no move.
void findMoved(std::vector<EntryCheck>& checks, const std::vector<Data>& listed,
               const std::vector<Data>& blocked, const FileURL& monitored) {
  std::size_t wanted = 0;
  std::vector<std::optional<Record>> records;
  records.reserve(listed.size());
  for (std::size_t i = 0; i < checks.size(); ++i) {
    records.push_back(decode(listed[i]));
    if (checks[i].state == EntryState::Missing) ++wanted;
  }
  if (wanted == 0) return;
  const discovery::KnownFolders known(resolved(blocked), resolved(listed),
                                      [&records] { return std::move(records); });
  const auto settings = discovery::loadScanSettings().settings;
  (void)discovery::walkTree(monitored, settings, [&](const discovery::WalkEntry& entry) {
    // Everything found: the walk goes no deeper.
    if (wanted == 0) return false;
    const auto judgement = discovery::judgeCandidate(entry, known);
    if (judgement.entry && judgement.verdict != discovery::Judgement::Verdict::Alias &&
        checks[*judgement.entry].state == EntryState::Missing) {
      checks[*judgement.entry].state = EntryState::Moved;
      checks[*judgement.entry].detail = entry.url.path();
      --wanted;
    }
    return judgement.descend;
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

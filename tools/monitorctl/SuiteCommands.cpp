// The commands that read or edit the shared settings that the app owns,
// directly in its file, as the app does. None of them tells the service;
// prune tells the app, as the service does after it registers a folder.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "bookmarks/BookmarkUtils.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "monitorctl/RepoCheck.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {

namespace {

using platform::Data;
using platform::DefaultsLock;
using platform::DefaultsStore;
using platform::FileURL;

// True when the transport data resolves to the folder at url.
bool resolvesTo(const Data& data, const platform::FileURL& url) {
  const auto resolution = platform::resolveBookmark(data, platform::BookmarkKind::Transport);
  return resolution.url && *resolution.url == url;
}

// The shared settings as read now, with their lock held when a change is to
// follow (locked); nullopt after the failure was reported.
struct SharedSettings {
  std::optional<DefaultsLock> lock;
  DefaultsStore store;
};
std::optional<SharedSettings> openSharedSettings(bool locked) {
  std::optional<DefaultsLock> lock;
  if (locked && !(lock = DefaultsLock::acquire(sharedSuiteName()))) {
    printMessage("cannot lock the shared settings " + sharedSettingsFile());
    return std::nullopt;
  }
  auto store = DefaultsStore::openSuite(sharedSuiteName());
  if (!store) {
    printMessage("cannot read the shared settings " + sharedSettingsFile());
    return std::nullopt;
  }
  return SharedSettings{std::move(lock), std::move(*store)};
}

// Adds (block) or removes (unblock) the folder in the blocked list, in one
// locked read-modify-write, so that a scan of the service running meanwhile
// either sees the whole change or none of it. The entries are resolved
// before the lock is taken (an entry on a file system that does not answer
// holds up this command alone); under it, only entries stored since are.
int editBlocked(const std::string& dir, bool block) {
  const auto folder = folderArgument(dir);
  if (!folder) return kFailure;
  const auto key = rawValue(BookmarkKeys::blockKey);
  std::unordered_map<std::string, bool> resolved;
  const auto matches = [&](const Data& data) {
    const auto [it, added] = resolved.try_emplace(std::string(data.begin(), data.end()));
    if (added) it->second = resolvesTo(data, folder->url);
    return it->second;
  };
  if (const auto before = DefaultsStore::openSuite(sharedSuiteName())) {
    for (const Data& data : before->dataArray(key).value_or(std::vector<Data>{})) {
      (void)matches(data);
    }
  }
  auto settings = openSharedSettings(true);
  if (!settings) return kFailure;
  const auto& lock = settings->lock;
  auto* store = &settings->store;

  auto list = store->dataArray(key);
  if (block) {
    // A key that holds anything but a list of data is replaced by a list of
    // this one folder; the service reads such a key as an empty list anyway.
    std::vector<Data> entries = list.value_or(std::vector<Data>{});
    if (std::any_of(entries.begin(), entries.end(), matches)) return kSuccess;
    entries.push_back(folder->transportData);
    store->setDataArray(key, entries);
  } else {
    // Nothing to remove from a key of another shape; it stays as it is.
    if (!list || std::erase_if(*list, matches) == 0) return kSuccess;
    store->setDataArray(key, *list);
  }
  // The store prints its own line on standard output when the write fails.
  if (!store->write(*lock)) {
    printMessage("cannot write the shared settings " + sharedSettingsFile() + ": " +
                 platform::escapeControlBytes(store->writeError()));
    return kFailure;
  }
  return kSuccess;
}

// A stored entry as it resolves now: the folder's path, else the path
// that the record holds (empty when it cannot be decoded).
struct ListEntry {
  std::string path;
  bool resolves = false;
};
ListEntry listEntry(const Data& data) {
  if (const auto url = platform::resolveBookmark(data, platform::BookmarkKind::Transport).url) {
    return {url->path(), true};
  }
  const auto fields = platform::decodeBookmark(data, platform::BookmarkKind::Transport);
  return {fields ? fields->path : std::string(), false};
}

// "<path>", "<recorded path> (unresolvable)", or "(unresolvable)" for a
// record that cannot be decoded; control bytes escaped.
std::string shownListEntry(const ListEntry& entry) {
  if (entry.resolves) return platform::escapeControlBytes(entry.path);
  if (entry.path.empty()) return "(unresolvable)";
  return platform::escapeControlBytes(entry.path) + " (unresolvable)";
}

// {"path": path or null, "resolves": bool}.
nlohmann::json jsonListEntry(const ListEntry& entry) {
  return {{"path", entry.path.empty() ? nlohmann::json(nullptr)
                                      : nlohmann::json(platform::toValidUtf8(entry.path))},
          {"resolves", entry.resolves}};
}

}  // namespace

int runRepos(bool json, bool check) {
  const auto monitored = check ? monitoredFolder() : std::nullopt;
  const auto settings = openSharedSettings(false);
  if (!settings) return kFailure;
  const auto* store = &settings->store;
  struct Section {
    BookmarkKeys key;
    std::string_view label;
  };
  // A key of another shape lists nothing, as it counts for nothing.
  const auto entries = [&](BookmarkKeys key) {
    return store->dataArray(rawValue(key)).value_or(std::vector<Data>{});
  };
  std::vector<EntryCheck> checks;
  if (check) {
    checks = checkListed(entries(BookmarkKeys::sandboxKey), entries(BookmarkKeys::blockKey),
                         monitored);
  }
  nlohmann::json document = nlohmann::json::object();
  for (const Section section : {Section{BookmarkKeys::sandboxKey, "listed"},
                                Section{BookmarkKeys::blockKey, "blocked"}}) {
    const auto list = entries(section.key);
    const std::string label(section.label);
    const bool checked = check && section.key == BookmarkKeys::sandboxKey;
    auto& items = document[label] = nlohmann::json::array();
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (checked && json) {
        items.push_back(jsonEntry(checks[i]));
      } else if (checked) {
        if (!printData(label + " " + shownEntry(checks[i]) + ": " + shownState(checks[i]))) {
          return kFailure;
        }
      } else if (json) {
        items.push_back(jsonListEntry(listEntry(list[i])));
      } else if (!printData(label + " " + shownListEntry(listEntry(list[i])))) {
        return kFailure;
      }
    }
  }
  return json ? printJson(document) : kSuccess;
}

namespace {

// What prune does to one listed entry: the verb of its line before and
// after, the entry that takes its place (none when it goes).
struct PruneStep {
  const char* planned = "keep";
  const char* done = nullptr;  // null when the entry stays as it is
  std::string note;
  std::optional<Data> entry;
};

std::vector<PruneStep> planPrune(const std::vector<Data>& listed,
                                 const std::vector<EntryCheck>& checks) {
  // A moved folder that another entry lists already is not listed twice:
  // its old entry goes.
  std::unordered_set<std::string> kept;
  for (const auto& check : checks) {
    if (check.state == EntryState::Ok) kept.insert(FileURL::fromPath(check.path, true).text());
  }
  std::vector<PruneStep> steps(checks.size());
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const EntryCheck& check = checks[i];
    PruneStep& step = steps[i];
    if (check.state == EntryState::Missing) {
      step = {"remove", "removed", {}, std::nullopt};
    } else if (check.state != EntryState::Moved) {
      step.entry = listed[i];
    } else if (const std::string to = FileURL::fromPath(check.detail, true).text();
               kept.contains(to)) {
      step = {"remove", "removed", " (listed already)", std::nullopt};
    } else if (auto created =
                   platform::createBookmark(check.detail, platform::BookmarkKind::Transport);
               created.data) {
      step = {"re-record", "re-recorded", {}, std::move(created.data)};
      kept.insert(to);
    } else {
      // Gone again since the walk met it.
      step.note = " (" + platform::escapeControlBytes(created.error) + ")";
      step.entry = listed[i];
    }
  }
  return steps;
}

// How many entries prune removes, re-records and keeps.
struct PruneCounts {
  std::size_t removed = 0;
  std::size_t rerecorded = 0;
  std::size_t kept = 0;
  bool nothingToDo() const { return removed == 0 && rerecorded == 0; }
  std::string nothingLine() const {
    return "nothing to prune: keep " + std::to_string(kept);
  }
};

PruneCounts countSteps(const std::vector<PruneStep>& steps) {
  PruneCounts counts;
  for (const auto& step : steps) {
    if (step.done == nullptr) {
      ++counts.kept;
    } else if (step.entry) {
      ++counts.rerecorded;
    } else {
      ++counts.removed;
    }
  }
  return counts;
}

}  // namespace

int runPrune(bool apply) {
  // Asked before the lock is taken, and the entries checked before it too:
  // an entry on a file system that does not answer holds up this command
  // alone, never the app's writes or the service's scans.
  const auto monitored = monitoredFolder();
  const auto settings = openSharedSettings(false);
  if (!settings) return kFailure;
  const auto key = rawValue(BookmarkKeys::sandboxKey);
  // A key of another shape holds nothing to prune, and stays as it is.
  const auto listed = settings->store.dataArray(key).value_or(std::vector<Data>{});
  const auto blocked =
      settings->store.dataArray(rawValue(BookmarkKeys::blockKey)).value_or(std::vector<Data>{});
  const auto checks = checkListed(listed, blocked, monitored);
  auto steps = planPrune(listed, checks);
  const auto line = [&](std::size_t i, const char* verb) {
    return std::string(verb) + " " + shownEntry(checks[i]) + ": " + shownState(checks[i]) +
           steps[i].note;
  };
  if (!apply) {
    const PruneCounts counts = countSteps(steps);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (!printData(line(i, steps[i].planned))) return kFailure;
    }
    return printData(counts.nothingToDo() ? counts.nothingLine()
                                          : "would remove " + std::to_string(counts.removed) +
                                                ", re-record " + std::to_string(counts.rerecorded) +
                                                ", keep " + std::to_string(counts.kept) +
                                                "; run with --yes to apply")
               ? kSuccess
               : kFailure;
  }

  // Under the lock, the list read again: a step applies to its entry only
  // while that entry is as it was checked, wherever it stands now; entries
  // stored or changed since stay as they are.
  auto locked = openSharedSettings(true);
  if (!locked) return kFailure;
  auto& lock = locked->lock;
  auto* store = &locked->store;
  const auto now = store->dataArray(key).value_or(std::vector<Data>{});
  const auto bytes = [](const Data& data) { return std::string(data.begin(), data.end()); };
  std::unordered_map<std::string, std::vector<std::size_t>> checkedAt;
  for (std::size_t i = 0; i < listed.size(); ++i) checkedAt[bytes(listed[i])].push_back(i);
  std::unordered_map<std::string, std::size_t> matchedSoFar;
  std::vector<std::optional<std::size_t>> checkedAs(now.size());
  std::vector<bool> present(steps.size(), false);
  // A folder re-recorded where an entry stored since lists it already would
  // be listed twice: its old entry goes instead. What an entry stored since
  // lists is read from its record, without looking at the disk.
  std::unordered_set<std::string> listedSince;
  for (std::size_t j = 0; j < now.size(); ++j) {
    const auto it = checkedAt.find(bytes(now[j]));
    if (it != checkedAt.end() && matchedSoFar[it->first] < it->second.size()) {
      checkedAs[j] = it->second[matchedSoFar[it->first]++];
      present[*checkedAs[j]] = true;
    } else if (const auto fields = platform::decodeBookmark(now[j],
                                                           platform::BookmarkKind::Transport)) {
      listedSince.insert(fields->path);
    }
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!present[i]) {
      steps[i] = {"keep", nullptr, {}, std::nullopt};  // gone or changed since: not ours to touch
      continue;
    }
    if (checks[i].state == EntryState::Moved && steps[i].done != nullptr && steps[i].entry &&
        listedSince.contains(checks[i].detail)) {
      steps[i] = {"remove", "removed", " (listed already)", std::nullopt};
    }
  }
  std::vector<Data> pruned;
  for (std::size_t j = 0; j < now.size(); ++j) {
    if (!checkedAs[j]) {
      pruned.push_back(now[j]);
    } else if (const auto& step = steps[*checkedAs[j]]; step.done == nullptr) {
      pruned.push_back(now[j]);
    } else if (step.entry) {
      pruned.push_back(*step.entry);
    }
  }
  const PruneCounts counts = countSteps(steps);
  // Nothing written, nothing to tell the app.
  if (pruned == now) return printData(counts.nothingLine()) ? kSuccess : kFailure;
  store->setDataArray(key, pruned);
  bool written = false;
  {
    // The store's own line of a failed write; the message below says it.
    const QuietStdout quiet;
    written = store->write(*lock);
  }
  if (!written) {
    printMessage("cannot write the shared settings " + sharedSettingsFile() + ": " +
                 platform::escapeControlBytes(store->writeError()) + "; nothing changed");
    return kFailure;
  }
  lock.reset();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].done != nullptr && !printData(line(i, steps[i].done))) return kFailure;
  }
  if (!printData("removed " + std::to_string(counts.removed) + ", re-recorded " +
                 std::to_string(counts.rerecorded))) {
    return kFailure;
  }
  std::string reason;
  if (!broadcastDefaultsChanged(reason)) {
    printMessage("the shared settings were written, but DefaultsChanged could not be sent (no " +
                 std::string("session bus: ") + reason + "): the app sees the change when it " +
                 "next reads them");
  }
  return kSuccess;
}

int runBlock(const std::string& dir) { return editBlocked(dir, true); }

int runUnblock(const std::string& dir) { return editBlocked(dir, false); }

int runBookmark(const std::string& dir) {
  const auto folder = folderArgument(dir);
  if (!folder) return kFailure;
  return printData(base64(folder->transportData)) ? kSuccess : kFailure;
}

}  // namespace zivuv::monitorctl

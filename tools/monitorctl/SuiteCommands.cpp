// The commands that read or edit the shared settings that the app owns,
// directly in its file, as the app does. None of them tells the service.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
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

// True when the transport data resolves to the folder at url.
bool resolvesTo(const Data& data, const platform::FileURL& url) {
  const auto resolution = platform::resolveBookmark(data, platform::BookmarkKind::Transport);
  return resolution.url && *resolution.url == url;
}

// Adds (block) or removes (unblock) the folder in the blocked list, in one
// locked read-modify-write, so that a scan of the service running meanwhile
// either sees the whole change or none of it.
int editBlocked(const std::string& dir, bool block) {
  const auto folder = folderArgument(dir);
  if (!folder) return kFailure;
  const auto lock = DefaultsLock::acquire(sharedSuiteName());
  if (!lock) {
    printMessage("cannot lock the shared settings " + sharedSettingsFile());
    return kFailure;
  }
  auto store = DefaultsStore::openSuite(sharedSuiteName());
  if (!store) {
    printMessage("cannot read the shared settings " + sharedSettingsFile());
    return kFailure;
  }

  const auto key = rawValue(BookmarkKeys::blockKey);
  auto list = store->dataArray(key);
  const auto matches = [&](const Data& data) { return resolvesTo(data, folder->url); };
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
    printMessage("cannot write the shared settings " + sharedSettingsFile());
    return kFailure;
  }
  return kSuccess;
}

}  // namespace

int runRepos(bool json, bool check) {
  const auto monitored = check ? monitoredFolder() : std::nullopt;
  const auto store = DefaultsStore::openSuite(sharedSuiteName());
  if (!store) {
    printMessage("cannot read the shared settings " + sharedSettingsFile());
    return kFailure;
  }
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
        const auto url = platform::resolveBookmark(list[i], platform::BookmarkKind::Transport).url;
        items.push_back(url ? nlohmann::json(jsonPath(*url)) : nlohmann::json(nullptr));
      } else if (!printData(label + " " + shownResolution(list[i]))) {
        return kFailure;
      }
    }
  }
  return json ? printJson(document) : kSuccess;
}

int runBlock(const std::string& dir) { return editBlocked(dir, true); }

int runUnblock(const std::string& dir) { return editBlocked(dir, false); }

int runBookmark(const std::string& dir) {
  const auto folder = folderArgument(dir);
  if (!folder) return kFailure;
  return printData(base64(folder->transportData)) ? kSuccess : kFailure;
}

}  // namespace zivuv::monitorctl

#include "discovery/ScanSettings.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/FolderPattern.h"
#include "platform/defaults/DefaultsStore.h"

namespace zivuv::discovery {

using platform::DefaultsLock;
using platform::DefaultsStore;

std::optional<std::string> ScanSettings::ignoredBy(const std::string& name,
                                                   const std::string& relativePath) const {
  if (!ignoredFoldersSet && depth <= 1) return std::nullopt;
  for (const auto& pattern : ignoredFolders) {
    if (folderPatternMatches(pattern, name, relativePath)) return pattern;
  }
  return std::nullopt;
}

namespace {

LoadedScanSettings readScanSettings(const DefaultsStore& store) {
  LoadedScanSettings loaded;
  loaded.fileProblem = store.fileProblem();
  loaded.fileDamaged = store.damaged();
  const auto invalid = [&](const char* key) {
    loaded.invalid.push_back({key, store.valueFingerprint(key)});
  };
  std::int64_t depth = 0;
  switch (store.integer(ScanSettings::kDepthKey, depth)) {
    case platform::Lookup::Found:
      if (depth >= 1 && depth <= ScanSettings::kMaxDepth) {
        loaded.settings.depth = static_cast<int>(depth);
      } else {
        invalid(ScanSettings::kDepthKey);
      }
      break;
    case platform::Lookup::WrongType: invalid(ScanSettings::kDepthKey); break;
    case platform::Lookup::Absent: break;
  }
  std::vector<std::string> ignored;
  switch (store.strings(ScanSettings::kIgnoredKey, ignored)) {
    case platform::Lookup::Found:
      loaded.settings.ignoredFolders = std::move(ignored);
      loaded.settings.ignoredFoldersSet = true;
      break;
    case platform::Lookup::WrongType: invalid(ScanSettings::kIgnoredKey); break;
    case platform::Lookup::Absent: break;
  }
  return loaded;
}

}  // namespace

bool ScanSettings::matchesPaths() const {
  return std::any_of(ignoredFolders.begin(), ignoredFolders.end(),
                     [](const std::string& pattern) { return patternMatchesPaths(pattern); });
}

LoadedScanSettings loadScanSettings() {
  return readScanSettings(DefaultsStore::openDomain(standardDomainName()));
}

ScanSettingsEdit editScanSettings(const std::function<const char*(ScanSettings&)>& edit) {
  const auto lock = DefaultsLock::acquire(standardDomainName());
  auto store = DefaultsStore::openDomain(standardDomainName());
  ScanSettingsEdit result;
  result.before = readScanSettings(store);
  const ScanSettings& before = result.before.settings;
  result.settings = before;
  const char* setKey = edit(result.settings);
  // A key set over a bad stored value is written even when the value
  // equals the default that the bad one read as.
  const auto setOverBad = [&](const char* key) {
    return setKey != nullptr && std::strcmp(setKey, key) == 0 &&
           std::any_of(result.before.invalid.begin(), result.before.invalid.end(),
                       [key](const InvalidSetting& bad) { return bad.key == key; });
  };
  const bool depth = result.settings.depth != before.depth || setOverBad(ScanSettings::kDepthKey);
  const bool ignored = result.settings.ignoredFolders != before.ignoredFolders ||
                       setOverBad(ScanSettings::kIgnoredKey);
  result.written = true;
  if (!depth && !ignored) return result;
  if (depth) store.setInteger(ScanSettings::kDepthKey, result.settings.depth);
  if (ignored) {
    result.settings.ignoredFoldersSet = true;
    store.setStrings(ScanSettings::kIgnoredKey, result.settings.ignoredFolders);
  }
  result.written = result.changed = store.write(lock);
  result.keptAsideAs = store.keptAsideAs();
  if (!result.written) {
    result.settings = before;
    result.writeError = store.writeError();
  }
  return result;
}

}  // namespace zivuv::discovery

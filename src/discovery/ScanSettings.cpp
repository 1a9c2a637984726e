#include "discovery/ScanSettings.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdint>

#include "bookmarks/BookmarkUtils.h"
#include "platform/defaults/DefaultsStore.h"

namespace zivuv::discovery {

using platform::DefaultsLock;
using platform::DefaultsStore;

std::optional<std::string> ScanSettings::ignoredBy(const std::string& name,
                                                   const std::string& relativePath) const {
  if (!ignoredFoldersSet && depth <= 1) return std::nullopt;
  for (const auto& pattern : ignoredFolders) {
    const bool byPath = pattern.find('/') != std::string::npos;
    if (byPath ? ::fnmatch(pattern.c_str(), relativePath.c_str(), FNM_PATHNAME) == 0
               : ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0) {
      return pattern;
    }
  }
  return std::nullopt;
}

namespace {

LoadedScanSettings readScanSettings(const DefaultsStore& store) {
  LoadedScanSettings loaded;
  std::int64_t depth = 0;
  switch (store.integer(ScanSettings::kDepthKey, depth)) {
    case platform::Lookup::Found:
      if (depth >= 1 && depth <= ScanSettings::kMaxDepth) {
        loaded.settings.depth = static_cast<int>(depth);
      } else {
        loaded.invalidKeys.emplace_back(ScanSettings::kDepthKey);
      }
      break;
    case platform::Lookup::WrongType:
      loaded.invalidKeys.emplace_back(ScanSettings::kDepthKey);
      break;
    case platform::Lookup::Absent: break;
  }
  std::vector<std::string> ignored;
  switch (store.strings(ScanSettings::kIgnoredKey, ignored)) {
    case platform::Lookup::Found:
      loaded.settings.ignoredFolders = std::move(ignored);
      loaded.settings.ignoredFoldersSet = true;
      break;
    case platform::Lookup::WrongType:
      loaded.invalidKeys.emplace_back(ScanSettings::kIgnoredKey);
      break;
    case platform::Lookup::Absent: break;
  }
  return loaded;
}

}  // namespace

bool ScanSettings::matchesPaths() const {
  return std::any_of(ignoredFolders.begin(), ignoredFolders.end(),
                     [](const std::string& pattern) { return pattern.find('/') != std::string::npos; });
}

LoadedScanSettings loadScanSettings() {
  return readScanSettings(DefaultsStore::openDomain(standardDomainName()));
}

bool editScanSettings(const std::function<void(ScanSettings&)>& edit, ScanSettings& result) {
  const auto lock = DefaultsLock::acquire(standardDomainName());
  auto store = DefaultsStore::openDomain(standardDomainName());
  const ScanSettings before = readScanSettings(store).settings;
  result = before;
  edit(result);
  if (result.depth == before.depth && result.ignoredFolders == before.ignoredFolders) return true;
  if (result.depth != before.depth) store.setInteger(ScanSettings::kDepthKey, result.depth);
  if (result.ignoredFolders != before.ignoredFolders) {
    result.ignoredFoldersSet = true;
    store.setStrings(ScanSettings::kIgnoredKey, result.ignoredFolders);
  }
  if (!store.write(lock)) {
    result = before;
    return false;
  }
  return true;
}

}  // namespace zivuv::discovery

// `config`: the scan depth and the ignored folder patterns, two keys of the
// service's own settings. A change is made as the service reads them, under
// the domain's lock, and then the service is asked for a scan, which reads
// them afresh.

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/ScanSettings.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {

namespace {

using discovery::ScanSettings;

int printSettings(const ScanSettings& settings, bool json) {
  if (json) {
    nlohmann::json patterns = nlohmann::json::array();
    for (const auto& pattern : settings.ignoredFolders)
      patterns.push_back(platform::toValidUtf8(pattern));
    return printJson(
        {{ScanSettings::kDepthKey, settings.depth}, {ScanSettings::kIgnoredKey, patterns}});
  }
  std::string patterns;
  for (const auto& pattern : settings.ignoredFolders) {
    patterns += (patterns.empty() ? "" : ", ") + platform::escapeControlBytes(pattern);
  }
  if (patterns.empty()) patterns = "(none)";
  // The list that nobody set leaves a scan of the immediate subfolders as
  // it always was.
  if (!settings.ignoredFoldersSet) patterns += " (the default, used when scanDepth is above 1)";
  const bool printed =
      printData(std::string(ScanSettings::kDepthKey) + ": " + std::to_string(settings.depth)) &&
      printData(std::string(ScanSettings::kIgnoredKey) + ": " + patterns);
  return printed ? kSuccess : kFailure;
}

// Applies the change to settings; false when it changes nothing.
bool apply(const ConfigChange& change, ScanSettings& settings) {
  auto& patterns = settings.ignoredFolders;
  const bool listed = std::find(patterns.begin(), patterns.end(), change.pattern) != patterns.end();
  switch (change.kind) {
    case ConfigChange::Kind::Depth:
      if (settings.depth == change.depth) return false;
      settings.depth = change.depth;
      return true;
    case ConfigChange::Kind::Ignore:
      if (listed) return false;
      patterns.push_back(change.pattern);
      return true;
    case ConfigChange::Kind::Unignore:
      if (!listed) return false;
      std::erase(patterns, change.pattern);
      return true;
    case ConfigChange::Kind::Show: break;
  }
  return false;
}

std::string settingsFile() {
  return platform::escapeControlBytes(platform::settingsFile(standardDomainName()));
}

}  // namespace

int runConfig(const ConfigChange& change, bool json) {
  if (change.kind == ConfigChange::Kind::Show) {
    const auto loaded = discovery::loadScanSettings();
    for (const auto& key : loaded.invalidKeys) {
      printMessage("the value of " + key + " in " + settingsFile() +
                   " is of another type or out of range: it reads as the default");
    }
    return printSettings(loaded.settings, json);
  }
  ScanSettings settings;
  bool changed = false;
  bool written = false;
  {
    // The store's own line of a failed write; the message below says it.
    const QuietStdout quiet;
    written = discovery::editScanSettings(
        [&](ScanSettings& stored) { changed = apply(change, stored); }, settings);
  }
  if (!written) {
    printMessage("cannot write the service's settings " + settingsFile() + ": nothing changed");
    return kFailure;
  }
  if (printSettings(settings, json) != kSuccess) return kFailure;
  // The next scan reads the settings afresh; ask for it now. Without the
  // service the change still stands, for the scan after its start.
  if (changed && !requestScan()) {
    printMessage("the settings are saved; the folder monitor applies them at its next scan");
  }
  return kSuccess;
}

}  // namespace zivuv::monitorctl

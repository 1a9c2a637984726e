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

// Applies the change to settings: adding a pattern that is there, or
// removing one that is not, leaves them as they are.
void apply(const ConfigChange& change, ScanSettings& settings) {
  auto& patterns = settings.ignoredFolders;
  const bool listed = std::find(patterns.begin(), patterns.end(), change.pattern) != patterns.end();
  switch (change.kind) {
    case ConfigChange::Kind::Depth: settings.depth = change.depth; break;
    case ConfigChange::Kind::Ignore:
      if (!listed) patterns.push_back(change.pattern);
      break;
    case ConfigChange::Kind::Unignore: std::erase(patterns, change.pattern); break;
    case ConfigChange::Kind::Show: break;
  }
}

std::string settingsFile() {
  return platform::escapeControlBytes(platform::settingsFile(standardDomainName()));
}

// One line for a settings file that could not be read, and one for each
// bad value but that of the key being set.
void warnAbout(const discovery::LoadedScanSettings& loaded, const char* settingKey) {
  if (!loaded.fileProblem.empty() && !loaded.fileDamaged) {
    printMessage("warning: the service's settings file " + settingsFile() + " cannot be read (" +
                 platform::escapeControlBytes(loaded.fileProblem) +
                 "): its settings read as the defaults, and no change can be saved");
  } else if (!loaded.fileProblem.empty() && settingKey == nullptr) {
    printMessage("warning: the service's settings file " + settingsFile() + " is damaged (" +
                 platform::escapeControlBytes(loaded.fileProblem) +
                 "): its settings read as the defaults; a change keeps it aside and starts a "
                 "new one");
  }
  for (const auto& bad : loaded.invalid) {
    if (settingKey != nullptr && bad.key == settingKey) continue;
    printMessage("the value of " + bad.key + " in " + settingsFile() +
                 " is of another type or out of range: it reads as the default");
  }
}

}  // namespace

int runConfig(const ConfigChange& change, bool json) {
  if (change.kind == ConfigChange::Kind::Show) {
    const auto loaded = discovery::loadScanSettings();
    warnAbout(loaded, nullptr);
    return printSettings(loaded.settings, json);
  }
  const bool depth = change.kind == ConfigChange::Kind::Depth;
  const char* key = depth ? ScanSettings::kDepthKey : ScanSettings::kIgnoredKey;
  discovery::ScanSettingsEdit edit;
  {
    // The store's own lines (a failed write, a file kept aside); the
    // messages below say them.
    const QuietStdout quiet;
    edit = discovery::editScanSettings([&](ScanSettings& stored) {
      apply(change, stored);
      return key;
    });
  }
  warnAbout(edit.before, key);
  if (!edit.keptAsideAs.empty()) {
    printMessage("the service's settings file " + settingsFile() + " was damaged (" +
                 platform::escapeControlBytes(edit.before.fileProblem) + "): kept aside as " +
                 platform::escapeControlBytes(edit.keptAsideAs) +
                 "; the new file holds this change");
  }
  if (!edit.written) {
    printMessage("cannot write the service's settings " + settingsFile() + ": " +
                 platform::escapeControlBytes(edit.writeError) + "; nothing changed");
    return kFailure;
  }
  if (printSettings(edit.settings, json) != kSuccess) return kFailure;
  // The next scan reads the settings afresh; ask for it now. Without the
  // service the change still stands, for the scan after its start.
  if (edit.changed && !requestScan()) {
    printMessage("the settings are saved; the folder monitor applies them at its next scan");
  }
  return kSuccess;
}

}  // namespace zivuv::monitorctl

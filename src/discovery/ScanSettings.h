#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zivuv::discovery {

// How deep a scan looks and what it passes over: two keys of the service's
// own settings, which the app may set too. Read afresh at every scan.
struct ScanSettings {
  static constexpr const char* kDepthKey = "scanDepth";
  static constexpr const char* kIgnoredKey = "ignoredFolders";
  static constexpr int kDefaultDepth = 1;
  static constexpr int kMaxDepth = 8;

  // Candidates are the folders at depths 1 to depth below the monitored one.
  int depth = kDefaultDepth;
  // Folder patterns as in .gitignore (FolderPattern.h).
  std::vector<std::string> ignoredFolders{"node_modules"};
  // Whether the list was set rather than left at its default. The default
  // list applies only to a walk deeper than 1, so that a scan of the
  // immediate subfolders is what it always was; a list that was set applies
  // at every depth.
  bool ignoredFoldersSet = false;

  // The ignore pattern that folder matches, given its name and its path
  // relative to the monitored folder; nullopt when it is not ignored.
  std::optional<std::string> ignoredBy(const std::string& name,
                                       const std::string& relativePath) const;
  // Whether a pattern matches paths, so that ignoredBy needs the relative
  // path and not the name alone.
  bool matchesPaths() const;
};

// A key whose stored value was of the wrong type or out of range (it reads
// as the default), and that value in a form that compares equal exactly
// when the value is the same.
struct InvalidSetting {
  std::string key;
  std::string value;
  bool operator==(const InvalidSetting&) const = default;
};

// The settings as read, with what was wrong with them.
struct LoadedScanSettings {
  ScanSettings settings;
  std::vector<InvalidSetting> invalid;
  // Why the settings file could not be read (DefaultsStore::fileProblem);
  // fileDamaged when it was read but holds no settings.
  std::string fileProblem;
  bool fileDamaged = false;
};

// Reads the two keys from the service's own settings file. Never fails: a
// missing or unreadable file gives the defaults.
LoadedScanSettings loadScanSettings();

// What a change of the settings did.
struct ScanSettingsEdit {
  bool written = false;  // false: the write failed, nothing changed on disk
  bool changed = false;  // the file was written
  LoadedScanSettings before;
  ScanSettings settings;  // as written, or as they stand
  std::string keptAsideAs;  // where a damaged file went, when the write kept it aside
  std::string writeError;   // why the write failed
};

// Changes the settings in one locked read-modify-write of the service's own
// settings file, with one write: edit gets them as stored now and returns
// the key it sets (kDepthKey, kIgnoredKey, or nullptr); that key is written
// when its value changed or its stored value was bad. A change that leaves
// everything as it is writes nothing and counts as written. A failed write
// printed the store's line.
ScanSettingsEdit editScanSettings(const std::function<const char*(ScanSettings&)>& edit);

}  // namespace zivuv::discovery

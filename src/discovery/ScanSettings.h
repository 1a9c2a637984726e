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
  // fnmatch(3) patterns: without '/', against a folder's name; with '/',
  // against its path relative to the monitored folder (FNM_PATHNAME).
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

// The settings and the keys whose stored value was of the wrong type or out
// of range (they read as the default).
struct LoadedScanSettings {
  ScanSettings settings;
  std::vector<std::string> invalidKeys;
};

// Reads the two keys from the service's own settings file. Never fails: a
// missing or unreadable file gives the defaults.
LoadedScanSettings loadScanSettings();

// Changes the settings in one locked read-modify-write of the service's own
// settings file: edit gets them as stored now, and each key whose value it
// changed is written, with one write. False when the write failed (the
// store printed its line); the settings as written, or as they stand, in
// result.
bool editScanSettings(const std::function<void(ScanSettings&)>& edit, ScanSettings& result);

}  // namespace zivuv::discovery

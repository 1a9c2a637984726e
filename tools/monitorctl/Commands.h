#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/bookmark/BookmarkRecord.h"

namespace zivuv::monitorctl {

// Each command returns the process's exit status (Output.h) and reports its
// own failures on standard error. With json, a command prints one JSON
// document instead of its lines.

// Over the session bus, to the folder monitor. watch hands DIR over (after
// a reset with replace), fails while the service keeps another folder, and
// then scans.
int runWatch(const std::string& dir, bool replace);
// The monitored folder, the service's status interface and the counts of
// the shared lists.
int runStatus(bool json);
int runScan();
// Without the service: every folder that a scan's walk meets now, with the
// answer of `why` for it; changes nothing.
int runScanPreview(bool json);
int runReset();
int runListen();

// On the shared settings file, directly. With check, each listed entry
// carries its state (RepoCheck.h).
int runRepos(bool json, bool check);
int runBlock(const std::string& dir);
int runUnblock(const std::string& dir);
// Without apply, tells what it would do to each listed entry; with it,
// removes the missing ones and re-records the moved ones in one locked
// write, then broadcasts DefaultsChanged.
int runPrune(bool apply);

// The scan's settings in the service's own settings file: shown, or changed
// under the domain's lock and followed by a request for a scan.
struct ConfigChange {
  enum class Kind { Show, Depth, Ignore, Unignore } kind = Kind::Show;
  int depth = 0;        // Depth: 1 to 8
  std::string pattern;  // Ignore, Unignore
};
int runConfig(const ConfigChange& change, bool json);

// Why the next scan registers DIR or passes over it, found with the scan's
// own code: asks the service for the monitored folder, reads the shared
// lists itself.
int runWhy(const std::string& dir, bool json);

// Local only.
int runBookmark(const std::string& dir);

// The answer of verifyAgentWithCompletion: the monitored folder's transport
// data (none when nothing is monitored) and the service's process name.
struct Agent {
  std::optional<platform::Data> data;
  std::string processName;
};

// Asks the folder monitor on the session bus; nullopt after the failure was
// reported, or silently when report is false.
std::optional<Agent> askAgent(bool report = true);

// The monitored folder for a printed line, or "none".
std::string shownFolder(const Agent& agent);

// The answer of verifyAgentWithCompletion and every property of the status
// interface by name, read with one GetAll: text, numbers and booleans as
// themselves, structures and arrays as arrays.
struct ServiceReport {
  Agent agent;
  nlohmann::json properties;
};

// Asks the folder monitor on the session bus; nullopt after the failure was
// reported.
std::optional<ServiceReport> askStatus();

// Asks the folder monitor for a scan now and waits for its count; nullopt
// after the failure was reported.
std::optional<std::int64_t> requestScan();

// Sends DefaultsChanged on the session bus as the service does, so that the
// app reloads the shared settings. False with the reason when there is no
// bus to send it on.
bool broadcastDefaultsChanged(std::string& reason);

}  // namespace zivuv::monitorctl

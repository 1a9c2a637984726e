#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zivuv {

// What the service is doing now.
enum class ServiceState {
  NotMonitoring,     // no folder to watch
  Idle,              // watching, nothing pending
  Settling,          // watching, a scan is due once the folder is quiet
  Scanning,          // a scan runs (or waits for the shared settings' lock)
  WaitingForFolder,  // the folder is gone; watching for it to come back
  CannotWatch,       // the folder is known but cannot be watched
};

// "not-monitoring", "idle", "settling", "scanning", "waiting-for-folder",
// "cannot-watch".
std::string_view stateName(ServiceState state);

// A snapshot of everything the status interface tells. Times are
// microseconds since the epoch (0 for never), durations microseconds.
struct ServiceStatus {
  ServiceState state = ServiceState::NotMonitoring;
  std::string folder;     // the monitored path, or ""
  std::string watcher;    // "inotify", "inotify+rescan <period>" or "none"
  std::uint32_t watches = 0;
  std::uint32_t watchLimit = 0;
  std::uint32_t pendingFolders = 0;
  std::uint32_t scanDepth = 1;
  std::uint64_t lastEvent = 0;
  std::uint64_t lastScan = 0;
  std::uint64_t lastScanDuration = 0;
  std::uint32_t lastScanCandidates = 0;
  std::uint32_t lastScanRegistered = 0;
  std::uint64_t scans = 0;
  std::uint64_t rescans = 0;
  std::uint64_t overflows = 0;
  std::uint64_t lastErrorTime = 0;
  std::string lastError;
  std::uint64_t lastScanErrorTime = 0;  // 0 after a scan that ran
  std::string lastScanError;            // why the last scan could not run
  std::uint64_t startedAt = 0;
  std::string version;
  std::vector<std::string> confinement;
  std::string lastAdded;  // "; 2 repositories added at 14:02", for the status line
};

// The one line that `systemctl --user status` shows, made from the state
// alone; valid UTF-8 without control bytes.
std::string statusLine(const ServiceStatus& status);

// What the process runs under, from /proc/self/status: "no-new-privileges",
// "seccomp" (a filter) or "seccomp-strict", "no-capabilities"; then
// "landlock:<abi>" once the process has confined itself.
std::vector<std::string> readConfinement();

}  // namespace zivuv

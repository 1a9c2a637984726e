#pragma once

#include <string>

namespace zivuv::monitorctl {

// Each command returns the process's exit status (Output.h) and reports its
// own failures on standard error.

// Over the session bus, to the folder monitor.
int runWatch(const std::string& dir);
int runStatus();
int runScan();
int runReset();
int runListen();

// On the shared settings file, directly.
int runRepos();
int runBlock(const std::string& dir);
int runUnblock(const std::string& dir);

// Local only.
int runBookmark(const std::string& dir);

}  // namespace zivuv::monitorctl

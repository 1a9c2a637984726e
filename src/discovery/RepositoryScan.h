#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/Candidates.h"
#include "discovery/NoticeCenter.h"

namespace zivuv::discovery {

struct ScanOutcome {
  std::int64_t registered = 0;                // repositories the scan registered
  std::vector<std::string> notRepositories;   // candidates that failed the repository test
};

// The scan after its first log line: registers every repository among the
// subfolders of monitoringURL that the shared suite neither lists nor
// blocks, announces them, and tells how many it registered and which
// candidates were no repository. Holds the shared suite's lock from the
// first load to the last add.
ScanOutcome scanForNewRepositories(const std::optional<FileURL>& monitoringURL,
                                   NoticeCenter& notices);

}  // namespace zivuv::discovery

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "discovery/Candidates.h"
#include "discovery/NoticeCenter.h"
#include "discovery/ScanSettings.h"
#include "discovery/Walk.h"

namespace zivuv::discovery {

// A candidate that failed the repository test, or that git is still
// writing, and when its status last changed (its ctime, from the walk's own
// look at it; now, for one being written).
struct FailedCandidate {
  std::string path;
  std::chrono::system_clock::time_point changed;
};

struct ScanOutcome {
  // Whether the scan ran: false without a folder it may read and list, or
  // when the shared lists could not be loaded; it then saw nothing.
  bool ran = false;
  // Why the scan could not run, or could not register what it found, for a
  // person; empty when it did its work.
  std::string scanError;
  std::int64_t registered = 0;                  // repositories the scan registered
  std::size_t candidates = 0;                   // candidates it looked at
  std::vector<FailedCandidate>
      notRepositories;  // those not registered: no repository, or being written
  std::vector<WalkedFolder> walked;             // the folders it listed, root first
  std::chrono::nanoseconds lockHeld{};          // how long it held the shared suite's lock
};

// The scan after its first log line: registers every repository among the
// candidates of monitoringURL's tree that the shared suite neither lists
// nor blocks, announces them, and tells what it did. A repository that a
// listed entry recorded elsewhere, gone from there, is that entry moved: it
// is recorded anew in its place ("Moved <old> to <new>", DefaultsChanged
// without a notice, not counted); one still reached by its recorded path
// too is an alias and never listed twice; one that git is still writing
// waits among the failed candidates. The walk descends into no git folder
// (listed, new or blocked) and no blocked folder. The lists are read, and
// the tree walked and judged, without the shared suite's lock; it is held
// only to read the lists again, merge what was found and write once (see
// SharedSuiteSession::addSandboxURLs): a folder blocked meanwhile is not
// registered. stillWanted, asked under the lock, can call the write off:
// nothing is registered or announced then. The change time of a failed
// candidate is looked at unless knownFailures (the paths that the pending
// folders hold already, read on the scan's thread) holds it; it then reads
// as long ago. opened hears of each folder the walk lists below the
// monitored one, before it is listed.
ScanOutcome scanForNewRepositories(
    const std::optional<FileURL>& monitoringURL, NoticeCenter& notices, const ScanSettings& settings,
    const std::unordered_set<std::string>* knownFailures = nullptr,
    const WalkOpened& opened = {}, const std::function<bool()>& stillWanted = {});

// Registers folders that passed the repository test since the last scan,
// as a scan registers what it finds: the same access, judgement against the
// shared lists, locked merge, lines and notices.
ScanOutcome registerRepositories(const std::optional<FileURL>& monitoringURL,
                                 const std::vector<FileURL>& folders, NoticeCenter& notices,
                                 const std::function<bool()>& stillWanted = {});

}  // namespace zivuv::discovery

#include "discovery/RepositoryScan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/Libgit2.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"
#include "platform/text/Text.h"

namespace zivuv::discovery {

using platform::Logger;
using platform::SecurityScope;

namespace {

// When the entry name of the folder open as dirFd last changed status.
std::chrono::system_clock::time_point changeTime(int dirFd, const char* name) {
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
}

// A scan that could not run, and why.
ScanOutcome notRun(std::string why) {
  ScanOutcome outcome;
  outcome.scanError = std::move(why);
  return outcome;
}

// Why the folder at path cannot be read and searched, for a person.
std::string unreadableFolder(const std::string& path) {
  const std::string shown = "the monitored folder " + platform::escapeControlBytes(path);
  if (::access(path.c_str(), R_OK | X_OK) != 0) {
    return shown + " cannot be read: " + std::strerror(errno);
  }
  return "access to " + shown + " was refused";
}

std::string unreadableSharedSettings() {
  const std::string file = platform::settingsFile(sharedSuiteName());
  return "the shared settings " + platform::escapeControlBytes(file) + " cannot be read";
}

// What a scan records, and the lines it logs for the rest: each new
// repository once, however many ways lead to it, and each listed entry found
// moved, in its place.
class Findings {
 public:
  explicit Findings(const KnownFolders& known) : known_(known) {}

  // Takes a judged candidate that is no failure of the repository test;
  // entry, where a walk listed it, makes its record without another look.
  void take(const Judgement& judgement, const FileURL& url, const WalkEntry* entry = nullptr) {
    using Verdict = Judgement::Verdict;
    const bool repository =
        judgement.verdict == Verdict::Repository || judgement.verdict == Verdict::Moved;
    // A second way to a folder found in this scan is an alias of it too.
    if (!repository || (judgement.test.inode != 0 &&
                        !seen_.emplace(judgement.test.device, judgement.test.inode).second)) {
      Logger::shared().info("Existing or blocked folder: ", url.path());
    } else if (judgement.verdict == Verdict::Moved) {
      moves.push_back({*judgement.entry, url, recordFor(judgement, entry)});
      movedFrom.push_back(known_.record(*judgement.entry).path);
    } else {
      added.push_back(url);
      records.push_back(recordFor(judgement, entry));
    }
  }

  std::vector<FileURL> added;
  std::vector<std::optional<Data>> records;  // of each added folder, where made
  std::vector<SharedSuiteSession::Move> moves;
  std::vector<std::string> movedFrom;

 private:
  // A record that cannot be made here is made, and its failure told, by the
  // registration.
  static std::optional<Data> recordFor(const Judgement& judgement, const WalkEntry* entry) {
    if (entry == nullptr) return std::nullopt;
    return recordOf(*entry, judgement.test).data;
  }

  const KnownFolders& known_;
  std::unordered_set<FolderIdentity, FolderIdentityHash> seen_;
};

// What a scan and a registration share: access to the monitored folder and
// the shared lists read without their lock, the registration of what was
// found (new folders and moved entries) in one locked merge and write, and
// the notices: DefaultsChanged for any change, the desktop notice for new
// repositories only.
template <typename Find>
ScanOutcome withSharedLists(const std::optional<FileURL>& monitoringURL, NoticeCenter& notices,
                            const std::function<bool()>& stillWanted, const Find& find) {
  Logger& log = Logger::shared();
  if (!monitoringURL || !SecurityScope::startAccessing(*monitoringURL)) {
    log.error("No monitoring URL to check!");
    return notRun(monitoringURL ? unreadableFolder(monitoringURL->path())
                                : "no folder is monitored");
  }
  struct AccessGuard {
    const FileURL& url;
    ~AccessGuard() { SecurityScope::stopAccessing(url); }
  } access{*monitoringURL};

  ScanOutcome outcome;
  std::vector<std::string> newNames;
  bool moved = false;
  {
    // Every stored entry and every candidate lies in one of a few folders:
    // take each folder's real path once for the whole scan.
    const platform::RealPathCacheScope realPaths;
    SharedSuiteSession suite(sharedSuiteName());
    const auto blocked = suite.loadURLs(BookmarkKeys::blockKey);
    if (!blocked) {
      log.error("Failed to get current folders!");
      return notRun(unreadableSharedSettings());
    }
    const auto listed = suite.loadURLs(BookmarkKeys::sandboxKey);
    if (!listed) {
      log.error("Failed to get current folders!");
      return notRun(unreadableSharedSettings());
    }
    const KnownFolders known(*blocked, *listed, [&suite] { return suite.listedRecords(); });
    Findings findings(known);
    outcome.ran = true;
    {
      // libgit2 is set up at most once per scan, and only when a folder
      // needs it; it is unloaded again when the scan has judged all.
      const Libgit2Hold libgit2;
      find(known, findings, outcome);
      if (const std::string failure = libgit2.loadFailure(); !failure.empty()) {
        log.error("Cannot load libgit2, so folders that only libgit2 can judge are not "
                  "registered: " + failure);
      } else if (libgit2.verdicts() > 0) {
        log.debug("libgit2 was asked " + std::to_string(libgit2.verdicts()) +
                  " times during the scan");
      }
    }
    // All adds and moves of the run go into one locked write; a folder whose
    // add fails is neither counted nor named.
    using Added = SharedSuiteSession::Added;
    const auto written = suite.addSandboxURLs(findings.added, findings.moves, stillWanted,
                                              std::move(findings.records));
    outcome.lockHeld = suite.lockHeld();
    for (std::size_t i = 0; i < findings.added.size(); ++i) {
      if (written[i] == Added::Blocked) {
        log.info("Existing or blocked folder: ", findings.added[i].path());
      }
      if (written[i] != Added::Written) continue;
      // The notice names a count; the log names each folder registered.
      log.info("Registered ", findings.added[i].path());
      newNames.push_back(findings.added[i].lastPathComponent());
    }
    for (std::size_t m = 0; m < findings.moves.size(); ++m) {
      if (written[findings.added.size() + m] != Added::Written) continue;
      log.info("Moved " + platform::escapeControlBytes(findings.movedFrom[m]) + " to ",
               findings.moves[m].url.path());
      moved = true;
    }
    if (const auto lost = std::count(written.begin(), written.end(), Added::Failed); lost > 0) {
      outcome.scanError = std::to_string(lost) + " of the " + std::to_string(written.size()) +
                          " repositories found could not be registered in the shared settings";
    }
  }
  if (newNames.empty()) {
    if (moved) postDefaultsChanged(notices);
    log.info("Checked and no new repos");
    return outcome;
  }
  announceNewRepositories(newNames, notices);
  outcome.registered = static_cast<std::int64_t>(newNames.size());
  return outcome;
}

}  // namespace

ScanOutcome scanForNewRepositories(
    const std::optional<FileURL>& monitoringURL, NoticeCenter& notices, const ScanSettings& settings,
    const std::unordered_set<std::string>* knownFailures,
    const WalkOpened& opened, const std::function<bool()>& stillWanted) {
  return withSharedLists(monitoringURL, notices, stillWanted, [&](const KnownFolders& known,
                                                                  Findings& findings,
                                                                  ScanOutcome& outcome) {
    outcome.walked = walkTree(*monitoringURL, settings, [&](const WalkEntry& entry) {
      ++outcome.candidates;
      const auto judgement = judgeCandidate(entry, known);
      if (judgement.verdict == Judgement::Verdict::NotRepository ||
          judgement.verdict == Judgement::Verdict::BeingWritten) {
        std::string path = entry.url.path();
        Logger::shared().info("Failed to create repo for ", path);
        // A folder that git is writing changes now, whenever it began.
        std::chrono::system_clock::time_point changed;
        if (judgement.verdict == Judgement::Verdict::BeingWritten) {
          changed = std::chrono::system_clock::now();
        } else if (knownFailures == nullptr || !knownFailures->contains(path)) {
          changed = changeTime(entry.dirFd, entry.name);
        }
        outcome.notRepositories.push_back({std::move(path), changed});
      } else {
        findings.take(judgement, entry.url, &entry);
      }
      return judgement.descend;
    }, opened);
    // A folder that could not be listed showed nothing.
    if (outcome.walked.empty()) {
      outcome.ran = false;
      outcome.scanError = unreadableFolder(monitoringURL->path());
    }
  });
}

ScanOutcome registerRepositories(const std::optional<FileURL>& monitoringURL,
                                 const std::vector<FileURL>& folders, NoticeCenter& notices,
                                 const std::function<bool()>& stillWanted) {
  return withSharedLists(monitoringURL, notices, stillWanted, [&](const KnownFolders& known,
                                                                  Findings& findings,
                                                                  ScanOutcome&) {
    for (const auto& folder : folders) {
      // Judged again, as a scan would: it may have moved in, or be an alias.
      const std::string path = folder.path();
      const auto judgement = judgeCandidate({AT_FDCWD, path.c_str(), folder, 1, true}, known);
      if (judgement.verdict != Judgement::Verdict::NotRepository &&
          judgement.verdict != Judgement::Verdict::BeingWritten) {
        findings.take(judgement, folder);
      }
    }
  });
}

}  // namespace zivuv::discovery

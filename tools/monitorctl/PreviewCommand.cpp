// `scan --dry-run`: every folder that the next scan's walk meets, each with
// the answer `why` gives for it. The walk, the filter, the ignore patterns,
// the shared lists and the judgement are the scan's own; nothing is
// written, locked or sent, and the service is not needed.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "discovery/Candidates.h"
#include "discovery/Libgit2.h"
#include "discovery/RepositoryTest.h"
#include "discovery/ScanSettings.h"
#include "discovery/Walk.h"
#include "monitorctl/Answers.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "monitorctl/RepoCheck.h"
#include "platform/fd/UniqueFd.h"
#include "platform/fs/FolderListing.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {
namespace {

using discovery::Judgement;
using discovery::KnownFolders;
using discovery::WalkEntry;
using platform::FileURL;

// Prints the answers as they come: lines for people, or one JSON array
// whose elements are `why --json`'s documents, one per line. An element is
// held back until the next one (or the end) tells whether a comma follows.
class AnswerPrinter {
 public:
  AnswerPrinter(bool json, const FileURL& monitored) : json_(json), monitored_(monitored) {}

  // False once standard output cannot take more.
  bool print(const std::string& folder, const Answer& answer) {
    if (failed_) return false;
    if (!json_) {
      failed_ = !printAnswer(folder, answer);
      return !failed_;
    }
    if (!held_) {
      failed_ = !printData("[");
    } else {
      failed_ = !printData("  " + *held_ + ",");
    }
    held_ = answerDocument(folder, answer, monitored_).dump();
    return !failed_;
  }

  // Ends the array; false when standard output failed on the way.
  bool finish() {
    if (failed_ || !json_) return !failed_;
    if (!held_) return printData("[") && printData("]");
    return printData("  " + *held_) && printData("]");
  }

 private:
  bool json_;
  const FileURL& monitored_;
  std::optional<std::string> held_;
  bool failed_ = false;
};

// The answer for the folders right below a candidate that the walk does not
// enter, as `why` finds it on its way down: the candidate is blocked, or a
// repository, or at the scan depth.
std::optional<Answer> belowAnswer(const WalkEntry& entry, const Judgement& judgement, int scanDepth) {
  using Verdict = Judgement::Verdict;
  const std::string path = entry.url.path();
  if (judgement.verdict == Verdict::Blocked) return insideBlockedAnswer(path);
  bool located = true;  // a repository, found or listed, or a git folder that libgit2 refuses
  if (judgement.verdict == Verdict::NotRepository) located = judgement.test.located;
  // A listed folder above the scan depth is entered unless it is a
  // repository; one at the scan depth was not looked at.
  if (judgement.verdict == Verdict::Listed && entry.deepest) {
    located = discovery::locatedAt(entry.dirFd, entry.name, path);
  }
  if (located) return insideRepositoryAnswer(path);
  if (entry.deepest) return tooDeepAnswer(static_cast<std::size_t>(entry.depth) + 1, scanDepth);
  return std::nullopt;
}

// The walk, with every folder it meets told to printer. Below a folder that
// it does not enter, the folders one level down are told too, so that a
// deeper walk shows where it stops and why; the levels further down answer
// the same. walked tells whether the monitored folder could be listed.
// False once printing failed.
bool preview(const FileURL& monitored, const discovery::ScanSettings& settings,
             const KnownFolders& known, AnswerPrinter& printer, bool& walked) {
  bool printing = true;
  const auto tell = [&](const FileURL& url, const Answer& answer) {
    printing = printing && printer.print(url.path(), answer);
  };
  // A folder that the shared lists hold answers so wherever it lies.
  const auto told = [&](const FileURL& url, const Answer& otherwise) {
    const auto match = known.find(url);
    tell(url, match ? knownAnswer(*match) : otherwise);
  };
  const auto below = [&](const WalkEntry& entry, const Answer& answer) {
    platform::UniqueFd folder(
        ::openat(entry.dirFd, entry.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return;
    platform::FolderListing listing(std::move(folder));
    while (const dirent64* child = printing ? listing.next() : nullptr) {
      if (discovery::classifyEntry(listing.fd(), child->d_name, child->d_type) ==
          discovery::EntryKind::Candidate) {
        told(entry.url.appending(child->d_name, true), answer);
      }
    }
  };
  const auto visit = [&](const WalkEntry& entry) {
    if (!printing) return false;
    const auto judgement = discovery::judgeCandidate(entry, known, true);
    tell(entry.url, judgedAnswer(judgement, known, entry.url.path()));
    // At scan depth 1 `why` answers every folder further down alike.
    if (printing && !judgement.descend && settings.depth > 1) {
      if (const auto answer = belowAnswer(entry, judgement, settings.depth)) below(entry, *answer);
    }
    return printing && judgement.descend;
  };
  const auto ignored = [&](const WalkEntry& entry, const std::string& pattern) {
    if (printing) told(entry.url, ignoredAnswer(pattern, entry.url.path()));
  };
  walked = !discovery::walkTree(monitored, settings, visit, {}, ignored).empty();
  return printing;
}

}  // namespace

int runScanPreview(bool json) {
  const auto monitored = monitoredFolder();
  if (!monitored) {
    printMessage("no folder is monitored: 'zivuv-monitorctl watch DIR' chooses one");
    return kFailure;
  }
  const auto known = loadKnownFolders();
  if (!known) {
    printMessage("cannot read the shared settings " + sharedSettingsFile());
    return kFailure;
  }
  const auto settings = discovery::loadScanSettings().settings;
  // libgit2 is set up once for the whole walk, as in a scan.
  const discovery::Libgit2Hold libgit2;
  AnswerPrinter printer(json, *monitored);
  bool walked = false;
  if (!preview(*monitored, settings, *known, printer, walked)) return kFailure;
  if (!walked) {
    const int error = ::access(monitored->path().c_str(), R_OK | X_OK) == 0 ? 0 : errno;
    printMessage("the monitored folder " + shownPath(*monitored) + " cannot be read" +
                 (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    return kFailure;
  }
  return printer.finish() ? kSuccess : kFailure;
}

}  // namespace zivuv::monitorctl

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery/RepositoryTest.h"
#include "discovery/Walk.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/url/FileURL.h"

namespace zivuv::discovery {

using platform::FileURL;

// How a walk takes one entry of a folder: only visible folders are
// candidates. A symbolic link is no folder here.
enum class EntryKind { Candidate, Hidden, SymbolicLink, NotAFolder, Missing };

// The verdict on the entry `name` of the folder open as dirFd; type is the
// entry's d_type from the listing, or DT_UNKNOWN.
EntryKind classifyEntry(int dirFd, const char* name, unsigned char type);

// What is at a listed entry's recorded path now.
struct RecordedFolder {
  enum class State {
    Present,      // a folder (dev and inode tell whether it is the one recorded)
    Gone,         // nothing, or no folder, and the file system it lay on is still there
    Unreachable,  // its file system is not there, or refuses to be looked at
  };
  State state = State::Gone;
  dev_t device = 0;
  ino_t inode = 0;
  std::string reason;  // Unreachable: why, in words
};
// The nearest parent that exists tells a folder gone from its file system
// (the device recorded) from a file system not mounted there now.
RecordedFolder lookAtRecorded(const std::string& path, std::uint64_t device);

// The folders that a scan passes over: those the app has blocked and those
// it lists, matched by URL (blocked first); and the listed entries as
// stored (records in stored order, nothing for one that cannot be decoded),
// matched by device and inode.
class KnownFolders {
 public:
  enum class Kind { Blocked, Listed };
  using Records = std::vector<std::optional<platform::BookmarkFields>>;
  // records gives the listed entries as stored; it is called on the first
  // look by device and inode, which a scan that finds nothing new never
  // makes.
  KnownFolders(const std::vector<FileURL>& blocked, const std::vector<FileURL>& listed,
               std::function<Records()> records = {});
  std::optional<Kind> find(const FileURL& url) const;
  // The stored positions of the listed entries recorded with this device
  // and inode, in stored order; nullptr for none. Not thread-safe.
  const std::vector<std::size_t>* recordedAs(dev_t device, ino_t inode) const;
  // The record at a position that recordedAs gave.
  const platform::BookmarkFields& record(std::size_t position) const { return *records_[position]; }

 private:
  std::unordered_map<std::string, Kind> byText_;
  std::function<Records()> source_;
  mutable Records records_;
  mutable std::optional<
      std::unordered_map<FolderIdentity, std::vector<std::size_t>, FolderIdentityHash>>
      byIdentity_;
};

// What a scan makes of a candidate of its walk, and whether the walk goes
// below it: never below a blocked folder or a git folder (listed, new,
// blocked, or one that libgit2 refuses), nor below the scan depth. A listed
// folder is tested only when the walk could go below it. The scan, `why`
// and the client's check of the list all take their answer from here.
struct Judgement {
  enum class Verdict {
    Blocked,
    Listed,
    Repository,     // new: to be registered
    Moved,          // a listed entry's folder, gone from its recorded path: to be recorded here
    Alias,          // a listed entry's folder, still at its recorded path too: never listed twice
    BeingWritten,   // a repository that git is still writing: registered once it has settled
    NotRepository,  // libgit2 does not open it (test.reason says why, when asked)
  };
  Verdict verdict = Verdict::NotRepository;
  bool descend = false;
  // Moved and Alias, and BeingWritten where the folder is a listed entry's
  // moved there: that entry's stored position.
  std::optional<std::size_t> entry;
  RepositoryTestResult test;  // the repository test, where it was made
};
Judgement judgeCandidate(const WalkEntry& entry, const KnownFolders& known,
                         bool withReason = false);

// The transport record of a candidate that the repository test opened, from
// what the walk and the test saw of it: the listing's inode, the device of
// the folder it lies in and that folder's real path. Only where the test saw
// another device (a mount point) or another inode than the listing, or the
// entry was not listed by a walk, is it looked at on the disk again. The
// same record as platform::createBookmark on its path.
platform::BookmarkCreation recordOf(const WalkEntry& entry, const RepositoryTestResult& test);

}  // namespace zivuv::discovery

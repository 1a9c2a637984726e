#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery/RepositoryTest.h"
#include "discovery/Walk.h"
#include "platform/url/FileURL.h"

namespace zivuv::discovery {

using platform::FileURL;

// How a walk takes one entry of a folder: only visible folders are
// candidates. A symbolic link is no folder here.
enum class EntryKind { Candidate, Hidden, SymbolicLink, NotAFolder, Missing };

// The verdict on the entry `name` of the folder open as dirFd; type is the
// entry's d_type from the listing, or DT_UNKNOWN.
EntryKind classifyEntry(int dirFd, const char* name, unsigned char type);

// The folders that a scan passes over: those the app has blocked and those
// it lists, matched by URL (blocked first).
class KnownFolders {
 public:
  enum class Kind { Blocked, Listed };
  KnownFolders(const std::vector<FileURL>& blocked, const std::vector<FileURL>& listed);
  std::optional<Kind> find(const FileURL& url) const;

 private:
  std::unordered_map<std::string, Kind> byText_;
};

// What a scan makes of a candidate of its walk, and whether the walk goes
// below it: never below a blocked folder or a repository (listed, new or
// blocked), nor below the scan depth. A listed folder is tested only when
// the walk could go below it.
struct Judgement {
  enum class Verdict { Blocked, Listed, Repository, NotRepository } verdict;
  bool descend;
};
Judgement judgeCandidate(const WalkEntry& entry, const KnownFolders& known);

}  // namespace zivuv::discovery

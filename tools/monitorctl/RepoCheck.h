#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/bookmark/BookmarkRecord.h"
#include "platform/url/FileURL.h"

namespace zivuv::monitorctl {

// What became of a listed repository of the shared settings.
enum class EntryState {
  Ok,            // a folder is at its path
  Missing,       // gone from a file system that is still there
  Moved,         // gone from its path, a repository with its device and inode in the walk
  Unreachable,   // its file system is not there, or refuses to be looked at
  Unresolvable,  // the record cannot be decoded
};

struct EntryCheck {
  EntryState state = EntryState::Unresolvable;
  std::string path;    // as recorded (the real path when Ok); empty when Unresolvable
  std::string detail;  // Moved: the new path; Unreachable: the reason in words
};

// Checks every listed entry, in order. Moved folders are looked for in the
// tree of monitored as a scan walks and judges it now (its depth and ignore
// patterns; never below a repository or a blocked folder), so a moved
// folder is found where, and only when, the next scan would record it
// there; without monitored none is.
// Prints nothing.
std::vector<EntryCheck> checkListed(const std::vector<platform::Data>& listed,
                                    const std::vector<platform::Data>& blocked,
                                    const std::optional<platform::FileURL>& monitored);

// "ok", "missing", "moved", "unreachable", "unresolvable".
const char* stateKey(EntryState state);

// For a printed line, control bytes escaped: the entry's path or
// "(unresolvable)"; its state ("ok", "moved /x/d", "unreachable <reason>").
std::string shownEntry(const EntryCheck& check);
std::string shownState(const EntryCheck& check);

// {"path": path or null, "state": key}, with "to" for a moved entry and
// "reason" for an unreachable one.
nlohmann::json jsonEntry(const EntryCheck& check);

// The listed and blocked entries of the shared settings, and how many of
// the listed ones are missing.
struct RepositoryCounts {
  std::size_t listed = 0;
  std::size_t missing = 0;
  std::size_t blocked = 0;
};

// nullopt when the shared settings cannot be read.
std::optional<RepositoryCounts> countRepositories(
    const std::optional<platform::FileURL>& monitored);

// The folder in which moved folders are looked for: the one the service
// monitors when it answers, else the first of its saved folders; nullopt
// when neither names one. Prints nothing.
std::optional<platform::FileURL> monitoredFolder();

}  // namespace zivuv::monitorctl

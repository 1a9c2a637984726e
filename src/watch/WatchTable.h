#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/fd/UniqueFd.h"

namespace zivuv::watch {

// What a folder is watched for.
enum class WatchRole : std::uint8_t {
  Folder,   // the folder at the watched path
  Await,    // its nearest existing parent, while no folder is at the path
  Parent,   // a parent up to "/", for its own move, deletion or unmount
  Tree,     // a folder below the watched one whose subfolders are candidates
  Pending,  // a folder still being filled, or its .git folder
};

// The watches of one inotify instance, by path and by watch descriptor.
// The kernel gives one descriptor per folder and instance, so a folder
// watched for several roles, or under several paths, is one watch: its mask
// is the union of theirs, and each use hears only the events of its own
// mask. The uses of a path follow the folder at that path: adding one where
// another folder is now moves them all to it. A watch leaves the table only
// through forget(), which removes the kernel's watch too, so size() is what
// the kernel holds. Not thread-safe: the owner guards it.
class WatchTable {
 public:
  struct Use {
    std::string path;
    WatchRole role;
    std::uint32_t mask;  // the events this use hears
  };
  struct Watch {
    std::vector<Use> uses;
    dev_t device = 0;  // the folder watched, where the caller told it
    ino_t inode = 0;
  };

  // inotify is the instance's descriptor, owned by the caller; once it is
  // closed, the table makes no more calls.
  explicit WatchTable(const platform::UniqueFd& inotify) : inotify_(inotify) {}

  // Watches the folder at path for role, through via (such as
  // /proc/self/fd/N of a descriptor open on it) when given. The descriptor,
  // or -errno.
  int add(const std::string& path, WatchRole role, std::uint32_t mask, const std::string* via = nullptr);
  // Ends role's use of the watch at path; the watch goes once nothing uses it.
  void drop(const std::string& path, WatchRole role);
  // Ends role's uses of the watch wd, or every use of role (wd -1).
  void dropRole(WatchRole role, int wd = -1);
  // Removes the watch wd and every use of it, and the kernel's watch unless
  // the kernel dropped it itself (IN_IGNORED).
  void forget(int wd, bool droppedByKernel = false);

  // Records which folder the watch wd is on.
  void identify(int wd, dev_t device, ino_t inode);

  const Watch* find(int wd) const;
  // The watch of role at path, or nullptr.
  const Watch* find(const std::string& path, WatchRole role) const;
  // The paths that role watches.
  std::vector<std::string> paths(WatchRole role) const;
  std::size_t size() const { return watches_.size(); }
  std::size_t count(WatchRole role) const { return counts_[static_cast<std::size_t>(role)]; }

 private:
  void removeUse(Watch& watch, std::size_t at);
  void removeIfUnused(int wd);

  const platform::UniqueFd& inotify_;
  std::unordered_map<int, Watch> watches_;
  std::unordered_map<std::string, int> byPath_;  // each path's one watch
  std::array<std::size_t, 5> counts_{};
};

}  // namespace zivuv::watch

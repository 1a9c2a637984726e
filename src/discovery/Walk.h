#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "discovery/ScanSettings.h"
#include "platform/url/FileURL.h"

namespace zivuv::discovery {

// A folder by its device and inode, which tell it however it is reached.
using FolderIdentity = std::pair<std::uint64_t, std::uint64_t>;
struct FolderIdentityHash {
  std::size_t operator()(const FolderIdentity& id) const noexcept {
    return std::hash<std::uint64_t>{}(id.second * 0x9E3779B97F4A7C15ULL ^ id.first);
  }
};

// A candidate that the walk reached: a visible folder, no symbolic link,
// not ignored, at depth 1 (an immediate subfolder) to the scan depth.
struct WalkEntry {
  int dirFd;                        // the folder it lies in, open
  const char* name;                 // its name there
  const platform::FileURL& url;     // its folder URL, as a listing gives it
  int depth;
  bool deepest;                     // at the scan depth: never descended into
  // What the listing told of it: its inode (d_ino), and the device of the
  // folder it lies in; 0 where the entry was not listed.
  ino_t inode = 0;
  dev_t parentDevice = 0;
};

// A folder that the walk opened and listed (the monitored folder, and each
// folder it descended into): its subfolders are candidates.
struct WalkedFolder {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  int depth = 0;
  // The network file system it lies on, when that is another file system
  // than its parent's (a share mounted inside the tree); empty otherwise.
  std::string networkFileSystem;
};

// Decides, for a candidate above the scan depth, whether the walk descends
// into it; for the deepest ones the answer is not used.
using WalkVisitor = std::function<bool(const WalkEntry&)>;
// Hears of each folder below root that the walk descends into, once it is
// open and before it is listed.
using WalkOpened = std::function<void(const WalkedFolder& folder)>;

// Hears of each folder that the walk meets and passes over because the
// ignore pattern given matches it (the walk neither visits nor opens it).
using WalkIgnored = std::function<void(const WalkEntry& entry, const std::string& pattern)>;

// Walks the tree of root, depth first, each folder's entries in the order
// it lists them: every candidate is visited once, before the candidates
// below it, and no folder is entered twice (a bind mount inside the tree,
// a loop). Each folder is opened once and its entries are looked at
// relative to its descriptor; at most one descriptor per level is open.
// Returns the folders walked, root first; nothing when root cannot be
// opened as a folder. Any thread.
std::vector<WalkedFolder> walkTree(const platform::FileURL& root, const ScanSettings& settings,
                                   const WalkVisitor& visit, const WalkOpened& opened = {},
                                   const WalkIgnored& ignored = {});

}  // namespace zivuv::discovery

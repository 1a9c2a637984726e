#include "watch/WatchTable.h"

#include <sys/inotify.h>

#include <cerrno>

#include "platform/faults/Faults.h"

namespace zivuv::watch {

int WatchTable::add(const std::string& path, WatchRole role, std::uint32_t mask,
                    const std::string* via) {
  if (!inotify_) return -EBADF;
  if (platform::Faults::refusesWatch(path)) return -ENOSPC;
  const auto known = byPath_.find(path);
  const int before = known == byPath_.end() ? -1 : known->second;
  // The kernel's mask grows to what every use of the folder hears; the
  // other uses of the path keep hearing theirs if another folder is there.
  std::uint32_t wanted = mask;
  if (before >= 0) {
    for (const auto& use : watches_.at(before).uses) {
      if (use.path == path) wanted |= use.mask;
    }
  }
  const int wd = ::inotify_add_watch(inotify_.get(), (via != nullptr ? *via : path).c_str(),
                                     wanted | IN_MASK_ADD);
  if (wd < 0) return -errno;
  Watch& watch = watches_[wd];
  if (before >= 0 && before != wd) {
    Watch& old = watches_.at(before);
    for (std::size_t i = 0; i < old.uses.size();) {
      if (old.uses[i].path == path) {
        watch.uses.push_back(std::move(old.uses[i]));
        old.uses.erase(old.uses.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    removeIfUnused(before);
  }
  byPath_[path] = wd;
  for (auto& use : watch.uses) {
    if (use.path == path && use.role == role) {
      use.mask |= mask;
      return wd;
    }
  }
  watch.uses.push_back({path, role, mask});
  ++counts_[static_cast<std::size_t>(role)];
  return wd;
}

void WatchTable::drop(const std::string& path, WatchRole role) {
  const auto known = byPath_.find(path);
  if (known == byPath_.end()) return;
  const int wd = known->second;
  Watch& watch = watches_.at(wd);
  bool pathUsed = false;
  for (std::size_t i = watch.uses.size(); i-- > 0;) {
    if (watch.uses[i].path != path) continue;
    if (watch.uses[i].role == role) {
      removeUse(watch, i);
    } else {
      pathUsed = true;
    }
  }
  if (!pathUsed) byPath_.erase(known);
  removeIfUnused(wd);
}

void WatchTable::dropRole(WatchRole role, int wd) {
  if (wd < 0) {
    std::vector<int> holders;
    for (const auto& [each, watch] : watches_) {
      for (const auto& use : watch.uses) {
        if (use.role == role) {
          holders.push_back(each);
          break;
        }
      }
    }
    for (const int each : holders) dropRole(role, each);
    return;
  }
  const auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  std::vector<std::string> paths;
  for (std::size_t i = it->second.uses.size(); i-- > 0;) {
    if (it->second.uses[i].role != role) continue;
    paths.push_back(it->second.uses[i].path);
    removeUse(it->second, i);
  }
  for (const auto& path : paths) {
    bool pathUsed = false;
    for (const auto& use : it->second.uses) pathUsed = pathUsed || use.path == path;
    const auto known = byPath_.find(path);
    if (!pathUsed && known != byPath_.end() && known->second == wd) byPath_.erase(known);
  }
  removeIfUnused(wd);
}

void WatchTable::forget(int wd, bool droppedByKernel) {
  const auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  for (const auto& use : it->second.uses) {
    --counts_[static_cast<std::size_t>(use.role)];
    const auto known = byPath_.find(use.path);
    if (known != byPath_.end() && known->second == wd) byPath_.erase(known);
  }
  watches_.erase(it);
  if (!droppedByKernel && inotify_) (void)::inotify_rm_watch(inotify_.get(), wd);
}

void WatchTable::identify(int wd, dev_t device, ino_t inode) {
  const auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  it->second.device = device;
  it->second.inode = inode;
}

const WatchTable::Watch* WatchTable::find(int wd) const {
  const auto it = watches_.find(wd);
  return it == watches_.end() ? nullptr : &it->second;
}

const WatchTable::Watch* WatchTable::find(const std::string& path, WatchRole role) const {
  const auto known = byPath_.find(path);
  if (known == byPath_.end()) return nullptr;
  const Watch& watch = watches_.at(known->second);
  for (const auto& use : watch.uses) {
    if (use.path == path && use.role == role) return &watch;
  }
  return nullptr;
}

std::vector<std::string> WatchTable::paths(WatchRole role) const {
  std::vector<std::string> found;
  found.reserve(count(role));
  for (const auto& [wd, watch] : watches_) {
    for (const auto& use : watch.uses) {
      if (use.role == role) found.push_back(use.path);
    }
  }
  return found;
}

void WatchTable::removeUse(Watch& watch, std::size_t at) {
  --counts_[static_cast<std::size_t>(watch.uses[at].role)];
  watch.uses.erase(watch.uses.begin() + static_cast<std::ptrdiff_t>(at));
}

void WatchTable::removeIfUnused(int wd) {
  const auto it = watches_.find(wd);
  if (it != watches_.end() && it->second.uses.empty()) forget(wd);
}

}  // namespace zivuv::watch

#include "discovery/Walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <unordered_set>
#include <utility>

#include "discovery/Candidates.h"
#include "platform/fd/UniqueFd.h"
#include "platform/fs/FolderListing.h"
#include "platform/fs/NetworkFileSystems.h"

namespace zivuv::discovery {
namespace {

using platform::FileURL;
using platform::FolderListing;
using platform::UniqueFd;

// One open folder on the way down.
struct Level {
  std::unique_ptr<FolderListing> listing;
  FileURL url;
  std::string relativePath;
  int depth = 0;
  dev_t device = 0;
};

// Opens a folder for listing; what it is, in walked.
std::unique_ptr<FolderListing> openFolder(UniqueFd fd, WalkedFolder& walked) {
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  walked.device = st.st_dev;
  walked.inode = st.st_ino;
  return std::make_unique<FolderListing>(std::move(fd));
}

}  // namespace

std::vector<WalkedFolder> walkTree(const FileURL& root, const ScanSettings& settings,
                                   const WalkVisitor& visit, const WalkOpened& opened,
                                   const WalkIgnored& ignored) {
  std::vector<WalkedFolder> walked;
  WalkedFolder top;
  top.path = root.path();
  auto dir = openFolder(UniqueFd(::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                        top);
  if (!dir) return walked;
  const bool byPath = settings.matchesPaths();
  // Each folder is entered once, however many ways lead to it: a bind
  // mount of a folder inside the tree, or of one of its parents (a loop).
  std::unordered_set<FolderIdentity, FolderIdentityHash> entered;
  const auto firstEntry = [&entered](const WalkedFolder& folder) {
    return entered.emplace(folder.device, folder.inode).second;
  };
  (void)firstEntry(top);
  std::vector<Level> levels;
  levels.push_back({std::move(dir), root, {}, 0, top.device});
  walked.push_back(std::move(top));

  while (!levels.empty()) {
    Level& level = levels.back();
    const int dirFd = level.listing->fd();
    const dirent64* entry = level.listing->next();
    if (entry == nullptr) {
      levels.pop_back();
      continue;
    }
    if (classifyEntry(dirFd, entry->d_name, entry->d_type) != EntryKind::Candidate) continue;
    const std::string name = entry->d_name;
    const int depth = level.depth + 1;
    const bool deepest = depth >= settings.depth;
    // The relative path only where a pattern or the way down needs it.
    std::string relativePath;
    if (byPath || !deepest) {
      relativePath = level.relativePath.empty() ? name : level.relativePath + "/" + name;
    }
    const auto pattern = settings.ignoredBy(name, relativePath);
    if (pattern && !ignored) continue;
    const FileURL url = level.url.appending(name, true);
    const WalkEntry candidate{dirFd, name.c_str(), url, depth, deepest, entry->d_ino, level.device};
    if (pattern) {
      ignored(candidate, *pattern);
      continue;
    }
    if (!visit(candidate) || deepest) continue;

    WalkedFolder below;
    below.path = url.path();
    below.depth = depth;
    auto child = openFolder(
        UniqueFd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
        below);
    if (!child || !firstEntry(below)) continue;
    // Only where a file system starts is it worth asking which one it is.
    if (below.device != level.device) {
      below.networkFileSystem = platform::remoteFileSystemNameOf(child->fd());
    }
    if (opened) opened(below);
    const dev_t device = below.device;
    walked.push_back(std::move(below));
    levels.push_back({std::move(child), url, relativePath, depth, device});
  }
  return walked;
}

}  // namespace zivuv::discovery

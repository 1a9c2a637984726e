#include "discovery/Walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "discovery/Candidates.h"
#include "platform/fd/UniqueFd.h"
#include "platform/fs/NetworkFileSystems.h"

namespace zivuv::discovery {
namespace {

using platform::FileURL;
using platform::UniqueFd;

// The entries of one open folder, read with getdents64 into a buffer of
// the size readdir uses. fdopendir would add an fstat and two fcntl calls
// to the fstat that openFolder makes anyway, for every folder walked.
class Listing {
 public:
  explicit Listing(UniqueFd fd) : fd_(std::move(fd)), buffer_(new char[kBufferSize]) {}

  int fd() const { return fd_.get(); }
  // The next entry; nullptr at the end, or when the folder cannot be read.
  const dirent64* next() {
    if (at_ >= size_) {
      const ssize_t n = ::getdents64(fd_.get(), buffer_.get(), kBufferSize);
      if (n <= 0) return nullptr;
      size_ = static_cast<std::size_t>(n);
      at_ = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + at_);
    at_ += entry->d_reclen;
    return entry;
  }

 private:
  static constexpr std::size_t kBufferSize = 32768;
  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::size_t at_ = 0;
};

// One open folder on the way down.
struct Level {
  std::unique_ptr<Listing> listing;
  FileURL url;
  std::string relativePath;
  int depth = 0;
  dev_t device = 0;
};

// Opens a folder for listing; what it is, in walked.
std::unique_ptr<Listing> openFolder(UniqueFd fd, WalkedFolder& walked) {
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  walked.device = st.st_dev;
  walked.inode = st.st_ino;
  return std::make_unique<Listing>(std::move(fd));
}

}  // namespace

std::vector<WalkedFolder> walkTree(const FileURL& root, const ScanSettings& settings,
                                   const WalkVisitor& visit) {
  std::vector<WalkedFolder> walked;
  WalkedFolder top;
  top.path = root.path();
  auto dir = openFolder(UniqueFd(::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                        top);
  if (!dir) return walked;
  const bool byPath = settings.matchesPaths();
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
    if (settings.ignoredBy(name, relativePath)) continue;
    const FileURL url = level.url.appending(name, true);
    if (!visit({dirFd, name.c_str(), url, depth, deepest}) || deepest) continue;

    WalkedFolder below;
    below.path = url.path();
    below.depth = depth;
    auto child = openFolder(
        UniqueFd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
        below);
    if (!child) continue;
    // Only where a file system starts is it worth asking which one it is.
    if (below.device != level.device) {
      below.networkFileSystem = platform::remoteFileSystemNameOf(child->fd());
    }
    const dev_t device = below.device;
    walked.push_back(std::move(below));
    levels.push_back({std::move(child), url, relativePath, depth, device});
  }
  return walked;
}

}  // namespace zivuv::discovery

// The record of a new repository made from what the walk saw: the same
// bytes as the record made by looking at the folder.

#include "discovery/Candidates.h"

#include <sys/stat.h>

#include "fakes/TestSupport.h"

namespace zivuv::discovery {
namespace {

class RecordOfTest : public testing::TempConfigTest, public ::testing::WithParamInterface<bool> {};

// "/" has mount points among its folders (/proc, /sys, /dev), which the
// listing shows with the inode below them; a folder reached through a
// symbolic link is recorded by its real path. With and without the scope
// that keeps each parent's real path.
TEST_P(RecordOfTest, RecordFromTheWalkIsTheRecordFromTheDisk) {
  makeFolder("real/a");
  makeFolder("real/b");
  fs::create_directory_symlink(root_ + "/real", root_ + "/link");
  std::optional<platform::RealPathCacheScope> scope;
  if (GetParam()) scope.emplace();
  std::size_t compared = 0, mountPoints = 0;
  for (const std::string& root : {std::string("/"), root_ + "/link"}) {
    (void)walkTree(FileURL::fromPath(root, true), ScanSettings{}, [&](const WalkEntry& entry) {
      // What the repository test sees of a folder it opens.
      struct stat st {};
      if (::fstatat(entry.dirFd, entry.name, &st, 0) != 0) return false;
      RepositoryTestResult seen;
      seen.device = st.st_dev;
      seen.inode = st.st_ino;
      mountPoints += st.st_dev != entry.parentDevice;
      const auto fromDisk = platform::createBookmark(entry.url.path(), platform::BookmarkKind::Transport);
      EXPECT_EQ(recordOf(entry, seen).data, fromDisk.data) << entry.url.path();
      ++compared;
      return false;
    });
  }
  EXPECT_GT(mountPoints, 0u);
  EXPECT_GT(compared, mountPoints + 2);
}

INSTANTIATE_TEST_SUITE_P(Scope, RecordOfTest, ::testing::Bool());

}  // namespace
}  // namespace zivuv::discovery

// The record of a new repository made from what the walk saw: the same
// bytes as the record made by looking at the folder.

#include "discovery/Candidates.h"

#include <sys/stat.h>

#include "fakes/TestSupport.h"

namespace zivuv::discovery {
namespace {

using RecordOfTest = testing::TempConfigTest;

// "/" has mount points among its folders (/proc, /sys, /dev), which a
// listing shows with the inode below them; a folder reached through a
// symbolic link is recorded by its real path.
TEST_F(RecordOfTest, RecordFromTheWalkIsTheRecordFromTheDisk) {
  makeFolder("real/a");
  fs::create_directory_symlink(root_ + "/real", root_ + "/link");
  const platform::RealPathCacheScope scope;  // as a scan has it
  std::size_t compared = 0, mountPoints = 0;
  for (const std::string& root : {std::string("/"), root_ + "/link"}) {
    (void)walkTree(FileURL::fromPath(root, true), ScanSettings{}, [&](const WalkEntry& entry) {
      struct stat st {};  // what the repository test sees of a folder it opens
      RepositoryTestResult seen;
      if (::fstatat(entry.dirFd, entry.name, &st, 0) == 0) {
        seen.device = st.st_dev;
        seen.inode = st.st_ino;
      }
      mountPoints += seen.device != entry.parentDevice;
      EXPECT_EQ(recordOf(entry, seen).data,
                platform::createBookmark(entry.url.path(), platform::BookmarkKind::Transport).data)
          << entry.url.path();
      return ++compared == 0;
    });
  }
  EXPECT_GT(mountPoints, 0u);
  EXPECT_GT(compared, mountPoints + 1);
}

}  // namespace
}  // namespace zivuv::discovery

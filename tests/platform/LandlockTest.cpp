// Landlock confinement: the rights each ABI handles, and what a confined
// process may still do.

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "fakes/TestSupport.h"
#include "platform/fd/UniqueFd.h"
#include "platform/sandbox/Landlock.h"

namespace zivuv::platform {
namespace {

// A right the kernel does not know fails the whole ruleset; one it knows
// but that is not handled stays allowed.
TEST(LandlockRightsTest, HandlesEveryFileSystemRightOfTheAbiAndNoOther) {
  const std::vector<std::pair<int, std::uint64_t>> rights = {
      {0, 0}, {1, 0x1FFF}, {2, 0x3FFF}, {3, 0x7FFF}, {4, 0x7FFF}, {5, 0xFFFF}, {7, 0xFFFF}, {99, 0xFFFF}};
  for (const auto& [abi, handled] : rights) EXPECT_EQ(landlockFileSystemRights(abi), handled) << abi;
}

class LandlockTest : public testing::TempConfigTest {};

TEST_F(LandlockTest, ConfinedProcessWritesOnlyInItsFolderAndStillReadsAndLoads) {
  const int kernelAbi = static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U));
  ASSERT_GT(kernelAbi, 0) << "this kernel offers no Landlock";
  ASSERT_TRUE(makeSettingsFolder());
  const std::string folder = settingsFolder();
  makeFolder("config/Zivuv2");  // a sibling whose name starts the same
  constexpr const char* kLibrary = "libgit2.so.1.5";  // what the scan loads on first use
  ASSERT_EQ(::dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD), nullptr) << "mapped already";

  // Each attempt of a confined child, with its errno.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  const pid_t child = ::fork();
  if (child == 0) {
    const LandlockOutcome outcome = confineWithLandlock(folder);
    std::string report = std::to_string(outcome.abi) + outcome.failure + outcome.folderError;
    const auto attempt = [&report](bool done) { report += done ? " ok" : std::string(" ") + std::strerror(errno); };
    const auto create = [](const std::string& path) {
      return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)).get() >= 0;
    };
    attempt(create(root_ + "/new"));
    attempt(create(folder + "2/new"));
    attempt(create(folder + "/new"));
    attempt(::rename((folder + "/new").c_str(), (folder + "/old").c_str()) == 0);
    attempt(UniqueFd(::open(folder.c_str(), O_RDONLY | O_CLOEXEC)).get() >= 0 && ::dlopen(kLibrary, RTLD_NOW));
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    errno = ::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, nullptr);
    attempt(errno == 0);
    ::_exit(writeAll(writeEnd.get(), report) ? 0 : 1);
  }
  writeEnd.reset();
  char report[512];
  const ssize_t n = ::read(readEnd.get(), report, sizeof report);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  const std::string refused = std::string(" ") + std::strerror(EACCES);
  // Create outside, create in the sibling, create inside, replace inside,
  // read and load a library, run a program.
  EXPECT_EQ(std::string(report, static_cast<std::size_t>(std::max<ssize_t>(n, 0))),
            std::to_string(kernelAbi) + refused + refused + " ok ok ok" + refused);
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace zivuv::platform

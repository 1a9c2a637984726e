// Landlock confinement: the rights each ABI handles, and what a confined
// process may still do.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fakes/TestSupport.h"
#include "platform/fd/UniqueFd.h"
#include "platform/sandbox/Landlock.h"

extern char** environ;

namespace zivuv::platform {
namespace {

struct AbiRights {
  int abi;
  std::uint64_t rights;
};

class LandlockRightsTest : public ::testing::TestWithParam<AbiRights> {};

// A right the kernel does not know makes the whole ruleset fail (EINVAL),
// and one it knows but is not handled stays allowed.
TEST_P(LandlockRightsTest, HandlesEveryFileSystemRightOfTheAbiAndNoOther) {
  EXPECT_EQ(landlockFileSystemRights(GetParam().abi), GetParam().rights);
}

INSTANTIATE_TEST_SUITE_P(Abis, LandlockRightsTest,
                         ::testing::Values(AbiRights{0, 0}, AbiRights{1, 0x1FFF}, AbiRights{2, 0x3FFF},
                                           AbiRights{3, 0x7FFF}, AbiRights{4, 0x7FFF},
                                           AbiRights{5, 0xFFFF}, AbiRights{7, 0xFFFF},
                                           AbiRights{99, 0xFFFF}),
                         [](const auto& info) { return "Abi" + std::to_string(info.param.abi); });

class LandlockTest : public testing::TempConfigTest {};

// The library that the scan loads on first use; no test here has mapped it.
constexpr const char* kLibrary = "libgit2.so.1.5";

TEST_F(LandlockTest, ConfinedProcessWritesOnlyInItsFolderAndStillReadsAndLoadsEverywhere) {
  const int kernelAbi = static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U));
  ASSERT_GT(kernelAbi, 0) << "this kernel offers no Landlock";
  ASSERT_TRUE(makeSettingsFolder());
  const std::string folder = settingsFolder();
  const std::string sibling = makeFolder("config/Zivuv2");  // its name starts the same
  testing::writeFile(root_ + "/outside", "kept");
  testing::writeFile(folder + "/old", "old");
  ASSERT_EQ(::dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD), nullptr) << "mapped already";

  // Each attempt's errno in a confined child, 0 for success.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const LandlockOutcome outcome = confineWithLandlock(folder);
    std::string report = "abi " + std::to_string(outcome.abi) + " " + std::to_string(landlockAbi()) +
                         outcome.failure + outcome.folderError + "\n";
    const auto attempt = [&report](const char* what, bool done) {
      report += what + std::string(": ") + (done ? "0" : std::strerror(errno)) + "\n";
    };
    const auto opens = [](const std::string& path, int flags) {
      return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0600)).get() >= 0;
    };
    attempt("write a file outside", opens(root_ + "/outside", O_WRONLY));
    attempt("create a file outside", opens(root_ + "/new", O_WRONLY | O_CREAT));
    attempt("create a file in a sibling", opens(sibling + "/new", O_WRONLY | O_CREAT));
    attempt("make a folder outside", ::mkdir((root_ + "/made").c_str(), 0700) == 0);
    attempt("truncate a file outside", ::truncate((root_ + "/outside").c_str(), 0) == 0);
    attempt("move a file out", ::rename((folder + "/old").c_str(), (root_ + "/old").c_str()) == 0);
    attempt("remove a file outside", ::unlink((root_ + "/outside").c_str()) == 0);
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    errno = ::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ);
    attempt("run a program", errno == 0 && ::waitpid(pid, nullptr, 0) == pid);
    attempt("create a file inside", opens(folder + "/new", O_WRONLY | O_CREAT | O_TRUNC));
    attempt("replace a file inside",
            ::rename((folder + "/new").c_str(), (folder + "/old").c_str()) == 0);
    attempt("truncate a file inside", ::truncate((folder + "/old").c_str(), 0) == 0);
    attempt("make and remove a folder inside",
            ::mkdir((folder + "/made").c_str(), 0700) == 0 && ::rmdir((folder + "/made").c_str()) == 0);
    attempt("remove a file inside", ::unlink((folder + "/old").c_str()) == 0);
    attempt("read a file outside", opens(root_ + "/outside", O_RDONLY));
    DIR* listing = ::opendir(root_.c_str());
    attempt("list a folder outside", listing != nullptr);
    if (listing != nullptr) ::closedir(listing);
    attempt("map a library", ::dlopen(kLibrary, RTLD_NOW) != nullptr);
    ::_exit(writeAll(writeEnd.get(), report) ? 0 : 1);
  }
  writeEnd.reset();
  std::string report;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0) {
    report.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string refused = std::strerror(EACCES);
  EXPECT_EQ(report, "abi " + std::to_string(kernelAbi) + " " + std::to_string(kernelAbi) + "\n" +
                        "write a file outside: " + refused + "\n" +
                        "create a file outside: " + refused + "\n" +
                        "create a file in a sibling: " + refused + "\n" +
                        "make a folder outside: " + refused + "\n" +
                        // Truncation by path is a right of its own from ABI 3 on.
                        "truncate a file outside: " + (kernelAbi >= 3 ? refused : "0") + "\n" +
                        "move a file out: " + refused + "\n" +
                        "remove a file outside: " + refused + "\n" +
                        "run a program: " + refused + "\n" +
                        "create a file inside: 0\n"
                        "replace a file inside: 0\n"
                        "truncate a file inside: 0\n"
                        "make and remove a folder inside: 0\n"
                        "remove a file inside: 0\n"
                        "read a file outside: 0\n"
                        "list a folder outside: 0\n"
                        "map a library: 0\n");
  // This process was never confined.
  EXPECT_EQ(landlockAbi(), 0);
  EXPECT_EQ(testing::readFile(root_ + "/outside"), kernelAbi >= 3 ? "kept" : "");
}

}  // namespace
}  // namespace zivuv::platform

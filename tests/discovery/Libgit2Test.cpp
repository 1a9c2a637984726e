// libgit2 is mapped only while a folder that the repository test cannot
// judge alone is being judged: counted by its loads, and seen in the
// process's own mappings.

#include <dlfcn.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "discovery/Libgit2.h"
#include "discovery/RepositoryTest.h"
#include "fakes/TestSupport.h"

namespace zivuv::discovery {
namespace {

bool mapped() {
  void* handle = ::dlopen(kLibgit2Soname, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) (void)::dlclose(handle);
  return handle != nullptr;
}

// What is resident of libcrypto's file (which libgit2 brings and which
// never leaves), beyond the pages that relocating it wrote: KiB.
long libcryptoFilePages() {
  std::istringstream smaps(testing::readFile("/proc/self/smaps"));
  long resident = 0;
  bool inLibcrypto = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.find(" r") != std::string::npos && line.find('-') < line.find(' ')) {
      inLibcrypto = line.find("/libcrypto.so") != std::string::npos;
    } else if (inLibcrypto && line.starts_with("Rss:")) {
      resident += std::stol(line.substr(4));
    } else if (inLibcrypto && line.starts_with("Anonymous:")) {
      resident -= std::stol(line.substr(10));
    }
  }
  return resident;
}

struct Layout {
  const char* name;
  const char* script;
  bool repository;
  std::uint64_t loads;
};
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class Libgit2Layouts : public testing::TempConfigTest,
                       public ::testing::WithParamInterface<Layout> {};

TEST_P(Libgit2Layouts, LoadedOnlyWhereTheLayoutLeavesADoubtAndUnloadedAfter) {
  ASSERT_EQ(std::system(("cd '" + root_ + "' && " + GetParam().script).c_str()), 0);
  const std::uint64_t before = libgit2Loads();
  EXPECT_EQ(testRepository(root_ + "/c").opens(), GetParam().repository);
  EXPECT_EQ(libgit2Loads() - before, GetParam().loads);
  EXPECT_FALSE(libgit2Loaded());
  EXPECT_FALSE(mapped());
}

INSTANTIATE_TEST_SUITE_P(
    , Libgit2Layouts,
    ::testing::Values(Layout{"WorkingTree", "git init -q c", true, 0},
                      Layout{"PlainFolder", "mkdir c", false, 0},
                      Layout{"Bare", "git init -q --bare c", true, 1},
                      Layout{"GitFile", "git init -q --separate-git-dir g c", true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

class Libgit2Test : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    ASSERT_EQ(
        std::system(("cd '" + root_ + "' && git init -q --bare a && git init -q --bare b").c_str()),
        0);
  }
};

TEST_F(Libgit2Test, HoldKeepsOneLoadForItsVerdictsAndLeavesNothingResident) {
  const std::uint64_t before = libgit2Loads();
  {
    const Libgit2Hold hold;
    EXPECT_FALSE(mapped());  // a hold alone loads nothing
    EXPECT_TRUE(testRepository(root_ + "/a").opens());
    EXPECT_TRUE(testRepository(root_ + "/b").opens());
    EXPECT_TRUE(mapped());
    EXPECT_EQ(hold.verdicts(), 2U);
    EXPECT_EQ(hold.loadFailure(), "");
  }
  EXPECT_EQ(libgit2Loads() - before, 1U);
  EXPECT_FALSE(mapped());
  // 2.5 MiB of its code and constants were resident; what stays is the
  // few pages of its writable segment that were never written.
  EXPECT_LT(libcryptoFilePages(), 512);
}

// Verdicts and holds on several threads at once, inside a hold of this
// thread's (so that each worker ends, and frees its part of libgit2's
// per-thread state, while libgit2 is loaded): one load for all, and the
// last one out unloads it.
TEST_F(Libgit2Test, ThreadsShareTheLibraryAndTheLastOneUnloadsIt) {
  const std::uint64_t before = libgit2Loads();
  std::atomic<int> opened{0};
  {
    const Libgit2Hold outer;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 10; ++i) {
          std::optional<Libgit2Hold> hold;
          if ((i + t) % 2 == 0) hold.emplace();
          opened += testRepository(root_ + (i % 2 == 0 ? "/a" : "/b")).opens() ? 1 : 0;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(libgit2Loaded());
  }
  EXPECT_EQ(opened, 40);
  EXPECT_EQ(libgit2Loads() - before, 1U);
  EXPECT_FALSE(libgit2Loaded());
  EXPECT_FALSE(mapped());
}

}  // namespace
}  // namespace zivuv::discovery

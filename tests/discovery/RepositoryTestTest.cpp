// The repository test against libgit2's own answer, on every layout that
// git makes and on broken ones. What it costs is told in RepositoryTest.cpp;
// counting system calls here would take stand-ins for libc functions.

#include <fcntl.h>

#include "discovery/RepositoryTest.h"
#include "fakes/TestSupport.h"
#include "platform/fd/UniqueFd.h"

namespace zivuv::discovery {
namespace {

// script makes the folder c inside a fresh working tree.
struct Layout { const char* name; const char* script; bool repository; };
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class RepositoryTestLayouts : public testing::TempConfigTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(RepositoryTestLayouts, AgreeWithLibgit2) {
  // The fresh folder is a working tree, so that a plain folder inside it
  // must not count through a parent search.
  const std::string commit = "commit() { git -C $1 -c user.name=t -c user.email=t@t commit -q --allow-empty -m x; }; ";
  ASSERT_EQ(std::system((commit + "cd '" + root_ + "' && git init -q && " + GetParam().script).c_str()), 0);
  const platform::UniqueFd parent(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const bool expected = GetParam().repository;
  std::string atReason, pathReason, gitReason;
  EXPECT_EQ(isRepositoryAt(parent.get(), "c", root_ + "/c"), expected);
  EXPECT_EQ(isRepositoryAt(parent.get(), "c", root_ + "/c", &atReason), expected);
  EXPECT_EQ(isGitRepository(root_ + "/c", &pathReason), expected);
  EXPECT_EQ(locatedByLibgit2(root_ + "/c", &gitReason), expected);
  // `why` prints libgit2's own words, however the folder was named.
  EXPECT_EQ(atReason, gitReason);
  EXPECT_EQ(pathReason, gitReason);
  EXPECT_EQ(gitReason.empty(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    , RepositoryTestLayouts,
    ::testing::Values(
        Layout{"WorkingTree", "git init -q c && commit c", true},
        Layout{"EmptyInit", "git init -q c", true},
        Layout{"Bare", "git init -q --bare c", true},
        Layout{"LinkedWorktree", "git init -q m && commit m && git -C m worktree add -q ../c", true},
        Layout{"SeparateGitDir", "git init -q --separate-git-dir g c", true},
        Layout{"SubmoduleCheckout", "git init -q s && commit s && "
                                    "git -c protocol.file.allow=always submodule add -q \"$PWD/s\" c", true},
        Layout{"GitLinkToGitFolder", "git init -q --bare g && mkdir c && ln -s ../g c/.git", true},
        Layout{"NoHead", "git init -q c && rm c/.git/HEAD", false},
        Layout{"NoObjects", "git init -q c && rm -r c/.git/objects", false},
        Layout{"NoRefs", "git init -q c && rm -r c/.git/refs", false},
        Layout{"HeadAFolder", "git init -q c && rm c/.git/HEAD && mkdir c/.git/HEAD", false},
        Layout{"ObjectsAFile", "git init -q c && rm -r c/.git/objects && touch c/.git/objects", false},
        Layout{"GitFileToNowhere", "mkdir c && echo 'gitdir: ../nowhere' > c/.git", false},
        Layout{"GitFileGarbage", "mkdir c && echo garbage > c/.git", false},
        Layout{"BareWithoutRefs", "git init -q --bare c && rm -r c/refs", false},
        Layout{"EmptyFolder", "mkdir c", false},
        Layout{"OnlyHead", "mkdir c && echo 'ref: refs/heads/main' > c/HEAD", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zivuv::discovery

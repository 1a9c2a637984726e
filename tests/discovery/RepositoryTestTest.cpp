// The repository test against libgit2's own open, the app's, on every
// layout that git makes, on broken ones, on those that libgit2 1.5 refuses
// (another format or owner, unknown extensions) and on repositories that
// git is still writing. What it costs is told in RepositoryTest.cpp;
// counting system calls here would take stand-ins for libc functions.

#include <dlfcn.h>
#include <fcntl.h>

#include "discovery/RepositoryTest.h"
#include "fakes/TestSupport.h"
#include "platform/fd/UniqueFd.h"

// libgit2 1.5.1 leaks the match data of a regular expression at each open
// of a repository of format 1 (where it checks the extensions); the
// reference open below makes such opens on purpose.
// libgit2, and with it libpcre2, is unloaded after each verdict, which would
// leave the leak's frames without a module to name: libpcre2 is kept.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpcre2-8.so\n"; }
static void* const kPcre2Kept = ::dlopen("libpcre2-8.so.0", RTLD_NOW | RTLD_NODELETE);

namespace zivuv::discovery {
namespace {

// What libgit2 makes of the folder c: not located at all, located but
// refused (for another owner, with the safe.directory hint), opened, or
// opened while git still writes it.
enum class Expect { No, Refused, Foreign, Yes, Written };

// script makes the folder c inside a fresh working tree.
struct Layout { const char* name; const char* script; Expect expect; };
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class RepositoryTestLayouts : public testing::TempConfigTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(RepositoryTestLayouts, AgreeWithLibgit2) {
  // The fresh folder is a working tree, so that a plain folder inside it
  // must not count through a parent search.
  const std::string setup = "commit() { git -C $1 -c user.name=t -c user.email=t@t commit -q --allow-empty -m x; }; "
                            "v1() { git -C c config core.repositoryformatversion 1 && git -C c config $1 $2; }; ";
  ASSERT_EQ(std::system((setup + "cd '" + root_ + "' && git init -q && " + GetParam().script).c_str()), 0);
  const platform::UniqueFd parent(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::string path = root_ + "/c";
  const Expect expect = GetParam().expect;
  const bool opens = expect == Expect::Yes || expect == Expect::Written;
  std::string gitReason;
  EXPECT_EQ(openedByLibgit2(path, &gitReason), opens);
  EXPECT_EQ(gitReason.empty(), opens);
  for (const auto& result : {testRepositoryAt(parent.get(), "c", path), testRepositoryAt(parent.get(), "c", path, true),
                             testRepository(path, true)}) {
    EXPECT_EQ(result.opens(), opens);
    EXPECT_EQ(result.outcome == RepositoryTestResult::Outcome::BeingWritten, expect == Expect::Written);
    EXPECT_EQ(result.located, expect != Expect::No);
    EXPECT_EQ(result.foreignOwner, expect == Expect::Foreign);
    EXPECT_EQ(result.inode != 0, opens);
  }
  EXPECT_EQ(locatedAt(parent.get(), "c", path), expect != Expect::No);
  // `why` prints libgit2's own words, however the folder was named.
  EXPECT_EQ(testRepositoryAt(parent.get(), "c", path, true).reason, gitReason);
  EXPECT_EQ(testRepository(path, true).reason, gitReason);
}

INSTANTIATE_TEST_SUITE_P(
    , RepositoryTestLayouts,
    ::testing::Values(
        Layout{"WorkingTree", "git init -q c && commit c", Expect::Yes},
        Layout{"EmptyInit", "git init -q c", Expect::Yes},
        Layout{"Bare", "git init -q --bare c", Expect::Yes},
        Layout{"LinkedWorktree", "git init -q m && commit m && git -C m worktree add -q ../c", Expect::Yes},
        Layout{"SeparateGitDir", "git init -q --separate-git-dir g c", Expect::Yes},
        Layout{"SubmoduleCheckout", "git init -q s && commit s && "
                                    "git -c protocol.file.allow=always submodule add -q \"$PWD/s\" c", Expect::Yes},
        Layout{"GitLinkToGitFolder", "git init -q --bare g && mkdir c && ln -s ../g c/.git", Expect::Yes},
        Layout{"NoConfig", "git init -q c && rm c/.git/config", Expect::Yes},
        Layout{"SparseCheckout", "git init -q c && commit c && git -C c sparse-checkout init", Expect::Yes},
        Layout{"NoopExtension", "git init -q c && v1 extensions.noop x", Expect::Yes},
        Layout{"CommentsAndCase", "git init -q c && printf '# x\\n[Core] ; y\\n RepositoryFormatVersion=0 #z\\n"
                                  "[remote \"o\"]\\n\\turl = x\\n' > c/.git/config", Expect::Yes},
        Layout{"Sha256", "git init -q --object-format=sha256 c", Expect::Refused},
        Layout{"FormatVersion99", "git init -q c && git -C c config core.repositoryformatversion 99", Expect::Refused},
        Layout{"UnknownExtension", "git init -q c && v1 extensions.frobnicate true", Expect::Refused},
        Layout{"WorktreeConfig", "git init -q c && v1 extensions.worktreeConfig true", Expect::Refused},
        Layout{"ObjectFormatSha1", "git init -q c && v1 extensions.objectFormat sha1", Expect::Refused},
        Layout{"IncludedFormat", "git init -q c && printf '[core]\\nrepositoryformatversion = 99\\n' > inc && "
                                 "git -C c config include.path ../../inc", Expect::Refused},
        Layout{"ConfigGarbage", "git init -q c && echo '[[[garbage' >> c/.git/config", Expect::Refused},
        Layout{"ForeignOwner", "git init -q c && chown -R nobody c", Expect::Foreign},
        Layout{"ForeignWorkingTree", "git init -q c && chown nobody c", Expect::Foreign},
        Layout{"ForeignGitFolder", "git init -q c && chown nobody c/.git", Expect::Foreign},
        Layout{"IndexLock", "git init -q c && touch c/.git/index.lock", Expect::Written},
        Layout{"HeadLock", "git init -q c && touch c/.git/HEAD.lock", Expect::Written},
        Layout{"ConfigLock", "git init -q c && touch c/.git/config.lock", Expect::Written},
        Layout{"ShallowLock", "git init -q c && touch c/.git/shallow.lock", Expect::Written},
        Layout{"PackedRefsLock", "git init -q c && touch c/.git/packed-refs.lock", Expect::Written},
        Layout{"TemporaryPack", "git init -q c && touch c/.git/objects/pack/tmp_pack_x", Expect::Written},
        Layout{"TemporaryIndex", "git init -q c && touch c/.git/objects/pack/tmp_idx_x", Expect::Written},
        Layout{"KeepWithoutPack", "git init -q c && touch c/.git/objects/pack/pack-1.keep", Expect::Written},
        Layout{"KeepWithItsPack", "git init -q c && touch c/.git/objects/pack/pack-1.keep c/.git/objects/pack/pack-1.pack",
               Expect::Yes},
        Layout{"StaleLock", "git init -q c && touch -d '-11 minutes' c/.git/index.lock c/.git/objects/pack/tmp_pack_x",
               Expect::Yes},
        Layout{"BareBeingWritten", "git init -q --bare c && touch c/packed-refs.lock", Expect::Written},
        Layout{"BareReceivingPack", "git init -q --bare c && touch c/objects/pack/tmp_pack_x", Expect::Written},
        Layout{"LinkedWorktreeReceivingPack", "git init -q m && commit m && git -C m worktree add -q ../c && "
                                              "touch m/.git/objects/pack/tmp_pack_x", Expect::Written},
        Layout{"NoHead", "git init -q c && rm c/.git/HEAD", Expect::No},
        Layout{"NoObjects", "git init -q c && rm -r c/.git/objects", Expect::No},
        Layout{"NoRefs", "git init -q c && rm -r c/.git/refs", Expect::No},
        Layout{"HeadAFolder", "git init -q c && rm c/.git/HEAD && mkdir c/.git/HEAD", Expect::No},
        Layout{"ObjectsAFile", "git init -q c && rm -r c/.git/objects && touch c/.git/objects", Expect::No},
        Layout{"GitFileToNowhere", "mkdir c && echo 'gitdir: ../nowhere' > c/.git", Expect::No},
        Layout{"GitFileGarbage", "mkdir c && echo garbage > c/.git", Expect::No},
        Layout{"BareWithoutRefs", "git init -q --bare c && rm -r c/refs", Expect::No},
        Layout{"EmptyFolder", "mkdir c", Expect::No},
        Layout{"OnlyHead", "mkdir c && echo 'ref: refs/heads/main' > c/HEAD", Expect::No}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zivuv::discovery

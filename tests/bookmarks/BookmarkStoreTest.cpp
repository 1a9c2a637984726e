// The bookmark store on real folders and settings files: the secure
// bookmark list, and the shared lists as a scan's session uses them.

#include "bookmarks/BookmarkUtils.h"
#include "fakes/TestSupport.h"

namespace zivuv {
namespace {

using platform::BookmarkKind;
using testing::printed;
using Urls = std::vector<FileURL>;

class BookmarkStoreTest : public testing::TempConfigTest {
 protected:
  FileURL folder(const std::string& name) { return FileURL::fromPath(makeFolder(name), true); }
  static Data record(const FileURL& url, BookmarkKind kind = BookmarkKind::Transport) {
    return platform::createBookmark(url.path(), kind).data.value_or(Data{});
  }
  static std::optional<std::vector<Data>> stored(const std::string& name, const char* key) {
    return platform::DefaultsStore::openDomain(name).dataArray(key);
  }
  const std::string& suite() const { return sharedSuiteName(); }
};

TEST_F(BookmarkStoreTest, SaveMovesAFolderToTheEndAndKeepsWhatFailsToResolve) {
  const FileURL gone = folder("gone"), a = folder("a"), b = folder("b");
  const Data dead = record(gone, BookmarkKind::Secure), wrongKind = record(a);
  fs::remove(gone.path());
  testing::storeList(standardDomainName(), "kSandboxKey", {dead, wrongKind});
  const std::string lines = "Failed to convert data to secure URL:no folder at " + gone.path() +
                            "\nFailed to convert data to secure URL:wrong kind\n";
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(a)); }), lines);
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(b)); }), lines);
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(a)); }), lines);
  EXPECT_EQ(stored(standardDomainName(), "kSandboxKey"),
            (std::vector<Data>{dead, wrongKind, record(b, BookmarkKind::Secure),
                               record(a, BookmarkKind::Secure)}));
  const Urls loaded = BookmarkUtils::loadSecureURLs();
  EXPECT_EQ(loaded, (Urls{b, a}));
  EXPECT_TRUE(loaded.front().hasSecurityScope());

  const FileURL missing = FileURL::fromPath(root_ + "/missing", true);
  EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::saveSecureBookmark(missing)); }),
            "Error generating bookmark data for secure fileurl:" + missing.text() + "\n");
  platform::Faults::setFailLock(standardDomainName());
  EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::saveSecureBookmark(b)); }),
            lines + "Unable to write defaults for:" + standardDomainName() + "\n");
  EXPECT_EQ(stored(standardDomainName(), "kSandboxKey")->size(), 4u);
}

TEST_F(BookmarkStoreTest, SessionLoadsAndAddsAsTheAppExpects) {
  const FileURL gone = folder("gone"), file = folder("file"), a = folder("a"), b = folder("b");
  const std::vector<Data> list{record(gone), record(a), record(file), record(b), record(a)};
  fs::remove(gone.path());
  fs::remove(file.path());
  testing::writeFile(file.path(), "");
  testing::storeList(suite(), "kSandboxKey", list);
  fs::create_directory(a.path() + ".new");  // a new inode: its renewed entry differs
  fs::remove(a.path());
  fs::rename(a.path() + ".new", a.path());
  const std::string dead = "Error resolving from transport data:no folder at " + gone.path() +
                           "\nBookmark was stale....\nError resolving from transport data:"
                           "not a folder: " + file.path() + "\n";
  const FileURL c = folder("c"), noSlash = FileURL::fromPath(b.path(), false);
  const FileURL missing = FileURL::fromPath(root_ + "/missing", true);

  SharedSuiteSession session(suite());
  std::optional<Urls> blocked, listed;
  std::vector<SharedSuiteSession::Added> added;
  // The dead entries are told of once, however many folders the session adds.
  EXPECT_EQ(printed([&] {
              blocked = session.loadURLs(BookmarkKeys::blockKey);
              listed = session.loadURLs(BookmarkKeys::sandboxKey);
              added = session.addSandboxURLs({c, a, missing, noSlash, c});
            }),
            "No previous bookmarks\n" + dead + "Error creating transport data!no folder at " +
                missing.path() + "\nFailed to generate transport data!\n");
  EXPECT_EQ(blocked, Urls{});
  EXPECT_EQ(listed, (Urls{a, b, a}));
  using Added = SharedSuiteSession::Added;
  EXPECT_EQ(added, (std::vector<Added>{Added::Written, Added::Written, Added::Failed,
                                       Added::Written, Added::Written}));
  // The first entry of a folder is renewed in place; a URL without its
  // trailing slash is another folder; the dead entries stay where they were.
  EXPECT_EQ(stored(suite(), "kSandboxKey"),
            (std::vector<Data>{list[0], record(a), list[2], list[3], list[4], record(c), record(b)}));
}

}  // namespace
}  // namespace zivuv

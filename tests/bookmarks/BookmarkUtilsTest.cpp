#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BookmarkStoreFixture.h"

namespace zivuv {
namespace {

namespace fs = std::filesystem;
using platform::BookmarkKind;
using Urls = std::vector<FileURL>;

const std::string kOwn = "com.vezudi.Zivuv.FolderMonitor";

class TransportData : public testing::BookmarkStoreTest {};
class SecureBookmarks : public testing::BookmarkStoreTest {};
class SharedList : public testing::BookmarkStoreTest {};

TEST_F(TransportData, RoundTripsSilentlyEvenWhenStale) {
  const FileURL a = folder("a");
  fs::create_directory_symlink(a.path(), root_ + "/link");
  std::optional<Data> data;
  EXPECT_EQ(printed([&] {
              data = BookmarkUtils::createTransportData(FileURL::fromPath(root_ + "/link", true));
            }),
            "");
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(*data, record(a));

  replaceFolder(a);
  std::optional<FileURL> url;
  EXPECT_EQ(printed([&] { url = BookmarkUtils::resolveTransportData(*data); }), "");
  EXPECT_EQ(url, a);
}

TEST_F(TransportData, FailuresPrintTheirLines) {
  const FileURL gone = folder("gone\nError resolving from transport data:forged");
  const FileURL file = folder("file");
  const Data goneData = record(gone), fileData = record(file);
  fs::remove(gone.path());
  fs::remove(file.path());
  testing::writeFile(file.path(), "");
  const std::string escaped = root_ + "/gone\\x0AError resolving from transport data:forged";

  const std::pair<Data, std::string> cases[] = {
      {{}, "Error resolving from transport data:truncated\n"},
      {Data(64, 'x'), "Error resolving from transport data:not bookmark data\n"},
      {record(folder("s"), BookmarkKind::Secure),
       "Error resolving from transport data:wrong kind\n"},
      {goneData, "Error resolving from transport data:no folder at " + escaped + "\n"},
      {fileData, "Bookmark was stale....\nError resolving from transport data:not a folder: " +
                     file.path() + "\n"},
  };
  for (const auto& [data, lines] : cases) {
    std::optional<FileURL> url;
    EXPECT_EQ(printed([&] { url = BookmarkUtils::resolveTransportData(data); }), lines);
    EXPECT_FALSE(url.has_value());
  }
  std::optional<Data> made;
  EXPECT_EQ(printed([&] { made = BookmarkUtils::createTransportData(gone); }),
            "Error creating transport data!no folder at " + escaped + "\n");
  EXPECT_FALSE(made.has_value());
}

TEST_F(SecureBookmarks, SaveAppendsAndMovesASavedFolderToTheEnd) {
  const FileURL a = folder("a"), b = folder("b");
  EXPECT_EQ(printed([] { EXPECT_TRUE(BookmarkUtils::loadSecureURLs().empty()); }), "");
  EXPECT_EQ(printed([&] {
              EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(a));
              EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(b));
            }),
            "");
  EXPECT_EQ(stored(kOwn, "kSandboxKey"),
            (std::vector<Data>{record(a, BookmarkKind::Secure), record(b, BookmarkKind::Secure)}));
  const Urls loaded = BookmarkUtils::loadSecureURLs();
  EXPECT_EQ(loaded, (Urls{a, b}));  // a stays the monitored folder
  for (const auto& url : loaded) EXPECT_TRUE(url.hasSecurityScope());

  replaceFolder(a);  // so that the newer bookmark differs from the older
  EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(a));
  EXPECT_EQ(stored(kOwn, "kSandboxKey"),
            (std::vector<Data>{record(b, BookmarkKind::Secure), record(a, BookmarkKind::Secure)}));

  EXPECT_TRUE(BookmarkUtils::resetSecureBookmarks());
  EXPECT_EQ(stored(kOwn, "kSandboxKey"), std::vector<Data>{});
  EXPECT_TRUE(BookmarkUtils::loadSecureURLs().empty());
}

TEST_F(SecureBookmarks, OtherShapesReadAsEmptyAndAreReplaced) {
  const FileURL a = folder("a");
  const Data d = record(a, BookmarkKind::Secure);
  plist_t mixed = plist_new_array();
  plist_array_append_item(mixed, plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
  plist_array_append_item(mixed, plist_new_string("x"));
  for (plist_t shape : {plist_new_string("x"), plist_new_uint(3),
                        plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()), mixed}) {
    store(kOwn, "kSandboxKey", shape);
    const std::string before = testing::readFile(settingsFile(kOwn));
    EXPECT_EQ(printed([] { EXPECT_TRUE(BookmarkUtils::loadSecureURLs().empty()); }), "");
    EXPECT_EQ(printed([] { BookmarkUtils::removeSecureBookmark(0); }),
              "unable to remove shared path, no bookmarks saved...\n");
    EXPECT_EQ(testing::readFile(settingsFile(kOwn)), before);
    EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(a)); }), "");
    EXPECT_EQ(stored(kOwn, "kSandboxKey"), std::vector<Data>{d});
  }
  fs::remove(settingsFile(kOwn));
  EXPECT_EQ(printed([] { BookmarkUtils::removeSecureBookmark(0); }),
            "unable to remove shared path, no bookmarks saved...\n");
  EXPECT_FALSE(fs::exists(settingsFile(kOwn)));
}

TEST_F(SecureBookmarks, EntriesThatFailStayInPlace) {
  const FileURL gone = folder("gone"), b = folder("b"), c = folder("c"), gone2 = folder("gone2");
  const Data deadData = record(gone, BookmarkKind::Secure),
             dead2 = record(gone2, BookmarkKind::Secure);
  const Data transport = record(c);  // the wrong kind here
  fs::remove(gone.path());
  fs::remove(gone2.path());
  storeList(kOwn, "kSandboxKey", {deadData, transport, record(b, BookmarkKind::Secure), dead2});
  const std::string lines = "Failed to convert data to secure URL:no folder at " + gone.path() +
                            "\nFailed to convert data to secure URL:wrong kind\n";
  const std::string line2 =
      "Failed to convert data to secure URL:no folder at " + gone2.path() + "\n";

  Urls loaded;
  EXPECT_EQ(printed([&] { loaded = BookmarkUtils::loadSecureURLs(); }), lines + line2);
  EXPECT_EQ(loaded, Urls{b});  // the first that resolves is the monitored folder

  // Entries behind the saved folder are still resolved, and still print.
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(b)); }), lines + line2);
  EXPECT_EQ(stored(kOwn, "kSandboxKey"),
            (std::vector<Data>{deadData, transport, dead2, record(b, BookmarkKind::Secure)}));
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::saveSecureBookmark(c)); }), lines + line2);
  EXPECT_EQ(stored(kOwn, "kSandboxKey")->size(), 5u);
}

TEST_F(SecureBookmarks, SaveFailuresWriteNothing) {
  const FileURL a = folder("a"), b = folder("b");
  const FileURL missing = FileURL::fromPath(root_ + "/missing", true);
  EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::saveSecureBookmark(missing)); }),
            "Error generating bookmark data for secure fileurl:" + missing.text() + "\n");
  EXPECT_FALSE(fs::exists(settingsFile(kOwn)));

  ASSERT_TRUE(BookmarkUtils::saveSecureBookmark(a));
  const std::string before = testing::readFile(settingsFile(kOwn));
  for (const auto inject : {&platform::Faults::setFailWrite, &platform::Faults::setFailLock}) {
    inject(kOwn);
    EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::saveSecureBookmark(b)); }),
              "Unable to write defaults for:" + kOwn + "\n");
    inject({});
  }
  EXPECT_EQ(testing::readFile(settingsFile(kOwn)), before);
}

TEST_F(SharedList, AbsentValueEmptyListAndOtherShapes) {
  const FileURL a = folder("a");
  std::optional<Urls> urls;
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadSandboxURLs(suite()); }),
            "No previous bookmarks\n");
  EXPECT_EQ(urls, Urls{});

  storeList(suite(), "kSandboxKey", {});
  store(suite(), "kBlockedKey", plist_new_string("x"));
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadSandboxURLs(suite()); }), "");
  EXPECT_EQ(urls, Urls{});
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadBlockedURLs(suite()); }),
            "No previous bookmarks\n");
  EXPECT_EQ(urls, Urls{});

  plist_t mixed = plist_new_array();
  plist_array_append_item(mixed, plist_new_data("\1", 1));
  plist_array_append_item(mixed, plist_new_string("x"));
  store(suite(), "kSandboxKey", mixed);
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadSandboxURLs(suite()); }),
            "No previous bookmarks\n");
  EXPECT_EQ(urls, Urls{});
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::addSandboxURL(a, suite())); }), "");
  EXPECT_EQ(stored(suite(), "kSandboxKey"), std::vector<Data>{record(a)});
  // The blocked list is the app's: left exactly as it was.
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadBlockedURLs(suite()); }),
            "No previous bookmarks\n");
}

TEST_F(SharedList, SuiteThatCannotBeOpenedIsAbsentNotEmpty) {
  const FileURL a = folder("a");
  testing::writeFile(settingsFile(suite()), "written by a newer app");
  for (const std::string& name : {suite(), std::string(".."), std::string("a/b"), kOwn}) {
    SCOPED_TRACE(name);
    std::optional<Urls> urls{Urls{}};
    EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadBlockedURLs(name); }),
              "unable to load defaults for:" + name + "\n");
    EXPECT_FALSE(urls.has_value());
    EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::addSandboxURL(a, name)); }),
              "Unable to create user defaults with suite name:" + name + "\n");
  }
  EXPECT_EQ(testing::readFile(settingsFile(suite())), "written by a newer app");
  EXPECT_FALSE(fs::exists(settingsFile(kOwn)));
}

TEST_F(SharedList, UnresolvableAndStaleEntriesAreKept) {
  const FileURL gone = folder("gone"), b = folder("b"), file = folder("file"), c = folder("c");
  const std::vector<Data> list{record(gone), record(b), record(file), record(c)};
  fs::remove(gone.path());
  fs::remove(file.path());
  testing::writeFile(file.path(), "");
  replaceFolder(c);
  storeList(suite(), "kSandboxKey", list);
  const std::string lines =
      "Error resolving from transport data:no folder at " + gone.path() +
      "\nBookmark was stale....\nError resolving from transport data:not a folder: " + file.path() +
      "\n";

  std::optional<Urls> urls;
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadSandboxURLs(suite()); }), lines);
  EXPECT_EQ(urls, (Urls{b, c}));

  // Only the entry of the folder added is renewed, in place.
  EXPECT_EQ(printed([&] { EXPECT_TRUE(BookmarkUtils::addSandboxURL(c, suite())); }), lines);
  EXPECT_EQ(stored(suite(), "kSandboxKey"),
            (std::vector<Data>{list[0], list[1], list[2], record(c)}));
  EXPECT_NE(list[3], record(c));
}

TEST_F(SharedList, AddAppendsNewFoldersAndReplacesTheFirstMatchInPlace) {
  const FileURL a = folder("a"), b = folder("b"), d = folder("d");
  const Data oldA = record(a);
  storeList(suite(), "kSandboxKey", {oldA, record(b), oldA});
  std::optional<Urls> urls;
  EXPECT_EQ(printed([&] { urls = BookmarkUtils::loadSandboxURLs(suite()); }), "");
  EXPECT_EQ(urls, (Urls{a, b, a}));

  replaceFolder(a);
  ASSERT_TRUE(BookmarkUtils::addSandboxURL(a, suite()));
  ASSERT_TRUE(BookmarkUtils::addSandboxURL(d, suite()));
  // Without its trailing slash the URL is another folder: appended.
  ASSERT_TRUE(BookmarkUtils::addSandboxURL(FileURL::fromPath(b.path(), false), suite()));
  EXPECT_EQ(stored(suite(), "kSandboxKey"),
            (std::vector<Data>{record(a), record(b), oldA, record(d), record(b)}));
}

TEST_F(SharedList, FailedAddsLeaveTheFileAsItWas) {
  const FileURL a = folder("a"), b = folder("b");
  const FileURL missing = FileURL::fromPath(root_ + "/missing", true);
  const std::string twoLines = "Error creating transport data!no folder at " + missing.path() +
                               "\nFailed to generate transport data!\n";
  EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::addSandboxURL(missing, suite())); }),
            twoLines);
  EXPECT_FALSE(fs::exists(settingsFile(suite())));

  ASSERT_TRUE(BookmarkUtils::addSandboxURL(a, suite()));
  const std::string before = testing::readFile(settingsFile(suite()));
  EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::addSandboxURL(missing, suite())); }),
            twoLines);
  for (const auto inject : {&platform::Faults::setFailWrite, &platform::Faults::setFailLock}) {
    inject(suite());
    EXPECT_EQ(printed([&] { EXPECT_FALSE(BookmarkUtils::addSandboxURL(b, suite())); }),
              "Unable to write defaults for:" + suite() + "\n");
    inject({});
  }
  EXPECT_EQ(testing::readFile(settingsFile(suite())), before);
}

}  // namespace
}  // namespace zivuv

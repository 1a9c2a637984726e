// The settings files: what is read, what a write replaces, and the files
// that must never be replaced.

#include <set>

#include "fakes/TestSupport.h"
#include "platform/defaults/DefaultsStore.h"

namespace zivuv::platform {
namespace {

using testing::printed;
using testing::readFile;
using testing::writeFile;

const std::string kOwn = "own.domain";
const std::string kSuite = "TEAM.com.example";

std::string xmlPlist(const std::string& body) {
  return "\xEF\xBB\xBF<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}

class DefaultsStoreTest : public testing::TempConfigTest {
 protected:
  // Writes under the store's lock; what it printed.
  static std::string write(DefaultsStore& store, bool expected) {
    return printed([&] {
      const auto lock = DefaultsLock::acquire(store.name());
      EXPECT_EQ(lock && store.write(*lock), expected);
    });
  }
};

TEST_F(DefaultsStoreTest, UnreadableSuiteCannotBeOpenedAndIsNeverReplaced) {
  const std::string file = settingsFile(kSuite);
  for (const std::string& bytes : {std::string("garbage"), xmlPlist("<array/>"),
                                   std::string("bplist00\xFF\xFF"), std::string(100, '\0')}) {
    writeFile(file, bytes);
    EXPECT_FALSE(DefaultsStore::openSuite(kSuite)) << bytes;
    EXPECT_EQ(readFile(file), bytes);
  }
  // "AQI=" is the two bytes 01 02. An array with anything but data in it
  // reads as no list at all.
  writeFile(file, xmlPlist("<dict><key>a</key><array><data>AQI=</data></array><key>b</key><array><data>AQI="
                           "</data><string>s</string></array></dict>"));
  EXPECT_EQ(DefaultsStore::openSuite(kSuite)->dataArray("a"), (std::vector<Data>{{1, 2}}));
  EXPECT_EQ(DefaultsStore::openSuite(kSuite)->dataArray("b"), std::nullopt);
  // Something that is no file in its place: the own domain reads empty and
  // never writes.
  fs::create_directories(settingsFile(kOwn));
  auto own = DefaultsStore::openDomain(kOwn);
  own.setDataArray("kSandboxKey", {{1}});
  EXPECT_EQ(write(own, false), "Unable to write defaults for:" + kOwn + "\n");
}

// A file of exactly the size limit is read; one byte more is not parsed at
// all. Blank space after the dictionary pads a valid property list.
TEST_F(DefaultsStoreTest, FileOfTheSizeLimitIsReadAndOneByteMoreIsNot) {
  for (const std::size_t size : {kMaxSettingsFileSize, kMaxSettingsFileSize + 1}) {
    const std::string bytes = xmlPlist("<dict/>" + std::string(size - xmlPlist("<dict/>").size(), ' '));
    writeFile(settingsFile(kSuite), bytes);
    EXPECT_EQ(DefaultsStore::openSuite(kSuite).has_value(), size == kMaxSettingsFileSize);
    EXPECT_EQ(parseSettings({reinterpret_cast<const std::uint8_t*>(bytes.data()), size}) != nullptr, size == kMaxSettingsFileSize);
  }
}

TEST_F(DefaultsStoreTest, FailedWriteChangesNothingAndNoFileIsWrittenThatWouldNotReadBack) {
  // A key that libplist reads but cannot write back.
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "k@y", plist_new_array());
  const auto bytes = serialiseSettings(root.get());
  std::string odd(bytes->begin(), bytes->end());
  // Each failure is told to the reporter once, with its reason.
  std::vector<std::string> reported;
  setWriteFailureReporter([&](const WriteFailure& failure) {
    EXPECT_EQ(failure.name + " " + failure.file, kSuite + " " + settingsFile(kSuite));
    reported.push_back(failure.reason);
  });
  for (const bool fault : {true, false}) {
    writeFile(settingsFile(kSuite), fault ? std::string(odd) : odd.replace(odd.find("k@y"), 3, "k\xC2y"));
    auto store = DefaultsStore::openSuite(kSuite);
    ASSERT_TRUE(store);
    store->setDataArray("kSandboxKey", {{1}});
    Faults::setFailWrite(fault ? kSuite : "");
    EXPECT_EQ(write(*store, false), "Unable to write defaults for:" + kSuite + "\n");
    EXPECT_EQ(readFile(settingsFile(kSuite)), odd);
    EXPECT_EQ(store->writeError(), reported.back());
  }
  // A folder put in the file's place after the read: the rename fails once
  // the temporary file is written.
  writeFile(settingsFile(kSuite), xmlPlist("<dict/>"));
  auto store = DefaultsStore::openSuite(kSuite);
  ASSERT_TRUE(store && fs::remove(settingsFile(kSuite)) && fs::create_directory(settingsFile(kSuite)));
  EXPECT_EQ(write(*store, false), "Unable to write defaults for:" + kSuite + "\n");
  setWriteFailureReporter({});
  EXPECT_EQ(reported,
            (std::vector<std::string>{
                "a write failure made on purpose (ZIVUV_FAULTS)",
                "the settings cannot be written as a property list that reads back the same",
                "Is a directory"}));
  // Nothing is left behind, under any name.
  const std::set<fs::path> files(fs::directory_iterator(settingsFolder()), {});
  EXPECT_EQ(files, (std::set<fs::path>{settingsFile(kSuite), settingsFile(kSuite) + ".lock"}));
}

// A writer killed between its temporary file and the rename leaves the
// file behind; the next writer of the store, holding the lock, removes it,
// and nothing of another store or of another form.
TEST_F(DefaultsStoreTest, WriteRemovesTheStaleTemporaryFilesOfItsStoreAlone) {
  const std::string file = settingsFile(kSuite);
  const std::string stale = file + ".tmp-Ab12Cd";
  const std::string kept[] = {settingsFile(kOwn) + ".tmp-Ab12Cd", file + ".tmp-Ab12Cde",
                              file + ".tmp-Ab12C"};
  for (const auto& path : kept) writeFile(path, "x");
  writeFile(stale, "x");
  auto store = DefaultsStore::openSuite(kSuite);
  store->setDataArray("kSandboxKey", {{1}});
  EXPECT_EQ(write(*store, true), "");
  EXPECT_FALSE(fs::exists(stale));
  for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
}

}  // namespace
}  // namespace zivuv::platform

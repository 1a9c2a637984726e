// The settings files: what is read, what a write replaces, and the files
// that must never be replaced.

#include <unistd.h>

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

TEST_F(DefaultsStoreTest, ReadsXmlWritesBinaryAndKeepsTheOtherKeys) {
  // "AQI=" is the two bytes 01 02, "/w==" the byte FF.
  writeFile(settingsFile(kSuite),
            xmlPlist("<dict><key>kSandboxKey</key><array><data>AQI=</data><data>/w==</data>"
                     "</array><key>kBlockedKey</key><array><data>AQI=</data><string>s</string>"
                     "</array><key>Frame</key><integer>12</integer></dict>"));
  auto store = DefaultsStore::openSuite(kSuite);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->dataArray("kSandboxKey"), (std::vector<Data>{{1, 2}, {0xFF}}));
  EXPECT_EQ(store->dataArray("kBlockedKey"), std::nullopt);  // not every element is data
  store->setDataArray("kSandboxKey", {{}, {7}});
  EXPECT_EQ(write(*store, true), "");
  EXPECT_EQ(readFile(settingsFile(kSuite)).substr(0, 8), "bplist00");
  const auto reread = DefaultsStore::openSuite(kSuite);
  EXPECT_EQ(reread->dataArray("kSandboxKey"), (std::vector<Data>{{}, {7}}));
  EXPECT_EQ(reread->dataArray("kBlockedKey"), std::nullopt);
  const PlistPtr root = parseSettings(
      {reinterpret_cast<const std::uint8_t*>(readFile(settingsFile(kSuite)).data()),
       readFile(settingsFile(kSuite)).size()});
  ASSERT_TRUE(root);
  EXPECT_EQ(plist_dict_get_size(root.get()), 3u);
}

TEST_F(DefaultsStoreTest, CorruptOwnDomainIsKeptAsideBeforeTheFirstWrite) {
  const std::string file = settingsFile(kOwn);
  for (const std::string& bytes : {std::string("garbage"), xmlPlist("<array/>")}) {
    writeFile(file, bytes);
    auto store = DefaultsStore::openDomain(kOwn);
    EXPECT_EQ(store.dataArray("kSandboxKey"), std::nullopt);
    EXPECT_EQ(readFile(file), bytes);  // reading alone leaves it
    store.setDataArray("kSandboxKey", {{1}});
    const std::string line = write(store, true);
    const std::string prefix = "Kept unreadable settings file aside as:" + file + ".corrupt-";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    EXPECT_EQ(readFile(line.substr(line.find(':') + 1, line.size() - line.find(':') - 2)), bytes);
    EXPECT_EQ(DefaultsStore::openDomain(kOwn).dataArray("kSandboxKey"), (std::vector<Data>{{1}}));
  }
}

TEST_F(DefaultsStoreTest, UnreadableSuiteCannotBeOpenedAndIsNeverReplaced) {
  const std::string file = settingsFile(kSuite);
  for (const std::string& bytes : {std::string("garbage"), xmlPlist("<array/>"),
                                   std::string("bplist00\xFF\xFF"), std::string(100, '\0')}) {
    writeFile(file, bytes);
    EXPECT_FALSE(DefaultsStore::openSuite(kSuite)) << bytes;
    EXPECT_EQ(readFile(file), bytes);
  }
  ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(kMaxSettingsFileSize) + 1), 0);
  EXPECT_FALSE(DefaultsStore::openSuite(kSuite));
  for (const char* name : {"", ".", "..", "a/b"}) {
    EXPECT_FALSE(DefaultsStore::openSuite(name)) << name;
    EXPECT_FALSE(DefaultsLock::acquire(name)) << name;
  }
  // Something that is no file in its place: the own domain reads empty, and
  // never writes.
  fs::create_directories(settingsFile(kOwn));
  auto own = DefaultsStore::openDomain(kOwn);
  own.setDataArray("kSandboxKey", {{1}});
  EXPECT_EQ(write(own, false), "Unable to write defaults for:" + kOwn + "\n");
  EXPECT_TRUE(fs::is_directory(settingsFile(kOwn)));
}

TEST_F(DefaultsStoreTest, FailedWriteReportsAndChangesNothing) {
  writeFile(settingsFile(kSuite), xmlPlist("<dict/>"));
  auto store = DefaultsStore::openSuite(kSuite);
  store->setDataArray("kSandboxKey", {{9}});
  Faults::setFailWrite(kSuite);
  EXPECT_EQ(write(*store, false), "Unable to write defaults for:" + kSuite + "\n");
  EXPECT_EQ(readFile(settingsFile(kSuite)), xmlPlist("<dict/>"));
  Faults::setFailWrite({});

  // A key that libplist reads but cannot write back: never written.
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "k@y", plist_new_array());
  const auto bytes = serialiseSettings(root.get());
  std::string odd(bytes->begin(), bytes->end());
  odd.replace(odd.find("k@y"), 3, "k\xC2y");
  writeFile(settingsFile(kSuite), odd);
  store = DefaultsStore::openSuite(kSuite);
  ASSERT_TRUE(store);
  store->setDataArray("kSandboxKey", {{1}});
  EXPECT_EQ(write(*store, false), "Unable to write defaults for:" + kSuite + "\n");
  EXPECT_EQ(readFile(settingsFile(kSuite)), odd);
  for (const auto& entry : fs::directory_iterator(fs::path(settingsFile(kSuite)).parent_path())) {
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << "left behind";
  }
}

}  // namespace
}  // namespace zivuv::platform

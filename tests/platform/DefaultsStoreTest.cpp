#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "fakes/TempConfig.h"
#include "platform/defaults/DefaultsStore.h"

namespace zivuv::platform {
namespace {

namespace fs = std::filesystem;
using zivuv::testing::readFile;
using zivuv::testing::writeFile;

const std::string kOwn = "com.vezudi.Zivuv.FolderMonitor";
const std::string kSuite = "TEAM.com.example";

std::string xmlPlist(const std::string& body) {
  return "\xEF\xBB\xBF\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" +
         body + "</plist>\n";
}

// "AQI=" is the two bytes 01 02, "/w==" the byte FF.
const std::string kAppSettings = xmlPlist(
    "<dict><key>kSandboxKey</key><array><data>AQI=</data><data>/w==</data></array>"
    "<key>kBlockedKey</key><string>not a list</string>"
    "<key>Frame</key><dict><key>x</key><integer>12</integer><key>on</key><true/></dict>"
    "<key>Mixed</key><array><data>AQI=</data><string>s</string></array></dict>");

PlistPtr parse(const std::string& bytes) {
  return parseSettings({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::string toXml(plist_t node) {
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string text(xml == nullptr ? "" : xml, length);
  plist_to_xml_free(xml);
  return text;
}

class DefaultsStoreTest : public zivuv::testing::TempConfigTest {
 protected:
  // Writes under the store's lock; what it printed.
  static std::string write(DefaultsStore& store, bool expected) {
    const auto lock = DefaultsLock::acquire(store.name());
    EXPECT_TRUE(lock.has_value());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(lock && store.write(*lock), expected);
    return ::testing::internal::GetCapturedStdout();
  }

  // Temporary files left in the settings folder.
  std::string leftovers() const {
    std::string names;
    for (const auto& entry : fs::directory_iterator(root_ + "/config/Zivuv")) {
      if (entry.path().string().find(".tmp") != std::string::npos) names += entry.path().string();
    }
    return names;
  }
};

TEST(ParseSettings, AcceptsOnlyADictionaryRoot) {
  EXPECT_TRUE(parse(xmlPlist("<dict/>")));
  for (const std::string& bad :
       {xmlPlist("<array/>"), xmlPlist("<string>x</string>"), xmlPlist("<dict><key>a</key>"),
        std::string(), std::string("bplist00"), std::string("not a property list"),
        std::string(100, '\0')}) {
    EXPECT_FALSE(parse(bad)) << bad;
  }
}

TEST_F(DefaultsStoreTest, ReadsXmlWritesBinaryAndKeepsTheOtherKeys) {
  writeFile(settingsFile(kSuite), kAppSettings);
  auto store = DefaultsStore::openSuite(kSuite);
  ASSERT_TRUE(store.has_value());
  EXPECT_EQ(store->dataArray("kSandboxKey"), (std::vector<Data>{{1, 2}, {0xFF}}));
  for (const char* other : {"kBlockedKey", "Mixed", "Frame", "absent"}) {
    EXPECT_EQ(store->dataArray(other), std::nullopt) << other;
  }

  store->setDataArray("kSandboxKey", {{}, {7}});
  EXPECT_EQ(write(*store, true), "");
  EXPECT_EQ(readFile(settingsFile(kSuite)).substr(0, 8), "bplist00");
  EXPECT_EQ(leftovers(), "");
  const PlistPtr written = parse(readFile(settingsFile(kSuite))), original = parse(kAppSettings);
  ASSERT_TRUE(written && original);
  EXPECT_EQ(plist_dict_get_size(written.get()), 4u);
  for (const char* key : {"kBlockedKey", "Frame", "Mixed"}) {
    EXPECT_EQ(toXml(plist_dict_get_item(written.get(), key)),
              toXml(plist_dict_get_item(original.get(), key)));
  }
  EXPECT_EQ(DefaultsStore::openSuite(kSuite)->dataArray("kSandboxKey"),
            (std::vector<Data>{{}, {7}}));
}

TEST_F(DefaultsStoreTest, CorruptOwnDomainIsKeptAsideBeforeTheFirstWrite) {
  const std::string file = settingsFile(kOwn);
  const std::string line = "Kept unreadable settings file aside as:" + file + ".corrupt-";
  writeFile(file, "garbage");
  auto store = DefaultsStore::openDomain(kOwn);
  EXPECT_EQ(store.dataArray("kSandboxKey"), std::nullopt);
  EXPECT_EQ(readFile(file), "garbage");  // reading alone leaves it
  store.setDataArray("kSandboxKey", {{1}});
  std::time_t start = std::time(nullptr);
  std::string out = write(store, true);
  ASSERT_EQ(out.rfind(line, 0), 0u) << out;
  std::time_t when = std::stoll(out.substr(line.size()));
  EXPECT_TRUE(when >= start && when <= std::time(nullptr)) << out;
  EXPECT_EQ(out, line + std::to_string(when) + "\n");
  EXPECT_EQ(readFile(file + ".corrupt-" + std::to_string(when)), "garbage");
  EXPECT_EQ(DefaultsStore::openDomain(kOwn).dataArray("kSandboxKey"), (std::vector<Data>{{1}}));

  // Every plain name that the next seconds can give is taken: "-2".
  writeFile(file, xmlPlist("<array/>"));
  store = DefaultsStore::openDomain(kOwn);
  start = std::time(nullptr);
  for (std::time_t t = start; t < start + 30; ++t)
    writeFile(file + ".corrupt-" + std::to_string(t), "taken");
  out = write(store, true);
  ASSERT_EQ(out.rfind(line, 0), 0u) << out;
  when = std::stoll(out.substr(line.size()));
  EXPECT_EQ(out, line + std::to_string(when) + "-2\n");
  EXPECT_EQ(readFile(file + ".corrupt-" + std::to_string(when) + "-2"), xmlPlist("<array/>"));
  EXPECT_EQ(readFile(file + ".corrupt-" + std::to_string(when)), "taken");
}

TEST_F(DefaultsStoreTest, UnreadableSharedSuiteCannotBeOpenedAndIsNeverReplaced) {
  const std::string file = settingsFile(kSuite);
  for (const std::string& bytes :
       {std::string("garbage"), xmlPlist("<array><data>AQI=</data></array>"),
        std::string("bplist00\xFF\xFF")}) {
    writeFile(file, bytes);
    EXPECT_FALSE(DefaultsStore::openSuite(kSuite).has_value());
    EXPECT_EQ(readFile(file), bytes);
  }
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(DefaultsStore::openSuite(kSuite).has_value());

  // The own domain reads a folder in its place as empty, and never writes.
  fs::create_directories(settingsFile(kOwn));
  auto own = DefaultsStore::openDomain(kOwn);
  EXPECT_EQ(own.dataArray("kSandboxKey"), std::nullopt);
  own.setDataArray("kSandboxKey", {{1}});
  EXPECT_EQ(write(own, false), "Unable to write defaults for:" + kOwn + "\n");
  EXPECT_TRUE(fs::is_directory(settingsFile(kOwn)));
}

TEST_F(DefaultsStoreTest, FileOverTheSizeLimitIsCorrupt) {
  for (const std::string& name : {kSuite, kOwn}) {
    writeFile(settingsFile(name), xmlPlist("<dict/>"));
    ASSERT_EQ(::truncate(settingsFile(name).c_str(), static_cast<off_t>(kMaxSettingsFileSize) + 1),
              0);
  }
  EXPECT_FALSE(DefaultsStore::openSuite(kSuite).has_value());
  auto own = DefaultsStore::openDomain(kOwn);
  const std::string out = write(own, true);
  EXPECT_EQ(out.rfind("Kept unreadable settings file aside as:", 0), 0u) << out;
}

TEST_F(DefaultsStoreTest, InvalidSuiteNamesCannotBeOpened) {
  for (const std::string& name : {std::string(), std::string("."), std::string(".."),
                                  std::string("a/b"), std::string("../x"), kOwn}) {
    EXPECT_FALSE(DefaultsStore::openSuite(name).has_value()) << name;
  }
  EXPECT_FALSE(fs::exists(root_ + "/config/a"));
  EXPECT_FALSE(fs::exists(root_ + "/config/x.plist"));
  EXPECT_FALSE(DefaultsLock::acquire("a/b").has_value());

  // A settings folder that cannot be made: a file where it belongs.
  writeFile(root_ + "/config/Zivuv", "");
  EXPECT_FALSE(DefaultsStore::openSuite(kSuite).has_value());
  EXPECT_FALSE(DefaultsLock::acquire(kSuite).has_value());
}

TEST_F(DefaultsStoreTest, FailedWriteReportsAndChangesNothing) {
  writeFile(settingsFile(kSuite), kAppSettings);
  auto store = DefaultsStore::openSuite(kSuite);
  ASSERT_TRUE(store.has_value());
  store->setDataArray("kSandboxKey", {{9}});
  Faults::setFailWrite(kSuite);
  EXPECT_EQ(write(*store, false), "Unable to write defaults for:" + kSuite + "\n");
  EXPECT_EQ(readFile(settingsFile(kSuite)), kAppSettings);
  EXPECT_EQ(leftovers(), "");

  Faults::setFailWrite({});
  EXPECT_EQ(write(*store, true), "");
  EXPECT_EQ(DefaultsStore::openSuite(kSuite)->dataArray("kSandboxKey"), (std::vector<Data>{{9}}));
}

TEST_F(DefaultsStoreTest, NeverWritesAFileThatWouldNotReadBack) {
  // A one-byte key that is not UTF-8 reads, but libplist cannot write it back.
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "k@y", plist_new_array());
  const auto bytes = serialiseSettings(root.get());
  ASSERT_TRUE(bytes.has_value());
  std::string file(bytes->begin(), bytes->end());
  file.replace(file.find("k@y"), 3, "k\xC2y");
  writeFile(settingsFile(kSuite), file);

  auto store = DefaultsStore::openSuite(kSuite);
  ASSERT_TRUE(store.has_value());
  store->setDataArray("kSandboxKey", {{1}});
  EXPECT_EQ(write(*store, false), "Unable to write defaults for:" + kSuite + "\n");
  EXPECT_EQ(readFile(settingsFile(kSuite)), file);
}

}  // namespace
}  // namespace zivuv::platform

#pragma once

// What the unit tests share: a fresh folder with its own settings per test,
// and small file helpers.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/defaults/DefaultsStore.h"
#include "platform/faults/Faults.h"

namespace zivuv {
namespace fs = std::filesystem;
}

namespace zivuv::testing {

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// git init without a template; true on success.
inline bool gitInit(const std::string& path, bool bare = false) {
  const std::string command =
      "git init -q --template= " + std::string(bare ? "--bare " : "") + "'" + path + "'";
  return std::system(command.c_str()) == 0;
}

// How many times line (and its line feed) stands in text.
inline std::size_t countLines(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (auto at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) ++n;
  return n;
}

// Writes list under key in the settings file of name, as the app would.
inline void storeList(const std::string& name, const char* key, const std::vector<platform::Data>& list) {
  const auto lock = platform::DefaultsLock::acquire(name);
  auto store = platform::DefaultsStore::openDomain(name);
  store.setDataArray(key, list);
  ASSERT_TRUE(lock && store.write(*lock));
}

// What call printed on standard output.
inline std::string printed(const std::function<void()>& call) {
  ::testing::internal::CaptureStdout();
  call();
  return ::testing::internal::GetCapturedStdout();
}

// A fresh folder per test (root_, a real path) with XDG_CONFIG_HOME inside
// it; every injected fault is lifted again at the end.
class TempConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zivuv-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = fs::canonical(pattern).string();
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
  }
  void TearDown() override {
    platform::Faults::setFailWrite({});
    platform::Faults::setFailLock({});
    platform::Faults::setRefuseAccess({});
    platform::Faults::setRefuseWatch({});
    fs::remove_all(root_);
  }

  std::string makeFolder(const std::string& name) {
    fs::create_directories(root_ + "/" + name);
    return root_ + "/" + name;
  }
  static std::string settingsFile(const std::string& name) {
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Zivuv/" + name + ".plist";
  }

  std::string root_;
};

}  // namespace zivuv::testing

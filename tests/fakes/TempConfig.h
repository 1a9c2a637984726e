#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/faults/Faults.h"
#include "support/TempDir.h"

namespace zivuv::testing {

// Replaces the folder at path by a new one (a new inode: both exist for a
// moment, so the new one cannot get the old number).
inline void replaceFolder(const std::string& path) {
  std::filesystem::create_directory(path + ".new");
  std::filesystem::remove_all(path);
  std::filesystem::rename(path + ".new", path);
}

// A fresh temporary folder per test (root_, its real path), with
// XDG_CONFIG_HOME pointing into it; every injected fault is lifted again at
// the end.
class TempConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    root_ = std::filesystem::canonical(dir_.path()).string();
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
  }

  void TearDown() override {
    platform::Faults::setFailWrite({});
    platform::Faults::setFailLock({});
    platform::Faults::setRefuseAccess({});
  }

  // A folder under the test's folder; its path.
  std::string makeFolder(const std::string& name) {
    std::filesystem::create_directories(root_ + "/" + name);
    return root_ + "/" + name;
  }

  // The settings file of a domain or suite, under the current XDG_CONFIG_HOME.
  static std::string settingsFile(const std::string& name) {
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Zivuv/" + name + ".plist";
  }

  TempDir dir_;
  std::string root_;
};

}  // namespace zivuv::testing

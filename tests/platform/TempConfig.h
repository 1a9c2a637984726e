#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/faults/Faults.h"

namespace zivuv::testing {

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The whole file, or "<absent>".
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<absent>";
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh temporary folder per test, with XDG_CONFIG_HOME pointing into it;
// removed again, with every injected fault, when the test ends.
class TempConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "zivuv-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
  }

  void TearDown() override {
    platform::Faults::setFailWrite({});
    platform::Faults::setFailLock({});
    platform::Faults::setRefuseAccess({});
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // A folder made under the test's temporary folder; its absolute path.
  std::string makeFolder(const std::string& name) {
    const std::string path = root_ + "/" + name;
    std::filesystem::create_directories(path);
    return path;
  }

  std::string settingsFile(const std::string& name) const {
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Zivuv/" + name + ".plist";
  }

  std::string root_;
};

}  // namespace zivuv::testing

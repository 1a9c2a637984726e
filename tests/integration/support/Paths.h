#pragma once

#include <filesystem>
#include <string>

namespace zivuv::testing {

// Folder of the built executables: $ZIVUV_BIN_DIR when set in the
// environment, else the build tree's folder compiled in as ZIVUV_BIN_DIR.
std::filesystem::path buildDir();

// `buildDir() / name`, e.g. binaryPath("zivuv-folder-monitor").
std::filesystem::path binaryPath(const std::string& name);

}  // namespace zivuv::testing

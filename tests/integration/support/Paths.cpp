#include "support/Paths.h"

#include <cstdlib>

#ifndef ZIVUV_BIN_DIR
#error "ZIVUV_BIN_DIR must name the folder of the built executables"
#endif

namespace zivuv::testing {

std::filesystem::path buildDir() {
  if (const char* dir = std::getenv("ZIVUV_BIN_DIR"); dir && *dir) return dir;
  return ZIVUV_BIN_DIR;
}

std::filesystem::path binaryPath(const std::string& name) { return buildDir() / name; }

}  // namespace zivuv::testing

#include "support/TempDir.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace zivuv::testing {
namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

bool writeFile(const fs::path& path, const std::string& contents, fs::perms mode) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  fs::permissions(path, mode, fs::perm_options::replace, ec);
  return !ec && fs::file_size(path, ec) == contents.size() && !ec;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

}  // namespace zivuv::testing

#include "support/TempDir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace zivuv::testing {
namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  // Unix socket paths are limited to 108 bytes and a private bus listens in
  // one of these directories, so a very long $TMPDIR is not used.
  std::string base = "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp && std::string(tmp).size() < 60) {
    base = tmp;
  }
  std::string pattern = base + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TempDir::~TempDir() { remove(); }

void TempDir::remove() {
  if (path_.empty()) return;
  (void)removeTree(path_);
  path_.clear();
}

bool removeTree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec) return true;
  // Give every directory back its owner bits, then try again.
  ec.clear();
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  ec.clear();
  fs::remove_all(path, ec);
  return !ec;
}

bool writeFile(const fs::path& path, const std::string& contents, fs::perms mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << contents;
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  fs::permissions(path, mode, fs::perm_options::replace, ec);
  return !ec;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

}  // namespace zivuv::testing

#include "platform/scope/SecurityScope.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "platform/faults/Faults.h"

namespace zivuv::platform {
namespace {

std::mutex gMutex;
std::unordered_map<std::string, std::size_t> gCounts;

}  // namespace

bool SecurityScope::startAccessing(const FileURL& url) {
  if (!url.hasSecurityScope() || url.empty()) return false;
  if (Faults::refusesAccess(url.path())) return false;
  // A folder must be readable and searchable; something else that took its
  // place only readable, so that the scan can find it is no folder.
  struct stat st {};
  const int mode = ::stat(url.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? R_OK | X_OK : R_OK;
  if (::access(url.path().c_str(), mode) != 0) return false;
  std::lock_guard lock(gMutex);
  ++gCounts[url.path()];
  return true;
}

void SecurityScope::stopAccessing(const FileURL& url) {
  std::lock_guard lock(gMutex);
  const auto it = gCounts.find(url.path());
  if (it == gCounts.end()) return;
  if (--it->second == 0) gCounts.erase(it);
}

std::size_t SecurityScope::openCount(const std::string& path) {
  std::lock_guard lock(gMutex);
  const auto it = gCounts.find(path);
  return it == gCounts.end() ? 0 : it->second;
}

std::size_t SecurityScope::totalOpenCount() {
  std::lock_guard lock(gMutex);
  std::size_t total = 0;
  for (const auto& [path, count] : gCounts) total += count;
  return total;
}

}  // namespace zivuv::platform

#include "platform/faults/Faults.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

namespace zivuv::platform {
namespace {

std::mutex gMutex;
std::string gRefusedPath;
std::string gFailingStore;
std::string gUnlockableStore;

bool listedInFaultFile(std::string_view verb, std::string_view value) {
  const char* file = std::getenv("ZIVUV_FAULTS");
  if (file == nullptr || *file == '\0') return false;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    if (std::string_view(line).substr(0, space) == verb &&
        std::string_view(line).substr(space + 1) == value) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool Faults::refusesAccess(std::string_view path) {
  {
    std::lock_guard lock(gMutex);
    if (!gRefusedPath.empty() && gRefusedPath == path) return true;
  }
  return listedInFaultFile("refuse-access", path);
}

bool Faults::failsWrite(std::string_view storeName) {
  {
    std::lock_guard lock(gMutex);
    if (!gFailingStore.empty() && gFailingStore == storeName) return true;
  }
  return listedInFaultFile("fail-write", storeName);
}

bool Faults::failsLock(std::string_view storeName) {
  {
    std::lock_guard lock(gMutex);
    if (!gUnlockableStore.empty() && gUnlockableStore == storeName) return true;
  }
  return listedInFaultFile("fail-lock", storeName);
}

void Faults::setFailLock(std::string storeName) {
  std::lock_guard lock(gMutex);
  gUnlockableStore = std::move(storeName);
}

void Faults::setRefuseAccess(std::string path) {
  std::lock_guard lock(gMutex);
  gRefusedPath = std::move(path);
}

void Faults::setFailWrite(std::string storeName) {
  std::lock_guard lock(gMutex);
  gFailingStore = std::move(storeName);
}

}  // namespace zivuv::platform

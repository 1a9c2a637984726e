#include "platform/faults/Faults.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/faults/FaultFile.h"

namespace zivuv::platform {
namespace {

// One kind of fault: the value set in process, and its verb in the file.
struct Fault {
  const char* verb;
  std::string value;
};

std::mutex gMutex;
Fault gRefuseAccess{"refuse-access", {}};
Fault gFailWrite{"fail-write", {}};
Fault gFailLock{"fail-lock", {}};
Fault gRefuseWatch{"refuse-watch", {}};

bool holds(const Fault& fault, std::string_view value) {
  {
    std::lock_guard lock(gMutex);
    if (!fault.value.empty() && fault.value == value) return true;
  }
  return faultFileValue(fault.verb, value).has_value();
}

void set(Fault& fault, std::string value) {
  std::lock_guard lock(gMutex);
  fault.value = std::move(value);
}

// The lines of the fault file, as "<verb> <value>" split at the first
// space; read once, on first use.
const std::vector<std::pair<std::string, std::string>>& faultLines() {
  static const std::vector<std::pair<std::string, std::string>> lines = [] {
    std::vector<std::pair<std::string, std::string>> read;
    const char* file = std::getenv("ZIVUV_FAULTS");
    if (file == nullptr || *file == '\0') return read;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t space = line.find(' ');
      if (space == std::string::npos) continue;
      read.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return read;
  }();
  return lines;
}

}  // namespace

void loadFaultFile() { (void)faultLines(); }

std::optional<std::string> faultFileValue(std::string_view verb,
                                          std::optional<std::string_view> wanted) {
  for (const auto& [lineVerb, value] : faultLines()) {
    if (lineVerb == verb && (!wanted || value == *wanted)) return value;
  }
  return std::nullopt;
}

bool Faults::refusesAccess(std::string_view path) { return holds(gRefuseAccess, path); }
bool Faults::failsWrite(std::string_view storeName) { return holds(gFailWrite, storeName); }
bool Faults::failsLock(std::string_view storeName) { return holds(gFailLock, storeName); }
bool Faults::refusesWatch(std::string_view path) { return holds(gRefuseWatch, path); }

void Faults::setRefuseAccess(std::string path) { set(gRefuseAccess, std::move(path)); }
void Faults::setFailWrite(std::string storeName) { set(gFailWrite, std::move(storeName)); }
void Faults::setFailLock(std::string storeName) { set(gFailLock, std::move(storeName)); }
void Faults::setRefuseWatch(std::string path) { set(gRefuseWatch, std::move(path)); }

}  // namespace zivuv::platform

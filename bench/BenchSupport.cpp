#include "BenchSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace zivuv::bench {

Summary summarize(std::vector<double> values) {
  Summary s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.count = values.size();
  s.min = values.front();
  s.max = values.back();
  const std::size_t mid = values.size() / 2;
  s.median = values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  return s;
}

double percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(q * static_cast<double>(values.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base == '/' ? base : "/var/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "mkdtemp %s: %s\n", pattern.c_str(), std::strerror(errno));
    return;
  }
  char* real = ::realpath(pattern.c_str(), nullptr);
  path_ = real != nullptr ? real : pattern;
  std::free(real);
}

TempDir::~TempDir() {
  if (!path_.empty()) removeTree(path_);
}

bool makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "mkdir %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!ok) std::fprintf(stderr, "write %s failed\n", path.c_str());
  return ok;
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

bool buildFixture(const std::string& root, std::size_t n, Fixture& out) {
  out = {};
  char name[64];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "/project-%05zu", i);
    const std::string folder = root + name;
    if (!makeFolder(folder)) return false;
    ++out.subfolders;
    if (i % 2 != 0) continue;
    const std::string git = folder + "/.git";
    if (!makeFolder(git) || !makeFolder(git + "/objects") || !makeFolder(git + "/refs") ||
        !writeFile(git + "/HEAD", "ref: refs/heads/main\n")) {
      return false;
    }
    ++out.repositories;
  }
  for (std::size_t i = 0; i < n / 10; ++i) {
    std::snprintf(name, sizeof name, "/notes-%05zu.txt", i);
    if (!writeFile(root + name, "not a folder\n")) return false;
    ++out.plainFiles;
  }
  for (std::size_t i = 0; i < std::max<std::size_t>(5, n / 100); ++i) {
    std::snprintf(name, sizeof name, "/.hidden-%04zu", i);
    const std::string git = root + name + "/.git";
    if (!makeFolder(root + name) || !makeFolder(git) || !makeFolder(git + "/objects") ||
        !makeFolder(git + "/refs") || !writeFile(git + "/HEAD", "ref: refs/heads/main\n")) {
      return false;
    }
    ++out.hiddenFolders;
  }
  return true;
}

int runShell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string describeMachine() {
  std::string model = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      if (const auto colon = line.find(':'); colon != std::string::npos) {
        model = line.substr(colon + 1);
        model.erase(0, model.find_first_not_of(" \t"));
      }
      break;
    }
  }
  utsname uts{};
  (void)::uname(&uts);
  return "nproc " + std::to_string(std::thread::hardware_concurrency()) + ", " + model +
         ", kernel " + uts.release;
}

std::string fileSystemType(const std::string& path) {
  struct statfs st {};
  if (::statfs(path.c_str(), &st) != 0) return "unknown";
  switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53UL:
      return "ext4";
    case 0x01021994UL:
      return "tmpfs";
    case 0x9123683EUL:
      return "btrfs";
    case 0x58465342UL:
      return "xfs";
    case 0x794C7630UL:
      return "overlayfs";
    case 0x65735546UL:
      return "fuse";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(st.f_type));
      return hex;
    }
  }
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

long selfStatusKiB(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

std::string formatDelta(double ms) {
  return (ms < 0 ? "-" : "+") + formatMilliseconds(std::fabs(ms));
}

std::string formatMilliseconds(double ms) {
  char text[32];
  if (ms >= 1000) {
    std::snprintf(text, sizeof text, "%.2f s", ms / 1000);
  } else if (ms >= 100) {
    std::snprintf(text, sizeof text, "%.0f ms", ms);
  } else if (ms >= 10) {
    std::snprintf(text, sizeof text, "%.1f ms", ms);
  } else {
    std::snprintf(text, sizeof text, "%.2f ms", ms);
  }
  return text;
}

}  // namespace zivuv::bench

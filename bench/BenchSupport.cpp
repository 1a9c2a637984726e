#include "BenchSupport.h"

#include <dirent.h>
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
#include <memory>
#include <thread>
#include <utility>

#include "platform/fs/FolderListing.h"

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

namespace {

// What `git init` leaves that opening a repository reads: HEAD, objects/
// with its pack/ folder, refs/, and the config naming the format.
bool makeRepository(const std::string& folder) {
  const std::string git = folder + "/.git";
  return makeFolder(folder) && makeFolder(git) && makeFolder(git + "/objects") &&
         makeFolder(git + "/objects/pack") && makeFolder(git + "/refs") &&
         writeFile(git + "/HEAD", "ref: refs/heads/main\n") &&
         writeFile(git + "/config",
                   "[core]\n\trepositoryformatversion = 0\n\tfilemode = true\n\tbare = false\n"
                   "\tlogallrefupdates = true\n");
}

}  // namespace

bool buildFixture(const std::string& root, std::size_t n, Fixture& out) {
  out = {};
  char name[64];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "/project-%05zu", i);
    const std::string folder = root + name;
    if (i % 2 == 0 ? !makeRepository(folder) : !makeFolder(folder)) return false;
    ++out.subfolders;
    if (i % 2 != 0) continue;
    ++out.repositories;
  }
  for (std::size_t i = 0; i < n / 10; ++i) {
    std::snprintf(name, sizeof name, "/notes-%05zu.txt", i);
    if (!writeFile(root + name, "not a folder\n")) return false;
    ++out.plainFiles;
  }
  for (std::size_t i = 0; i < std::max<std::size_t>(5, n / 100); ++i) {
    std::snprintf(name, sizeof name, "/.hidden-%04zu", i);
    if (!makeRepository(root + name)) return false;
    ++out.hiddenFolders;
  }
  return true;
}

bool buildDeepFixture(const std::string& root, DeepFixture& out) {
  constexpr int kHosts = 3, kOwners = 100, kRepositories = 33;
  constexpr std::size_t kVendorEvery = 99;  // 9,900 / 99 = 100 vendored checkouts
  constexpr int kPlain = 1000, kPlainSubfolders = 5;
  constexpr int kApps = 200, kPackages = 500;
  out = {};
  char name[96];
  std::size_t made = 0;
  for (int h = 0; h < kHosts; ++h) {
    std::snprintf(name, sizeof name, "/host-%d", h);
    const std::string host = root + name;
    if (!makeFolder(host)) return false;
    ++out.candidates;
    ++out.walkedFolders;
    for (int o = 0; o < kOwners; ++o) {
      std::snprintf(name, sizeof name, "/owner-%03d", o);
      const std::string owner = host + name;
      if (!makeFolder(owner)) return false;
      ++out.candidates;
      ++out.walkedFolders;
      for (int r = 0; r < kRepositories; ++r) {
        std::snprintf(name, sizeof name, "/repo-%02d", r);
        const std::string repository = owner + name;
        if (!makeRepository(repository)) return false;
        ++out.repositories;
        ++out.candidates;
        out.repositoryPaths.insert(repository);
        if (made++ % kVendorEvery != kVendorEvery / 2) continue;
        // Two levels down, inside a repository: never a candidate.
        if (!makeFolder(repository + "/vendor") || !makeRepository(repository + "/vendor/libvendored")) {
          return false;
        }
        ++out.vendored;
      }
    }
  }
  for (int p = 0; p < kPlain; ++p) {
    std::snprintf(name, sizeof name, "/host-%d/plain-%04d", p % kHosts, p);
    const std::string plain = root + name;
    if (!makeFolder(plain)) return false;
    ++out.plainFolders;
    ++out.candidates;
    ++out.walkedFolders;
    for (int s = 0; s < kPlainSubfolders; ++s) {
      if (!makeFolder(plain + "/sub-" + std::to_string(s))) return false;
      ++out.plainSubfolders;
      ++out.candidates;
    }
  }
  for (int a = 0; a < kApps; ++a) {
    std::snprintf(name, sizeof name, "/app-%03d", a);
    const std::string app = root + name;
    const std::string modules = app + "/node_modules";
    if (!makeFolder(app) || !writeFile(app + "/package.json", "{}\n") || !makeFolder(modules)) {
      return false;
    }
    ++out.candidates;
    ++out.walkedFolders;
    ++out.nodeModules;
    // Empty files: listing them is what ignoring node_modules saves, and
    // unlike a folder an empty file holds no block, so removing 100,000 of
    // them takes a second rather than minutes on a disk mounted with
    // `discard`.
    for (int k = 0; k < kPackages; ++k) {
      std::snprintf(name, sizeof name, "/package-%03d.js", k);
      if (!writeFile(modules + name, "")) return false;
      ++out.nodeModulesEntries;
    }
  }
  ++out.walkedFolders;  // the root
  return true;
}

LowerBoundCount lowerBoundWalk(const std::string& root, const LowerBoundWalk& how) {
  LowerBoundCount count;
  struct Level {
    // Each folder costs openat, getdents64 until it returns 0, and close.
    platform::FolderListing listing;
    int depth;
  };
  std::vector<Level> levels;
  platform::FolderListing top(
      platform::UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (top.fd() < 0) return count;
  ++count.folders;
  levels.push_back({std::move(top), 0});
  std::string gitPath;
  while (!levels.empty()) {
    platform::FolderListing& listing = levels.back().listing;
    const int depth = levels.back().depth + 1;
    const int dirFd = listing.fd();
    const dirent64* entry = listing.next();
    if (entry == nullptr) {
      levels.pop_back();
      continue;
    }
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    if (how.statEachEntry || entry->d_type == DT_UNKNOWN) {
      if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        continue;
      }
    } else if (entry->d_type != DT_DIR) {
      continue;
    }
    bool ignored = false;
    for (const auto& name : how.ignoredNames) ignored = ignored || name == entry->d_name;
    if (ignored) continue;
    ++count.candidates;
    gitPath = entry->d_name;
    gitPath += "/.git";
    if (how.readRepositories) {
      platform::FolderListing git(
          platform::UniqueFd(::openat(dirFd, gitPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
      if (git.fd() >= 0) {
        while (git.next() != nullptr) {
        }
        char config[4096];
        const platform::UniqueFd file(::openat(git.fd(), "config", O_RDONLY | O_CLOEXEC));
        platform::FolderListing pack(platform::UniqueFd(
            ::openat(git.fd(), "objects/pack", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
        if (::fstat(git.fd(), &st) == 0 && file && ::read(file.get(), config, sizeof config) > 0 &&
            pack.fd() >= 0) {
          while (pack.next() != nullptr) {
          }
          ++count.repositories;
        }
        continue;
      }
    } else if (::fstatat(dirFd, gitPath.c_str(), &st, 0) == 0) {
      ++count.repositories;
      continue;
    }
    if (depth >= how.maxDepth) continue;
    platform::FolderListing below(platform::UniqueFd(
        ::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
    if (below.fd() < 0) continue;
    ++count.folders;
    levels.push_back({std::move(below), depth});
  }
  return count;
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

long selfStatusKiB(const std::string& field) { return procFieldKiB("/proc/self/status", field); }

long procFieldKiB(const std::string& file, const std::string& field) {
  std::ifstream in(file);
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

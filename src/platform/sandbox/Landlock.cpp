#include "platform/sandbox/Landlock.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fd/UniqueFd.h"

// What Debian 12's kernel headers (6.1, Landlock ABI 2) do not name yet. The
// values are the kernel's; each is used only when the running kernel's ABI
// knows it.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
// The same numbers on every architecture.
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#define __NR_landlock_add_rule 445
#define __NR_landlock_restrict_self 446
#endif

namespace zivuv::platform {
namespace {

std::atomic<int> gEnforcedAbi{0};

// glibc has no wrappers for these calls.
int createRuleset(const landlock_ruleset_attr* attr, std::size_t size, std::uint32_t flags) {
  return static_cast<int>(::syscall(__NR_landlock_create_ruleset, attr, size, flags));
}
int addPathRule(int ruleset, const landlock_path_beneath_attr& rule) {
  return static_cast<int>(
      ::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0U));
}
int restrictSelf(int ruleset) {
  return static_cast<int>(::syscall(__NR_landlock_restrict_self, ruleset, 0U));
}

constexpr std::uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// Enough for the settings files: write, create, replace by rename within the
// folder, remove, truncate. No links across folders (REFER), no special
// files, no symbolic links.
constexpr std::uint64_t kWrite = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                                 LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
                                 LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_TRUNCATE;

// Adds a rule granting rights beneath path; empty when it was added, else
// why not.
std::string allowBeneath(int ruleset, const std::string& path, std::uint64_t rights) {
  const UniqueFd folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return std::strerror(errno);
  const landlock_path_beneath_attr rule{.allowed_access = rights, .parent_fd = folder.get()};
  if (addPathRule(ruleset, rule) != 0) {
    return std::string("landlock_add_rule: ") + std::strerror(errno);
  }
  return {};
}

}  // namespace

std::uint64_t landlockFileSystemRights(int abi) {
  if (abi < 1) return 0;
  // Every right up to the newest this code knows, less those the ABI lacks.
  // The execute right covers execve alone: the loader and dlopen map
  // libraries from files opened for reading, which kRead allows everywhere,
  // so nothing here needs it.
  std::uint64_t rights = ((LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1) | LANDLOCK_ACCESS_FS_REFER |
                         LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV;
  switch (abi) {
    case 1: rights &= ~LANDLOCK_ACCESS_FS_REFER; [[fallthrough]];
    case 2: rights &= ~LANDLOCK_ACCESS_FS_TRUNCATE; [[fallthrough]];
    case 3:
    case 4: rights &= ~LANDLOCK_ACCESS_FS_IOCTL_DEV; break;
    default: break;  // 5 and later: network (4) and scope (6) rights are not handled
  }
  return rights;
}

LandlockOutcome confineWithLandlock(const std::string& writableFolder) {
  LandlockOutcome outcome;
  const int abi = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) {
    outcome.failure = std::strerror(errno);  // ENOSYS: not built in; EOPNOTSUPP: disabled at boot
    return outcome;
  }
  const std::uint64_t handled = landlockFileSystemRights(abi);
  const landlock_ruleset_attr attributes{.handled_access_fs = handled};
  const UniqueFd ruleset(createRuleset(&attributes, sizeof attributes, 0));
  if (!ruleset) {
    outcome.failure = std::string("landlock_create_ruleset: ") + std::strerror(errno);
    return outcome;
  }
  if (std::string error = allowBeneath(ruleset.get(), "/", kRead & handled); !error.empty()) {
    outcome.failure = "/: " + error;
    return outcome;
  }
  outcome.folderError = allowBeneath(ruleset.get(), writableFolder, (kRead | kWrite) & handled);
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    outcome.failure = std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
    return outcome;
  }
  if (restrictSelf(ruleset.get()) != 0) {
    outcome.failure = std::string("landlock_restrict_self: ") + std::strerror(errno);
    return outcome;
  }
  outcome.abi = abi;
  gEnforcedAbi.store(abi, std::memory_order_relaxed);
  return outcome;
}

int landlockAbi() { return gEnforcedAbi.load(std::memory_order_relaxed); }

}  // namespace zivuv::platform

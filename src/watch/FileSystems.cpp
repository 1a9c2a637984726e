#include "watch/FileSystems.h"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>

namespace zivuv::watch {

std::string remoteFileSystemName(const std::string& path) {
  struct Kind {
    std::uint32_t magic;
    const char* name;
  };
  // The statfs(2) magic numbers of the file systems whose changes can come
  // from other machines.
  static constexpr Kind kRemote[] = {
      {0x6969, "nfs"},       {0x517B, "smb"},       {0xFF534D42, "cifs"},
      {0xFE534D42, "smb2"},  {0x01021997, "9p"},    {0x5346414F, "afs"},
      {0x6B414653, "afs"},   {0x00C36400, "ceph"},  {0x65735546, "fuse"},
  };
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return {};
  for (const Kind& kind : kRemote) {
    if (static_cast<std::uint32_t>(fs.f_type) == kind.magic) return kind.name;
  }
  return {};
}

namespace {

std::string limitLine(const char* what, const char* sysctl) {
  std::string value;
  std::ifstream(std::string("/proc/sys/") + sysctl) >> value;
  std::string name = sysctl;
  for (char& c : name) c = c == '/' ? '.' : c;
  return std::string("The limit of ") + what + " is used up (" + name + " = " +
         (value.empty() ? "?" : value) + "): sysctl can raise it";
}

}  // namespace

std::string inotifyLimitLine(const WatchFailure& failure) {
  using Call = WatchFailure::Call;
  if (failure.call == Call::AddWatch && failure.error == ENOSPC) {
    return limitLine("inotify watches", "fs/inotify/max_user_watches");
  }
  if (failure.call == Call::InotifyInit && failure.error == EMFILE) {
    // EMFILE also stands for the process's own limit of open files; a
    // descriptor that cannot be duplicated either tells that one.
    const int probe = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (probe < 0 && errno == EMFILE) {
      return "The limit of open files of the process is used up: ulimit -n can raise it";
    }
    if (probe >= 0) (void)::close(probe);
    return limitLine("inotify instances", "fs/inotify/max_user_instances");
  }
  return {};
}

}  // namespace zivuv::watch

#include "platform/fs/NetworkFileSystems.h"

#include <sys/vfs.h>

#include <cstdint>

namespace zivuv::platform {
namespace {

// The statfs(2) magic numbers of the file systems whose changes can come
// from other machines, or from a process that serves them in user space.
std::string remoteName(const struct statfs& fs) {
  struct Kind {
    std::uint32_t magic;
    const char* name;
  };
  static constexpr Kind kRemote[] = {
      {0x6969, "nfs"},         {0x517B, "smb"},        {0xFF534D42, "cifs"},
      {0xFE534D42, "smb2"},    {0x01021997, "9p"},     {0x5346414F, "afs"},
      {0x6B414653, "afs"},     {0x00C36400, "ceph"},   {0x65735546, "fuse"},
      {0x786F4256, "vboxsf"},  {0x01161970, "gfs2"},   {0x7461636F, "ocfs2"},
      {0x0BD00BD0, "lustre"},  {0x73757245, "coda"},   {0x20030528, "orangefs"},
  };
  for (const Kind& kind : kRemote) {
    if (static_cast<std::uint32_t>(fs.f_type) == kind.magic) return kind.name;
  }
  return {};
}

}  // namespace

std::string remoteFileSystemName(const std::string& path) {
  struct statfs fs {};
  return ::statfs(path.c_str(), &fs) == 0 ? remoteName(fs) : std::string();
}

std::string remoteFileSystemNameOf(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 ? remoteName(fs) : std::string();
}

}  // namespace zivuv::platform

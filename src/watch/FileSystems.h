#pragma once

#include <string>

#include "watch/SerialQueue.h"

namespace zivuv::watch {

// The name of the network or FUSE file system that holds path ("nfs",
// "cifs", "smb2", "9p", "afs", "ceph", "fuse", ...), or empty for a local
// one. inotify sees only the changes made through this machine's kernel, so
// on such a file system changes made elsewhere make no event.
std::string remoteFileSystemName(const std::string& path);

// The line that names the inotify limit a failed watch ran into and the
// sysctl that raises it; empty when the failure hit no such limit.
std::string inotifyLimitLine(const WatchFailure& failure);

}  // namespace zivuv::watch

#pragma once

#include <string>

namespace zivuv::platform {

// The name of the network, cluster or FUSE file system that holds path
// ("nfs", "cifs", "9p", "fuse", ...), or empty for a local one. inotify sees
// only the changes made through this machine's kernel, so on such a file
// system changes made elsewhere make no event.
std::string remoteFileSystemName(const std::string& path);

// The same for the file system of an open descriptor.
std::string remoteFileSystemNameOf(int fd);

}  // namespace zivuv::platform

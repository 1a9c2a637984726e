#pragma once

#include <optional>
#include <string>

namespace zivuv::platform {

// realpath(3) of path: absolute, every symbolic link, "." and ".." resolved;
// nullopt when a component does not exist or cannot be searched.
std::optional<std::string> realPath(const std::string& path);

}  // namespace zivuv::platform

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zivuv::platform {

// realpath(3) of path: absolute, every symbolic link, "." and ".." resolved;
// nullopt when a component does not exist or cannot be searched.
std::optional<std::string> realPath(const std::string& path);

// Whether path is absolute and in the form that lexical normalisation gives
// already (as a real path always is): no empty, "." or ".." component and
// no trailing slash. "/" is.
bool isNormalAbsolute(std::string_view path);

}  // namespace zivuv::platform

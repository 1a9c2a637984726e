#pragma once

#include <string>

namespace zivuv::discovery {

// TEMPORARY stand-in until the fast test lands.
bool isRepositoryAt(int dirFd, const char* name, std::string* reason = nullptr);
bool isGitRepository(const std::string& path, std::string* reason = nullptr);

}  // namespace zivuv::discovery

#pragma once

#include <cstdint>
#include <string>

namespace zivuv::platform {

// Every file system right that Landlock ABI abi knows (0 for an ABI below
// 1): what a ruleset handles so that the kernel denies all it can deny.
std::uint64_t landlockFileSystemRights(int abi);

// What confineWithLandlock did.
struct LandlockOutcome {
  int abi = 0;              // the ABI now enforced; 0 when nothing is
  std::string failure;      // why nothing is, when abi is 0
  std::string folderError;  // why the writable folder got no rule, or ""
};

// Confines the calling thread, and every thread and process it starts from
// then on, with the Landlock ABI the kernel offers: reading and listing
// anywhere; writing, creating, removing and truncating only beneath
// writableFolder (nowhere when it cannot be opened); executing, device
// ioctls and every other file system right nowhere. Sets no_new_privs
// first, which the kernel asks of an unprivileged process. Threads that
// exist already stay as they are: call it before the first one.
LandlockOutcome confineWithLandlock(const std::string& writableFolder);

// The ABI that confineWithLandlock enforced in this process; 0 when none.
int landlockAbi();

}  // namespace zivuv::platform

#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zivuv::discovery {

// The library that judges what the repository test leaves in doubt, by the
// soname of Debian 12's libgit2 package. It is loaded with dlopen the first
// time a folder needs it and unloaded (git_libgit2_shutdown, dlclose) as
// soon as nothing holds it: a service that judges every folder from the
// file system alone never maps it. Every function here: any thread.
inline constexpr const char* kLibgit2Soname = "libgit2.so.1.5";

// libgit2's open of a repository at a path, parent folders never searched:
// the open that the app makes (configuration, format, extensions, owner).
struct Libgit2Open {
  enum class Result {
    Opened,
    Refused,      // libgit2 does not open it; message has its words
    Unavailable,  // libgit2 cannot be loaded; message says why
  };
  Result result = Result::Unavailable;
  std::string gitDir;  // Opened: its git folder
  // Opened: where its objects and refs are (a linked worktree's main git folder)
  std::string commonDir;
  std::string message;
};
Libgit2Open openWithLibgit2(const std::string& path);

// libgit2's locate-only call: whether a git folder is there, whatever its
// configuration or owner; nothing when libgit2 cannot be loaded.
std::optional<bool> locateWithLibgit2(const std::string& path);

// Keeps libgit2 loaded, once a verdict has loaded it, until the hold ends,
// so that it is set up at most once for, say, a whole scan; a failure to
// load it is not retried meanwhile. Without a hold each verdict loads and
// unloads it. Holds may overlap, on any threads: the last one to end, or
// the last verdict to end after it, unloads. libgit2 frees a thread's own
// state (its last error, 200 bytes) when the thread ends or unloads it: a
// thread that made verdicts and outlives an unload by another thread keeps
// that state. The service makes every verdict on monitorQueue.
class Libgit2Hold {
 public:
  Libgit2Hold();
  ~Libgit2Hold();
  Libgit2Hold(const Libgit2Hold&) = delete;
  Libgit2Hold& operator=(const Libgit2Hold&) = delete;

  // Why libgit2 could not be loaded for a verdict that wanted it while
  // this hold lived; empty when no load failed.
  std::string loadFailure() const;
  // How many verdicts libgit2 gave, on any thread, while this hold lived.
  std::uint64_t verdicts() const;

 private:
  std::uint64_t verdictsAtStart_;
  std::uint64_t failuresAtStart_;
};

// What this process has done with libgit2 so far: how many times it loaded
// it, and whether it is loaded now.
std::uint64_t libgit2Loads();
bool libgit2Loaded();

}  // namespace zivuv::discovery

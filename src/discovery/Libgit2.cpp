#include "discovery/Libgit2.h"

#include <dlfcn.h>
#include <git2.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/memory/CleanPages.h"

namespace zivuv::discovery {
namespace {

// The calls made into libgit2, looked up at each load. Only the headers of
// libgit2 are used at build time: nothing links it.
struct Functions {
  decltype(&git_libgit2_init) init = nullptr;
  decltype(&git_libgit2_shutdown) shutdown = nullptr;
  decltype(&git_repository_open_ext) open = nullptr;
  decltype(&git_repository_free) free = nullptr;
  decltype(&git_repository_path) path = nullptr;
  decltype(&git_repository_commondir) commondir = nullptr;
  decltype(&git_error_last) lastError = nullptr;
};

template <typename Function>
bool lookUp(void* handle, const char* name, Function& function, std::string& missing) {
  function = reinterpret_cast<Function>(::dlsym(handle, name));
  if (function == nullptr && missing.empty()) missing = name;
  return function != nullptr;
}

// libcrypto, which libgit2 pulls in through libssh2, marks itself never to
// be unloaded: dlclose leaves it mapped, with 2.5 MiB of its code and
// read-only data in the process's resident set. Nothing calls it once
// libgit2 is gone, so those pages are unmapped; they are mapped again from
// the page cache should anything run there (its exit handler, the next
// load).
void dropPagesOfObjectsLeftBehind(const std::vector<std::uintptr_t>& before) {
  platform::dropCleanPages([&before](std::uintptr_t base) {
    return !std::binary_search(before.begin(), before.end(), base);
  });
}

// The process's one copy of libgit2: loaded while anything holds it.
class Library {
 public:
  static Library& shared() {
    // Never destroyed: a verdict on another thread may outlive main.
    static Library* library = new Library;
    return *library;
  }

  // Takes a share of the library, loading it when it is not loaded (and no
  // failure to load it is remembered); with load false, only keeps it
  // loaded once something loads it. The functions, or nullptr with why.
  const Functions* acquire(bool load, std::string* failure) {
    std::lock_guard lock(mutex_);
    ++holders_;
    if (!load) return nullptr;
    if (handle_ == nullptr && failure_.empty()) this->load();
    if (handle_ == nullptr) {
      if (failure != nullptr) *failure = failure_;
      return nullptr;
    }
    verdicts_.fetch_add(1, std::memory_order_relaxed);
    return &functions_;
  }

  // Gives a share back; the last one unloads it.
  void release() {
    std::lock_guard lock(mutex_);
    if (--holders_ > 0) return;
    failure_.clear();
    if (handle_ == nullptr) return;
    (void)functions_.shutdown();
    (void)::dlclose(handle_);
    handle_ = nullptr;
    functions_ = {};
    dropPagesOfObjectsLeftBehind(objectsBefore_);
  }

  std::string lastFailure() const {
    std::lock_guard lock(mutex_);
    return lastFailure_;
  }
  bool loaded() const {
    std::lock_guard lock(mutex_);
    return handle_ != nullptr;
  }
  std::uint64_t loads() const { return loads_.load(std::memory_order_relaxed); }
  std::uint64_t verdicts() const { return verdicts_.load(std::memory_order_relaxed); }
  std::uint64_t failures() const { return failures_.load(std::memory_order_relaxed); }

 private:
  Library() = default;

  // Under mutex_. The configuration is read where the app reads it (the
  // system's, the user's and the repository's files): a safe.directory
  // entry of the user opens another user's repository for both.
  void load() {
    // What was there before libgit2 first came: what it leaves behind is
    // all the rest, however many times it has been loaded since.
    if (!baselineTaken_) objectsBefore_ = platform::loadedObjects();
    baselineTaken_ = true;
    (void)::dlerror();
    void* handle = ::dlopen(kLibgit2Soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* error = ::dlerror();
      return fail(error != nullptr ? error : std::string(kLibgit2Soname) + ": cannot be loaded");
    }
    Functions f;
    std::string missing;
    const bool all = lookUp(handle, "git_libgit2_init", f.init, missing) &
                     lookUp(handle, "git_libgit2_shutdown", f.shutdown, missing) &
                     lookUp(handle, "git_repository_open_ext", f.open, missing) &
                     lookUp(handle, "git_repository_free", f.free, missing) &
                     lookUp(handle, "git_repository_path", f.path, missing) &
                     lookUp(handle, "git_repository_commondir", f.commondir, missing) &
                     lookUp(handle, "git_error_last", f.lastError, missing);
    if (!all || f.init() < 0) {
      (void)::dlclose(handle);
      dropPagesOfObjectsLeftBehind(objectsBefore_);
      return fail(std::string(kLibgit2Soname) +
                  (all ? ": git_libgit2_init failed" : ": it has no " + missing));
    }
    handle_ = handle;
    functions_ = f;
    loads_.fetch_add(1, std::memory_order_relaxed);
  }

  void fail(std::string why) {
    failure_ = why;
    lastFailure_ = std::move(why);
    failures_.fetch_add(1, std::memory_order_relaxed);
  }

  mutable std::mutex mutex_;
  void* handle_ = nullptr;
  Functions functions_;
  std::size_t holders_ = 0;
  std::string failure_;      // remembered while anything holds the library
  std::string lastFailure_;  // the last failure, for the holds that ask
  std::vector<std::uintptr_t> objectsBefore_;
  bool baselineTaken_ = false;
  std::atomic<std::uint64_t> loads_{0}, verdicts_{0}, failures_{0};
};

// One verdict's share of the library: loaded from its start to its end.
class Use {
 public:
  Use() : functions_(Library::shared().acquire(true, &failure_)) {}
  ~Use() { Library::shared().release(); }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  const Functions* functions() const { return functions_; }
  const std::string& failure() const { return failure_; }

  // libgit2's words for the call that failed last on this thread.
  std::string message() const {
    const git_error* error = functions_->lastError();
    return error != nullptr && error->message != nullptr ? error->message : "not a repository";
  }

 private:
  std::string failure_;
  const Functions* functions_;
};

}  // namespace

Libgit2Open openWithLibgit2(const std::string& path) {
  const Use use;
  const Functions* git = use.functions();
  if (git == nullptr) return {Libgit2Open::Result::Unavailable, {}, {}, use.failure()};
  git_repository* raw = nullptr;
  const int error = git->open(&raw, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr);
  const std::unique_ptr<git_repository, void (*)(git_repository*)> repository(raw, git->free);
  if (error != 0) return {Libgit2Open::Result::Refused, {}, {}, use.message()};
  return {Libgit2Open::Result::Opened, git->path(raw), git->commondir(raw), {}};
}

std::optional<bool> locateWithLibgit2(const std::string& path) {
  const Use use;
  const Functions* git = use.functions();
  if (git == nullptr) return std::nullopt;
  return git->open(nullptr, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) == 0;
}

Libgit2Hold::Libgit2Hold()
    : verdictsAtStart_(Library::shared().verdicts()),
      failuresAtStart_(Library::shared().failures()) {
  (void)Library::shared().acquire(false, nullptr);
}

Libgit2Hold::~Libgit2Hold() { Library::shared().release(); }

std::string Libgit2Hold::loadFailure() const {
  return Library::shared().failures() != failuresAtStart_ ? Library::shared().lastFailure()
                                                          : std::string();
}

std::uint64_t Libgit2Hold::verdicts() const {
  return Library::shared().verdicts() - verdictsAtStart_;
}

std::uint64_t libgit2Loads() { return Library::shared().loads(); }

bool libgit2Loaded() { return Library::shared().loaded(); }

}  // namespace zivuv::discovery

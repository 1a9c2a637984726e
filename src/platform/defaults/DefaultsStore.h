#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd/UniqueFd.h"

namespace zivuv::platform {

using Data = std::vector<std::uint8_t>;

struct PlistFree {
  void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Files larger than this are not parsed at all.
inline constexpr std::size_t kMaxSettingsFileSize = 64u << 20;

// Parses a binary or XML property list whose root is a dictionary; null for
// anything else. Input is checked (size, leading bytes) before libplist
// sees it.
PlistPtr parseSettings(std::span<const std::uint8_t> bytes);

// The bytes that a write puts on disk: root as a binary property list.
// nullopt when libplist would not read them back as the same dictionary (it
// writes some malformed keys and strings that it cannot read back). A root
// whose every key is one of knownKeys (names this program uses) and whose
// values are made only of arrays, data, integers, booleans and ASCII
// strings is checked by its shape alone; anything else is parsed again from
// the bytes and written once more, which must give the same bytes.
std::optional<Data> serialiseSettings(plist_t root,
                                      std::span<const std::string> knownKeys = {});

// A value of a dictionary read as the type asked for: Found (in value),
// Absent, or WrongType when the key holds something else. A string holding
// a NUL byte is read up to it (libplist asserts on it otherwise).
enum class Lookup { Found, Absent, WrongType };
Lookup lookupInteger(plist_t dict, std::string_view key, std::int64_t& value);
Lookup lookupStrings(plist_t dict, std::string_view key, std::vector<std::string>& values);

// The folder of every settings file: ${XDG_CONFIG_HOME:-$HOME/.config}/Zivuv.
std::string settingsFolder();
// Makes the settings folder, and its parents, where missing; false when
// there is no folder there afterwards.
bool makeSettingsFolder();
// The settings file of a store: "<folder>/<name>.plist".
std::string settingsFile(const std::string& name);

// A write of a store that failed: which store, its file, and the reason
// (the system's text for the error, or what else stood in the way).
struct WriteFailure {
  std::string name;
  std::string file;
  std::string reason;
};

// Told of every failed write, after the store's own printed line: the
// service logs it. Set once at start, before any thread writes; none by
// default, so that a library user decides for itself what to say.
void setWriteFailureReporter(std::function<void(const WriteFailure&)> reporter);

// An exclusive flock on "<folder>/<name>.plist.lock", held for the life of
// the object. Every read-modify-write of a store holds one.
class DefaultsLock {
 public:
  // Blocks until the lock is taken; nullopt when the lock file cannot be
  // created or locked (a write without the lock then tells why).
  static std::optional<DefaultsLock> acquire(const std::string& name);

 private:
  explicit DefaultsLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// One defaults domain or suite: one property-list file with a dictionary
// root, read afresh when opened. Not thread-safe; each operation opens its
// own instance.
class DefaultsStore {
 public:
  // The service's own domain. Always opens: a missing, unreadable or
  // corrupt file reads as empty. A corrupt file is kept aside before the
  // first write would replace it; an unreadable one makes writes fail.
  static DefaultsStore openDomain(const std::string& name);

  // A suite shared with the app. nullopt when it cannot be opened: a bad
  // name, a folder that cannot be created, or a file that cannot be read or
  // parsed (the app's file is never replaced).
  static std::optional<DefaultsStore> openSuite(const std::string& name);

  // The array of data values under key; nullopt when the key is absent or
  // holds any other shape.
  std::optional<std::vector<Data>> dataArray(std::string_view key) const;
  // Whether key holds an array of data values, without copying them.
  bool holdsDataArray(std::string_view key) const;
  void setDataArray(std::string_view key, const std::vector<Data>& values);

  // Values read as the type asked for (see lookupInteger, lookupStrings).
  Lookup integer(std::string_view key, std::int64_t& value) const;
  Lookup strings(std::string_view key, std::vector<std::string>& values) const;
  void setInteger(std::string_view key, std::int64_t value);
  void setStrings(std::string_view key, const std::vector<std::string>& values);

  // Replaces the file atomically (temporary file, fsync, rename) while the
  // caller holds the store's lock, and removes the temporary files of this
  // store that a writer killed before its rename left behind (a live writer
  // holds the lock, so none of them is in use). On failure nothing changes,
  // the line "Unable to write defaults for:<name>" is printed, the reason
  // is kept (writeError) and told to the reporter, and false returned.
  bool write(const DefaultsLock& lock);
  // The same for a lock that may not have been taken: without it nothing is
  // written, and the line is printed as for any failed write.
  bool write(const std::optional<DefaultsLock>& lock);

  const std::string& name() const { return name_; }
  const std::string& filePath() const { return file_; }

  // Why the file that exists could not be read as settings: empty when it
  // is missing or was read. damaged() tells a file that was read but is no
  // property list with a dictionary root (or is too large), which the
  // first write keeps aside; otherwise it could not be read at all, and
  // every write fails.
  const std::string& fileProblem() const { return fileProblem_; }
  bool damaged() const { return state_ == FileState::Corrupt; }
  // Where the first write kept a damaged file aside; empty when it did not.
  const std::string& keptAsideAs() const { return keptAsideAs_; }
  // The reason of the last failed write; empty when none failed.
  const std::string& writeError() const { return writeError_; }

  // The stored value of key in a form that compares equal exactly when the
  // value is the same; empty when the key is absent. Meant for a value
  // found bad, so that a change of it can be told.
  std::string valueFingerprint(std::string_view key) const;

 private:
  enum class FileState { Missing, Ok, Corrupt, Unreadable };
  DefaultsStore(std::string name, std::string file, FileState state, PlistPtr root,
                std::string fileProblem = {});
  static std::optional<DefaultsStore> open(const std::string& name, bool ownDomain);
  bool keepCorruptFileAside();
  bool replaceFile();
  void removeStaleTemporaries() const;
  bool failWrite(std::string reason);
  // The key as a C string, remembered as one this program uses.
  const char* usedKey(std::string_view key) const;

  std::string name_;
  std::string file_;
  FileState state_;
  PlistPtr root_;
  std::string fileProblem_;
  mutable std::vector<std::string> keys_;  // the keys read or set through this object
  std::string keptAsideAs_;
  std::string writeError_;
};

}  // namespace zivuv::platform

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/bookmark/BookmarkRecord.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/url/FileURL.h"

namespace zivuv {

using platform::Data;
using platform::FileURL;

// The defaults keys. "kSandboxKey" names the secure bookmark list in the
// service's own defaults and the listed repositories in the shared suite.
enum class BookmarkKeys { sandboxKey, blockKey };
std::string_view rawValue(BookmarkKeys key);

// "VO9ZE47VOD.com.dozezeza", the suite shared with the app; made once, on
// first use.
const std::string& sharedSuiteName();

// The service's own defaults domain, "com.vezudi.Zivuv.FolderMonitor".
const std::string& standardDomainName();

// A broadcast the service sends: on the bus, the signal `member` of
// `interface`; its name is "<interface>.<member>".
struct NotificationName {
  const char* interface;
  const char* member;
  std::string text() const;

  // "com.rudirideva.Zivuv.DefaultsChanged": the shared suite changed.
  static const NotificationName& DefaultsChanged();
};

// The bookmark store: folders as transport data, the secure bookmark list of
// the monitored folder, and the shared repository lists. Stateless; every
// operation opens its store anew, takes the store's lock around every
// read-modify-write and writes once. Failures are printed on standard output
// and show as an absent result, false or an empty list. Any thread.
class BookmarkUtils {
 public:
  BookmarkUtils() = delete;

  static std::optional<Data> createTransportData(const FileURL& url);
  static std::optional<FileURL> resolveTransportData(const Data& data);

  // The secure bookmark list of the monitored folder. A save drops the
  // first entry of the same folder and appends a fresh one, with one write.
  // The stored entries are resolved before the lock is taken, so that one
  // on a file system that does not answer holds up no other writer; under
  // the lock the list is read again, and only entries that came meanwhile
  // are resolved there. stillWanted, asked under the lock, can call the
  // write off (false, nothing written).
  static bool saveSecureBookmark(const FileURL& url,
                                 const std::function<bool()>& stillWanted = {});
  static std::vector<FileURL> loadSecureURLs();
  // Writes an empty secure bookmark list; false when the write failed.
  static bool resetSecureBookmarks();
};

namespace detail {
// A printed line held back so that it can be written later, or again. The
// fixed text is one of the store's string literals.
struct HeldLine {
  std::string_view text;
  std::string variable;
};
}  // namespace detail

// The shared repository lists, the only code that reads or extends them. A
// session reads the file once, without the lock, and resolves each stored
// entry once (whatever the key, however many times it is asked); a batch
// of folders is registered with one locked write, which holds the suite's
// lock only to read the file again, merge and write: an entry that does not
// answer never holds up the app's own writes. Stored entries that do not
// resolve are reported once per session, however many folders it adds.
// Failures are printed on standard output. Not thread-safe.
class SharedSuiteSession {
 public:
  explicit SharedSuiteSession(std::string suite);

  // The folders stored under key, resolved, in stored order; nullopt when the
  // suite cannot be opened ("unable to load defaults for:"), an empty list
  // when the key holds no list of data ("No previous bookmarks").
  std::optional<std::vector<FileURL>> loadURLs(BookmarkKeys key);

  // The listed entries as stored, in stored order, decoded without looking
  // at the disk: nothing for one that cannot be decoded. Empty when the
  // suite cannot be opened or the key holds no list of data.
  std::vector<std::optional<platform::BookmarkFields>> listedRecords();

  // A listed entry to be recorded anew at the folder it moved to, in its
  // stored position (as listedRecords gives it).
  struct Move {
    std::size_t position;
    FileURL url;
    std::optional<Data> record;  // its transport data, when the caller made it
  };

  // What became of one folder or move of a batch.
  enum class Added {
    Written,     // its entry is stored
    Failed,      // it could not be (the line says why)
    Blocked,     // the app blocked the folder since the session read the lists
    Superseded,  // a move whose entry changed since, or whose folder is listed now;
                 // or the batch was called off
  };

  // Registers each folder in order under "kSandboxKey": a folder that an
  // entry already resolves to renews that entry in place, any other is
  // appended; and records each moved entry anew, in its place, if that
  // entry is still as the session read it. Under the lock, the lists are
  // read again: entries the app added meanwhile stay, a folder it blocked
  // meanwhile is not registered, and entries stored since are resolved
  // first without the lock (a few times at most, then under it). One write
  // at the end, unless stillWanted (asked under the lock) calls it off.
  // records[i], where given, is the transport data of urls[i] as the caller
  // made it (a walk knows each folder); the others are made here. One
  // outcome per folder, then one per move.
  std::vector<Added> addSandboxURLs(const std::vector<FileURL>& urls,
                                    const std::vector<Move>& moves = {},
                                    const std::function<bool()>& stillWanted = {},
                                    std::vector<std::optional<Data>> records = {});

  // How long the last addSandboxURLs held the suite's lock, all attempts.
  std::chrono::nanoseconds lockHeld() const { return lockHeld_; }

 private:
  struct Resolved {
    std::optional<FileURL> url;
    std::vector<detail::HeldLine> lines;  // what resolving it printed
  };
  bool readOnce();
  // The entry resolved, once per session for the same bytes.
  const Resolved& resolve(const Data& data);
  // Whether every entry of the lists is resolved already.
  bool allResolved(const std::vector<Data>& entries) const;

  std::string suite_;
  bool read_ = false;
  std::optional<platform::DefaultsStore> store_;  // as first read, without the lock
  std::unordered_map<std::string, Resolved> resolved_;  // by the entry's bytes
  bool sandboxLinesPrinted_ = false;
  std::chrono::nanoseconds lockHeld_{};
};

}  // namespace zivuv

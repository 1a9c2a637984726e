#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
  static bool saveSecureBookmark(const FileURL& url);
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
// session takes the suite's lock for its whole life (when it can), reads the
// file once, and registers a batch of folders with one write, so that a scan
// holds the lock from its first load to its last add. Stored entries that do
// not resolve are reported once per session, however many folders it adds.
// Failures are printed on standard output. Not thread-safe.
class SharedSuiteSession {
 public:
  explicit SharedSuiteSession(std::string suite);

  bool locked() const { return lock_.has_value(); }

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
  };

  // Registers each folder in order under "kSandboxKey": a folder that an
  // entry already resolves to renews that entry in place, any other is
  // appended; and records each moved entry anew, in its place. One write at
  // the end; one flag per folder, then one per move, true when its entry
  // was written.
  std::vector<bool> addSandboxURLs(const std::vector<FileURL>& urls,
                                   const std::vector<Move>& moves = {});

 private:
  struct Resolved {
    std::optional<FileURL> url;
    std::vector<detail::HeldLine> lines;  // what resolving it printed
  };
  // The sandbox entries, resolved once per session; their lines are printed
  // the first time a load or an add needs them.
  bool readOnce();
  const std::vector<Resolved>& resolvedSandboxEntries();

  std::string suite_;
  std::optional<platform::DefaultsLock> lock_;
  bool read_ = false;
  std::optional<platform::DefaultsStore> store_;
  std::optional<std::vector<Resolved>> sandboxResolved_;
  bool sandboxLinesPrinted_ = false;
};

}  // namespace zivuv

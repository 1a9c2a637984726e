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

// Names of the broadcasts the service sends; made once, on first use.
struct NotificationName {
  // "com.rudirideva.Zivuv.DefaultsChanged": the shared suite changed.
  static const std::string& DefaultsChanged();
};

// The service's own defaults domain, "com.vezudi.Zivuv.FolderMonitor".
const std::string& standardDomainName();

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

  static bool saveSecureBookmark(const FileURL& url);
  static std::vector<FileURL> loadSecureURLs();
  static void removeSecureBookmark(std::int64_t position);
  // Writes an empty secure bookmark list; false when the write failed.
  static bool resetSecureBookmarks();

  static std::optional<std::vector<FileURL>> loadURLs(BookmarkKeys key, const std::string& suite);
  static std::optional<std::vector<FileURL>> loadSandboxURLs(const std::string& suite);
  static std::optional<std::vector<FileURL>> loadBlockedURLs(const std::string& suite);
  static bool addSandboxURL(const FileURL& url, const std::string& suite);
};

namespace detail {
// A printed line held back so that it can be written later, or again. The
// fixed text is one of the store's string literals.
struct HeldLine {
  std::string_view text;
  std::string variable;
};
}  // namespace detail

// One scan's use of the shared suite: takes the suite's lock for its whole
// life (when it can), reads the file once, and registers a batch of folders
// with one write. Printed lines are those that the single operations would
// print, in the same order per folder. Not thread-safe.
class SharedSuiteSession {
 public:
  explicit SharedSuiteSession(std::string suite);

  bool locked() const { return lock_.has_value(); }

  // As BookmarkUtils::loadURLs, from the file read at the first load.
  std::optional<std::vector<FileURL>> loadURLs(BookmarkKeys key);

  // As addSandboxURL for each folder in order, with one write at the end;
  // one flag per folder, true when its entry was written.
  std::vector<bool> addSandboxURLs(const std::vector<FileURL>& urls);

 private:
  struct Resolved {
    std::optional<FileURL> url;
    std::vector<detail::HeldLine> lines;  // what resolving it printed
  };
  bool readOnce();
  const std::vector<Resolved>& resolvedSandboxEntries();

  std::string suite_;
  std::optional<platform::DefaultsLock> lock_;
  bool read_ = false;
  std::optional<platform::DefaultsStore> store_;
  std::optional<std::vector<Resolved>> sandboxResolved_;
};

}  // namespace zivuv

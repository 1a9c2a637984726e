#include "bookmarks/BookmarkUtils.h"

#include <unordered_map>

#include "names/Names.h"
#include "platform/print/Print.h"

namespace zivuv {

using platform::BookmarkKind;
using platform::DefaultsLock;
using platform::DefaultsStore;
using platform::printLine;
using platform::printLines;

namespace {

using detail::HeldLine;

void printAll(const std::vector<HeldLine>& lines) {
  for (const auto& line : lines) printLine(line.text, line.variable);
}

// Resolves transport data; the lines that a failure prints are appended to
// lines instead of being printed.
std::optional<FileURL> resolveTransport(const Data& data, std::vector<HeldLine>& lines) {
  const auto resolution = platform::resolveBookmark(data, BookmarkKind::Transport);
  if (resolution.error.empty()) return resolution.url;
  if (resolution.stale) lines.push_back({"Bookmark was stale....", {}});
  lines.push_back({"Error resolving from transport data:", resolution.error});
  return std::nullopt;
}

// Resolves a stored list of transport data in order, printing the lines of
// the entries that fail; those are left out.
std::vector<FileURL> resolveAllTransport(const std::vector<Data>& list) {
  std::vector<FileURL> urls;
  urls.reserve(list.size());
  for (const Data& data : list) {
    std::vector<HeldLine> lines;
    auto url = resolveTransport(data, lines);
    printAll(lines);
    if (url) urls.push_back(std::move(*url));
  }
  return urls;
}

// Resolves one secure bookmark; a failure prints its line.
std::optional<FileURL> resolveSecure(const Data& data) {
  const auto resolution = platform::resolveBookmark(data, BookmarkKind::Secure);
  if (!resolution.error.empty()) {
    printLine("Failed to convert data to secure URL:", resolution.error);
    return std::nullopt;
  }
  if (!resolution.url) return std::nullopt;
  return resolution.url->withSecurityScope();
}

}  // namespace

std::string_view rawValue(BookmarkKeys key) {
  switch (key) {
    case BookmarkKeys::sandboxKey: return "kSandboxKey";
    case BookmarkKeys::blockKey: return "kBlockedKey";
  }
  return "kSandboxKey";
}

const std::string& sharedSuiteName() {
  static const std::string name = names::kSharedSuite;
  return name;
}

const std::string& standardDomainName() {
  static const std::string name = names::kOwnDomain;
  return name;
}

std::string NotificationName::text() const { return std::string(interface) + "." + member; }

const NotificationName& NotificationName::DefaultsChanged() {
  static const NotificationName name{names::kDefaultsChangedInterface,
                                     names::kDefaultsChangedMember};
  return name;
}

std::optional<Data> BookmarkUtils::createTransportData(const FileURL& url) {
  auto creation = platform::createBookmark(url.path(), BookmarkKind::Transport);
  if (!creation.data) {
    printLine("Error creating transport data!", creation.error);
    return std::nullopt;
  }
  return std::move(creation.data);
}

std::optional<FileURL> BookmarkUtils::resolveTransportData(const Data& data) {
  std::vector<HeldLine> lines;
  auto url = resolveTransport(data, lines);
  printAll(lines);
  return url;
}

std::vector<FileURL> BookmarkUtils::loadSecureURLs() {
  const auto store = DefaultsStore::openDomain(standardDomainName());
  const auto list = store.dataArray(rawValue(BookmarkKeys::sandboxKey));
  std::vector<FileURL> urls;
  if (!list) return urls;
  urls.reserve(list->size());
  for (const Data& data : *list) {
    if (auto url = resolveSecure(data)) urls.push_back(std::move(*url));
  }
  return urls;
}

bool BookmarkUtils::saveSecureBookmark(const FileURL& url) {
  auto creation = platform::createBookmark(url.path(), BookmarkKind::Secure);
  if (!creation.data) {
    printLine("Error generating bookmark data for secure fileurl:", url.text());
    return false;
  }
  // One locked read-modify-write with one write at its end: a second writer
  // cannot slip in between, and a crash cannot lose the folder. Every stored
  // element is resolved once, as a load does, with the same lines.
  const auto lock = DefaultsLock::acquire(standardDomainName());
  auto store = DefaultsStore::openDomain(standardDomainName());
  const auto key = rawValue(BookmarkKeys::sandboxKey);
  std::vector<Data> list = store.dataArray(key).value_or(std::vector<Data>{});
  std::optional<std::size_t> previous;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const auto existing = resolveSecure(list[i]);
    if (!previous && existing && *existing == url) previous = i;
  }
  if (previous) list.erase(list.begin() + static_cast<std::ptrdiff_t>(*previous));
  list.push_back(std::move(*creation.data));
  store.setDataArray(key, list);
  return store.write(lock);
}

bool BookmarkUtils::resetSecureBookmarks() {
  const auto lock = DefaultsLock::acquire(standardDomainName());
  auto store = DefaultsStore::openDomain(standardDomainName());
  store.setDataArray(rawValue(BookmarkKeys::sandboxKey), {});
  return store.write(lock);
}

// --- SharedSuiteSession ---------------------------------------------------

SharedSuiteSession::SharedSuiteSession(std::string suite) : suite_(std::move(suite)) {
  // The service's own domain is never opened as a suite.
  if (suite_ != standardDomainName()) lock_ = DefaultsLock::acquire(suite_);
}

bool SharedSuiteSession::readOnce() {
  if (!read_) {
    read_ = true;
    if (suite_ != standardDomainName()) store_ = DefaultsStore::openSuite(suite_);
  }
  return store_.has_value();
}

const std::vector<SharedSuiteSession::Resolved>& SharedSuiteSession::resolvedSandboxEntries() {
  if (!sandboxResolved_) {
    sandboxResolved_.emplace();
    if (const auto list = store_->dataArray(rawValue(BookmarkKeys::sandboxKey))) {
      sandboxResolved_->reserve(list->size());
      for (const Data& data : *list) {
        Resolved entry;
        entry.url = resolveTransport(data, entry.lines);
        sandboxResolved_->push_back(std::move(entry));
      }
    }
  }
  return *sandboxResolved_;
}

std::optional<std::vector<FileURL>> SharedSuiteSession::loadURLs(BookmarkKeys key) {
  if (!readOnce()) {
    printLine("unable to load defaults for:", suite_);
    return std::nullopt;
  }
  if (key != BookmarkKeys::sandboxKey) {
    const auto list = store_->dataArray(rawValue(key));
    if (!list) {
      printLine("No previous bookmarks");
      return std::vector<FileURL>{};
    }
    return resolveAllTransport(*list);
  }
  // Looked at without copying: the listed ones are resolved once per session.
  if (!store_->holdsDataArray(rawValue(key))) {
    printLine("No previous bookmarks");
    return std::vector<FileURL>{};
  }
  std::vector<FileURL> urls;
  for (const auto& entry : resolvedSandboxEntries()) {
    if (!sandboxLinesPrinted_) printAll(entry.lines);
    if (entry.url) urls.push_back(*entry.url);
  }
  sandboxLinesPrinted_ = true;
  return urls;
}

std::vector<std::optional<platform::BookmarkFields>> SharedSuiteSession::listedRecords() {
  std::vector<std::optional<platform::BookmarkFields>> records;
  if (!readOnce()) return records;
  const auto list = store_->dataArray(rawValue(BookmarkKeys::sandboxKey));
  if (!list) return records;
  records.reserve(list->size());
  for (const Data& data : *list) {
    records.push_back(platform::decodeBookmark(data, BookmarkKind::Transport));
  }
  return records;
}

std::vector<bool> SharedSuiteSession::addSandboxURLs(const std::vector<FileURL>& urls,
                                                     const std::vector<Move>& moves) {
  // Nothing to add prints nothing and writes nothing: leave the stored list
  // unread (a second scan would copy and index every entry for nothing).
  if (urls.empty() && moves.empty()) return {};
  const std::size_t count = urls.size() + moves.size();
  std::vector<bool> written(count, false);
  if (!readOnce()) {
    for (std::size_t i = 0; i < count; ++i) {
      printLine("Unable to create user defaults with suite name:", suite_);
    }
    return written;
  }
  const auto key = rawValue(BookmarkKeys::sandboxKey);
  auto stored = store_->dataArray(key);
  std::vector<Data> entries;
  std::unordered_map<std::string, std::size_t> firstPosition;
  // The lines of the stored entries that do not resolve, printed once per
  // session: before the first add that reads them, unless a load printed
  // them already. Once per add, a scan of n folders with m such entries
  // printed n * m lines.
  std::vector<std::pair<std::string_view, std::string_view>> deadLines;
  if (stored) {
    entries = std::move(*stored);
    const auto& resolved = resolvedSandboxEntries();
    firstPosition.reserve(entries.size() + urls.size());
    for (std::size_t i = 0; i < resolved.size() && i < entries.size(); ++i) {
      if (resolved[i].url) firstPosition.emplace(resolved[i].url->text(), i);
      for (const auto& line : resolved[i].lines) deadLines.emplace_back(line.text, line.variable);
    }
  }

  std::vector<std::size_t> pending;
  // Each folder's transport data; a failure is told as an add tells it.
  const auto transportData = [&](const FileURL& url) {
    auto data = BookmarkUtils::createTransportData(url);
    if (!data) {
      printLine("Failed to generate transport data!");
    } else if (!sandboxLinesPrinted_) {
      printLines(deadLines);
      sandboxLinesPrinted_ = true;
    }
    return data;
  };
  // The moves first: an add of the same folder then renews the moved entry.
  for (std::size_t m = 0; m < moves.size(); ++m) {
    if (moves[m].position >= entries.size()) continue;
    auto data = transportData(moves[m].url);
    if (!data) continue;
    entries[moves[m].position] = std::move(*data);
    firstPosition[moves[m].url.text()] = moves[m].position;
    pending.push_back(urls.size() + m);
  }
  for (std::size_t i = 0; i < urls.size(); ++i) {
    auto data = transportData(urls[i]);
    if (!data) continue;
    if (const auto it = firstPosition.find(urls[i].text()); it != firstPosition.end()) {
      entries[it->second] = std::move(*data);
    } else {
      // A later add of this batch matches the new entry by the URL it
      // resolves to, as it would after a write of its own: a URL without
      // its trailing slash, or through a link, never matches it.
      // The record holds the real path just taken, which is what resolving
      // it gives: no need to look at the disk again.
      std::string recorded;
      if (platform::validateBookmark(*data, BookmarkKind::Transport, &recorded).empty()) {
        firstPosition.emplace(FileURL::fromPath(recorded, true).text(), entries.size());
      }
      entries.push_back(std::move(*data));
    }
    pending.push_back(i);
  }
  if (pending.empty()) return written;

  store_->setDataArray(key, entries);
  // The stored list now is what was written (or attempted); a later batch in
  // this session starts from it. Its dead entries were reported already.
  sandboxResolved_.reset();
  if (store_->write(lock_)) {
    for (const std::size_t i : pending) written[i] = true;
    return written;
  }
  // Every add of the batch failed; each reports it, as it would have alone,
  // and the write reported the first.
  for (std::size_t n = 1; n < pending.size(); ++n) {
    printLine("Unable to write defaults for:", suite_);
  }
  store_.reset();
  read_ = false;
  return written;
}

}  // namespace zivuv

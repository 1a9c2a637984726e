#include "bookmarks/BookmarkUtils.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

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

bool BookmarkUtils::saveSecureBookmark(const FileURL& url,
                                       const std::function<bool()>& stillWanted) {
  auto creation = platform::createBookmark(url.path(), BookmarkKind::Secure);
  if (!creation.data) {
    printLine("Error generating bookmark data for secure fileurl:", url.text());
    return false;
  }
  // Every stored element is resolved once, as a load does, with the same
  // lines; before the lock, since resolving looks at each folder.
  const auto key = rawValue(BookmarkKeys::sandboxKey);
  std::unordered_map<std::string, std::optional<FileURL>> resolved;
  const auto resolveAll = [&](const std::vector<Data>& list) {
    for (const Data& data : list) {
      std::string bytes(data.begin(), data.end());
      if (!resolved.contains(bytes)) resolved.emplace(std::move(bytes), resolveSecure(data));
    }
  };
  resolveAll(DefaultsStore::openDomain(standardDomainName())
                 .dataArray(key)
                 .value_or(std::vector<Data>{}));
  // One locked read-modify-write with one write at its end: a second writer
  // cannot slip in between, and a crash cannot lose the folder.
  const auto lock = DefaultsLock::acquire(standardDomainName());
  auto store = DefaultsStore::openDomain(standardDomainName());
  std::vector<Data> list = store.dataArray(key).value_or(std::vector<Data>{});
  resolveAll(list);  // what another writer stored meanwhile
  std::optional<std::size_t> previous;
  for (std::size_t i = 0; i < list.size() && !previous; ++i) {
    if (resolved.at(std::string(list[i].begin(), list[i].end())) == url) previous = i;
  }
  if (previous) list.erase(list.begin() + static_cast<std::ptrdiff_t>(*previous));
  list.push_back(std::move(*creation.data));
  store.setDataArray(key, list);
  if (stillWanted && !stillWanted()) return false;
  return store.write(lock);
}

bool BookmarkUtils::resetSecureBookmarks() {
  const auto lock = DefaultsLock::acquire(standardDomainName());
  auto store = DefaultsStore::openDomain(standardDomainName());
  store.setDataArray(rawValue(BookmarkKeys::sandboxKey), {});
  return store.write(lock);
}

// --- SharedSuiteSession ---------------------------------------------------

namespace {

// Tries of a locked merge that meets entries stored since the session read
// the lists: each resolves those without the lock; the last one under it.
constexpr int kMergeTries = 3;

std::string bytesOf(const Data& data) { return std::string(data.begin(), data.end()); }

}  // namespace

SharedSuiteSession::SharedSuiteSession(std::string suite) : suite_(std::move(suite)) {}

bool SharedSuiteSession::readOnce() {
  if (!read_) {
    read_ = true;
    // The service's own domain is never opened as a suite.
    if (suite_ != standardDomainName()) store_ = DefaultsStore::openSuite(suite_);
  }
  return store_.has_value();
}

const SharedSuiteSession::Resolved& SharedSuiteSession::resolve(const Data& data) {
  auto [it, added] = resolved_.try_emplace(bytesOf(data));
  if (added) it->second.url = resolveTransport(data, it->second.lines);
  return it->second;
}

bool SharedSuiteSession::allResolved(const std::vector<Data>& entries) const {
  return std::all_of(entries.begin(), entries.end(),
                     [&](const Data& data) { return resolved_.contains(bytesOf(data)); });
}

std::optional<std::vector<FileURL>> SharedSuiteSession::loadURLs(BookmarkKeys key) {
  if (!readOnce()) {
    printLine("unable to load defaults for:", suite_);
    return std::nullopt;
  }
  const auto list = store_->dataArray(rawValue(key));
  if (!list) {
    printLine("No previous bookmarks");
    return std::vector<FileURL>{};
  }
  // The listed ones' lines are printed once per session; the blocked ones'
  // at each load.
  const bool print = key != BookmarkKeys::sandboxKey || !sandboxLinesPrinted_;
  std::vector<FileURL> urls;
  urls.reserve(list->size());
  for (const Data& data : *list) {
    const auto& entry = resolve(data);
    if (print) printAll(entry.lines);
    if (entry.url) urls.push_back(*entry.url);
  }
  if (key == BookmarkKeys::sandboxKey) sandboxLinesPrinted_ = true;
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

std::vector<SharedSuiteSession::Added> SharedSuiteSession::addSandboxURLs(
    const std::vector<FileURL>& urls, const std::vector<Move>& moves,
    const std::function<bool()>& stillWanted, std::vector<std::optional<Data>> records) {
  lockHeld_ = {};
  // Nothing to add prints nothing and writes nothing: leave the stored list
  // unread (a second scan would copy and index every entry for nothing).
  if (urls.empty() && moves.empty()) return {};
  const std::size_t count = urls.size() + moves.size();
  std::vector<Added> outcome(count, Added::Failed);
  const auto cannotOpen = [&] {
    for (std::size_t i = 0; i < count; ++i) {
      printLine("Unable to create user defaults with suite name:", suite_);
    }
    return outcome;
  };
  if (!readOnce()) return cannotOpen();
  const auto key = rawValue(BookmarkKeys::sandboxKey);
  // The entries the moves are about, as this session read them.
  const auto readListed = store_->dataArray(key).value_or(std::vector<Data>{});

  // Each folder's transport data, made before the lock (it looks at the
  // folder); a failure is told as an add tells it. The lines of the stored
  // entries that do not resolve are printed once per session, before the
  // first add that reads them, unless a load printed them already.
  const auto transportData = [&](const FileURL& url, std::optional<Data> made) {
    auto data = made ? std::move(made) : BookmarkUtils::createTransportData(url);
    if (!data) {
      printLine("Failed to generate transport data!");
    } else if (!sandboxLinesPrinted_) {
      for (const Data& entry : readListed) printAll(resolve(entry).lines);
      sandboxLinesPrinted_ = true;
    }
    return data;
  };
  // The moves first: an add of the same folder then renews the moved entry.
  std::vector<std::optional<Data>> moveData(moves.size());
  for (std::size_t m = 0; m < moves.size(); ++m) {
    if (moves[m].position < readListed.size()) {
      moveData[m] = transportData(moves[m].url, moves[m].record);
    }
  }
  std::vector<std::optional<Data>> urlData(urls.size());
  records.resize(urls.size());
  for (std::size_t i = 0; i < urls.size(); ++i) {
    urlData[i] = transportData(urls[i], std::move(records[i]));
  }

  using Clock = std::chrono::steady_clock;
  std::optional<DefaultsLock> lock;
  std::optional<DefaultsStore> fresh;
  std::vector<Data> entries, blockedEntries;
  Clock::time_point locked;
  for (int attempt = 1;; ++attempt) {
    lock = DefaultsLock::acquire(suite_);
    locked = Clock::now();
    fresh = DefaultsStore::openSuite(suite_);
    if (!fresh) {
      lockHeld_ += Clock::now() - locked;
      return cannotOpen();
    }
    entries = fresh->dataArray(key).value_or(std::vector<Data>{});
    blockedEntries =
        fresh->dataArray(rawValue(BookmarkKeys::blockKey)).value_or(std::vector<Data>{});
    if (attempt == kMergeTries || (allResolved(entries) && allResolved(blockedEntries))) break;
    // Stored since the session read the lists: resolved without the lock.
    lock.reset();
    lockHeld_ += Clock::now() - locked;
    for (const auto* list : {&entries, &blockedEntries}) {
      for (const Data& data : *list) (void)resolve(data);
    }
  }

  std::unordered_set<std::string> blocked;
  for (const Data& data : blockedEntries) {
    if (const auto& url = resolve(data).url) blocked.insert(url->text());
  }
  std::unordered_map<std::string, std::size_t> firstPosition;
  firstPosition.reserve(entries.size() + urls.size());
  std::unordered_map<std::string, std::vector<std::size_t>> positionsOf;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (const auto& url = resolve(entries[i]).url) firstPosition.emplace(url->text(), i);
    positionsOf[bytesOf(entries[i])].push_back(i);
  }

  std::vector<std::size_t> pending;
  // A move applies to its entry only while that entry is as it was read,
  // wherever it stands now.
  std::unordered_map<std::string, std::size_t> taken;
  for (std::size_t m = 0; m < moves.size(); ++m) {
    Added& result = outcome[urls.size() + m];
    result = Added::Superseded;
    if (moves[m].position >= readListed.size()) continue;
    const auto found = positionsOf.find(bytesOf(readListed[moves[m].position]));
    if (found == positionsOf.end() || taken[found->first] >= found->second.size()) continue;
    if (blocked.contains(moves[m].url.text())) {
      result = Added::Blocked;
      continue;
    }
    if (firstPosition.contains(moves[m].url.text())) continue;  // listed by now
    if (!moveData[m]) {
      result = Added::Failed;
      continue;
    }
    const std::size_t position = found->second[taken[found->first]++];
    entries[position] = std::move(*moveData[m]);
    firstPosition[moves[m].url.text()] = position;
    pending.push_back(urls.size() + m);
  }
  for (std::size_t i = 0; i < urls.size(); ++i) {
    if (blocked.contains(urls[i].text())) {
      outcome[i] = Added::Blocked;
      continue;
    }
    if (!urlData[i]) continue;
    Data& data = *urlData[i];
    if (const auto it = firstPosition.find(urls[i].text()); it != firstPosition.end()) {
      entries[it->second] = std::move(data);
    } else {
      // A later add of this batch matches the new entry by the URL it
      // resolves to, as it would after a write of its own: a URL without
      // its trailing slash, or through a link, never matches it.
      // The record holds the real path just taken, which is what resolving
      // it gives: no need to look at the disk again.
      std::string recorded;
      if (platform::validateBookmark(data, BookmarkKind::Transport, &recorded).empty()) {
        firstPosition.emplace(FileURL::fromPath(recorded, true).text(), entries.size());
      }
      entries.push_back(std::move(data));
    }
    pending.push_back(i);
  }
  const auto done = [&] {
    lockHeld_ += Clock::now() - locked;
    return outcome;
  };
  if (pending.empty()) return done();
  if (stillWanted && !stillWanted()) {
    for (const std::size_t i : pending) outcome[i] = Added::Superseded;
    return done();
  }

  fresh->setDataArray(key, entries);
  if (fresh->write(lock)) {
    for (const std::size_t i : pending) outcome[i] = Added::Written;
    // A later batch of this session starts from what was written.
    store_ = std::move(fresh);
    return done();
  }
  // Every add of the batch failed; each reports it, as it would have alone,
  // and the write reported the first.
  for (std::size_t n = 1; n < pending.size(); ++n) {
    printLine("Unable to write defaults for:", suite_);
  }
  return done();
}

}  // namespace zivuv

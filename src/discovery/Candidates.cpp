#include "discovery/Candidates.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace zivuv::discovery {

namespace {

// Errors that say nothing is at a path, as opposed to a file system that
// cannot be looked at (EACCES, EIO, ENOTCONN, ESTALE, EHOSTDOWN, ...).
bool nothingThere(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

std::string reasonOf(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

RecordedFolder unreachable(std::string reason) {
  return {RecordedFolder::State::Unreachable, 0, 0, std::move(reason)};
}

}  // namespace

RecordedFolder lookAtRecorded(const std::string& path, std::uint64_t device) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {RecordedFolder::State::Present, st.st_dev, st.st_ino, {}};
  } else if (!nothingThere(errno)) {
    return unreachable(reasonOf(errno));
  }
  std::string parent = path;
  while (parent != "/") {
    const std::size_t slash = parent.rfind('/');
    parent = slash == 0 || slash == std::string::npos ? "/" : parent.substr(0, slash);
    if (::stat(parent.c_str(), &st) == 0) {
      if (static_cast<std::uint64_t>(st.st_dev) == device) break;
      return unreachable("not mounted: " + parent + " is on another device");
    }
    if (!nothingThere(errno)) return unreachable(reasonOf(errno));
  }
  return {};
}

EntryKind classifyEntry(int dirFd, const char* name, unsigned char type) {
  if (name[0] == '.') return EntryKind::Hidden;  // and "." and ".."
  if (type == DT_DIR) return EntryKind::Candidate;
  if (type == DT_LNK) return EntryKind::SymbolicLink;
  if (type != DT_UNKNOWN) return EntryKind::NotAFolder;
  // Not every file system fills d_type.
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::Missing;
  if (S_ISLNK(st.st_mode)) return EntryKind::SymbolicLink;
  return S_ISDIR(st.st_mode) ? EntryKind::Candidate : EntryKind::NotAFolder;
}

KnownFolders::KnownFolders(const std::vector<FileURL>& blocked, const std::vector<FileURL>& listed,
                           std::function<Records()> records)
    : source_(std::move(records)) {
  // Matching by URL text gives the same answer as comparing with every
  // blocked and then every listed folder, in constant time per candidate.
  byText_.reserve(blocked.size() + listed.size());
  for (const auto& url : blocked) byText_.try_emplace(url.text(), Kind::Blocked);
  for (const auto& url : listed) byText_.try_emplace(url.text(), Kind::Listed);
}

const std::vector<std::size_t>* KnownFolders::recordedAs(dev_t device, ino_t inode) const {
  if (!byIdentity_) {
    byIdentity_.emplace();
    if (source_) records_ = source_();
    byIdentity_->reserve(records_.size());
    for (std::size_t i = 0; i < records_.size(); ++i) {
      if (records_[i]) (*byIdentity_)[{records_[i]->device, records_[i]->inode}].push_back(i);
    }
  }
  const auto it = byIdentity_->find({device, inode});
  return it == byIdentity_->end() ? nullptr : &it->second;
}

std::optional<KnownFolders::Kind> KnownFolders::find(const FileURL& url) const {
  const auto it = byText_.find(url.text());
  if (it == byText_.end()) return std::nullopt;
  return it->second;
}

namespace {

// The listed entry that a repository found at another path than its own
// is: the first one recorded with its device and inode whose path still
// leads to it (an alias: a bind mount, a second way in), else the first
// one with nothing left at its path on a file system still there (moved).
// One whose path leads to another folder now, or lies on a file system
// that is not there, is neither.
void relate(Judgement& judgement, const KnownFolders& known) {
  const auto* positions = known.recordedAs(judgement.test.device, judgement.test.inode);
  if (positions == nullptr) return;
  std::optional<std::size_t> moved;
  for (const std::size_t position : *positions) {
    const auto& record = known.record(position);
    const auto there = lookAtRecorded(record.path, record.device);
    if (there.state == RecordedFolder::State::Present && there.device == judgement.test.device &&
        there.inode == judgement.test.inode) {
      judgement.verdict = Judgement::Verdict::Alias;
      judgement.entry = position;
      return;
    }
    if (there.state == RecordedFolder::State::Gone && !moved) moved = position;
  }
  if (moved && judgement.verdict == Judgement::Verdict::Repository) {
    judgement.verdict = Judgement::Verdict::Moved;
  }
  judgement.entry = moved;
}

}  // namespace

Judgement judgeCandidate(const WalkEntry& entry, const KnownFolders& known, bool withReason) {
  using Verdict = Judgement::Verdict;
  Judgement judgement;
  if (const auto match = known.find(entry.url)) {
    if (*match == KnownFolders::Kind::Blocked) return {Verdict::Blocked, false, {}, {}};
    judgement.verdict = Verdict::Listed;
    judgement.descend = !entry.deepest && !locatedAt(entry.dirFd, entry.name, entry.url.path());
    return judgement;
  }
  judgement.test = testRepositoryAt(entry.dirFd, entry.name, entry.url.path(), withReason);
  switch (judgement.test.outcome) {
    case RepositoryTestResult::Outcome::NotRepository:
      judgement.descend = !entry.deepest && !judgement.test.located;
      return judgement;
    case RepositoryTestResult::Outcome::BeingWritten:
      judgement.verdict = Verdict::BeingWritten;
      break;
    case RepositoryTestResult::Outcome::Repository: judgement.verdict = Verdict::Repository; break;
  }
  relate(judgement, known);
  return judgement;
}

platform::BookmarkCreation recordOf(const WalkEntry& entry, const RepositoryTestResult& test) {
  using platform::BookmarkKind;
  const bool plainlyListed = entry.inode != 0 && test.inode == entry.inode &&
                             test.device == entry.parentDevice;
  if (!plainlyListed) return platform::createBookmark(entry.url.path(), BookmarkKind::Transport);
  return platform::createBookmarkOfListed(entry.url.path(), entry.parentDevice, entry.inode,
                                          BookmarkKind::Transport);
}

}  // namespace zivuv::discovery

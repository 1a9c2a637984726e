#include "discovery/Candidates.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace zivuv::discovery {

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

KnownFolders::KnownFolders(const std::vector<FileURL>& blocked, const std::vector<FileURL>& listed) {
  // Matching by URL text gives the same answer as comparing with every
  // blocked and then every listed folder, in constant time per candidate.
  byText_.reserve(blocked.size() + listed.size());
  for (const auto& url : blocked) byText_.try_emplace(url.text(), Kind::Blocked);
  for (const auto& url : listed) byText_.try_emplace(url.text(), Kind::Listed);
}

std::optional<KnownFolders::Kind> KnownFolders::find(const FileURL& url) const {
  const auto it = byText_.find(url.text());
  if (it == byText_.end()) return std::nullopt;
  return it->second;
}

Judgement judgeCandidate(const WalkEntry& entry, const KnownFolders& known) {
  using Verdict = Judgement::Verdict;
  if (const auto match = known.find(entry.url)) {
    if (*match == KnownFolders::Kind::Blocked) return {Verdict::Blocked, false};
    return {Verdict::Listed, !entry.deepest && !isRepositoryAt(entry.dirFd, entry.name, entry.url.path())};
  }
  if (isRepositoryAt(entry.dirFd, entry.name, entry.url.path())) return {Verdict::Repository, false};
  return {Verdict::NotRepository, !entry.deepest};
}

}  // namespace zivuv::discovery

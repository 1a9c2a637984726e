#include "discovery/Candidates.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

namespace zivuv::discovery {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const noexcept { (void)::closedir(dir); }
};

}  // namespace

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

std::vector<FileURL> listSubfolders(const FileURL& folder) {
  std::vector<FileURL> entries;
  struct stat st {};
  if (::stat(folder.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return entries;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.path().c_str()));
  if (!dir) return entries;
  const int dirFd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    if (classifyEntry(dirFd, entry->d_name, entry->d_type) == EntryKind::Candidate) {
      entries.push_back(folder.appending(entry->d_name, true));
    }
  }
  return entries;
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

}  // namespace zivuv::discovery

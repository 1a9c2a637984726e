#include "discovery/RepositoryTest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "discovery/Libgit2.h"
#include "platform/fd/UniqueFd.h"

namespace zivuv::discovery {
namespace {

using platform::UniqueFd;
using Outcome = RepositoryTestResult::Outcome;

constexpr const char* kNotARepository = "not a repository";

// Calls each(name, d_type) for every entry of the folder open as fd, "."
// and ".." included; false when it cannot be listed to its end.
template <typename Each>
bool forEachEntry(int fd, const Each& each) {
  alignas(dirent64) std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n <= 0) return n == 0;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
      at += entry->d_reclen;
      each(std::string_view(entry->d_name), entry->d_type);
    }
  }
}

// Whether the entry name of the folder open as dirFd was written within
// the lifetime of a sign of writing (a clock that runs behind counts as
// now). Its data, not its status: git writes into a lock file or a pack as
// long as it holds it.
bool changedLately(int dirFd, const char* name) {
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  const auto since = std::chrono::system_clock::now() - kWriteSignLifetime;
  return std::chrono::system_clock::time_point(std::chrono::seconds(st.st_mtim.tv_sec)) >=
         std::chrono::time_point_cast<std::chrono::seconds>(since);
}

// The lock files that git holds in a git folder while it writes there.
bool isWriteLock(std::string_view name) {
  for (std::string_view lock :
       {"index.lock", "HEAD.lock", "config.lock", "shallow.lock", "packed-refs.lock"}) {
    if (name == lock) return true;
  }
  return false;
}

// A pack still being received in objects/pack of the git folder open as
// gitFd: a temporary pack or index, or a .keep file without its pack.
bool receivingPack(int gitFd) {
  const UniqueFd pack(::openat(gitFd, "objects/pack", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!pack) return false;
  std::vector<std::string> keeps, packs;
  bool temporary = false;
  (void)forEachEntry(pack.get(), [&](std::string_view name, unsigned char) {
    if ((name.starts_with("tmp_pack_") || name.starts_with("tmp_idx_")) && !temporary) {
      temporary = changedLately(pack.get(), std::string(name).c_str());
    } else if (name.ends_with(".keep")) {
      keeps.emplace_back(name.substr(0, name.size() - 5));
    } else if (name.ends_with(".pack")) {
      packs.emplace_back(name.substr(0, name.size() - 5));
    }
  });
  if (temporary) return true;
  for (const auto& keep : keeps) {
    if (std::find(packs.begin(), packs.end(), keep) == packs.end() &&
        changedLately(pack.get(), (keep + ".keep").c_str())) {
      return true;
    }
  }
  return false;
}

// Whether git writes the git folder at gitDir (whose objects lie in
// commonDir, the same folder but for a linked worktree): a lock file that
// it holds, or a pack it receives.
bool writtenAt(const std::string& gitDir, const std::string& commonDir) {
  const bool linked = commonDir != gitDir;
  for (const std::string* dir : {&gitDir, &commonDir}) {
    const UniqueFd fd(::open(dir->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool locked = false;
    if (fd) {
      (void)forEachEntry(fd.get(), [&](std::string_view name, unsigned char) {
        locked =
            locked || (isWriteLock(name) && changedLately(fd.get(), std::string(name).c_str()));
      });
    }
    if (fd && (locked || ((!linked || dir == &commonDir) && receivingPack(fd.get())))) return true;
    if (!linked) break;
  }
  return false;
}

// The user that libgit2 holds to be the current one; it never changes.
uid_t effectiveUser() {
  static const uid_t user = ::geteuid();
  return user;
}

bool ownedByAnother(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && st.st_uid != effectiveUser();
}

// The whole answer from libgit2, by path: what the layout leaves in doubt.
// Without libgit2 nothing decides: the folder is neither registered nor
// descended into.
RepositoryTestResult askLibgit2(const std::string& path, bool withReason) {
  const Libgit2Hold hold;  // one load for the open and the locate-only call
  RepositoryTestResult result;
  Libgit2Open open = openWithLibgit2(path);
  switch (open.result) {
    case Libgit2Open::Result::Opened: {
      result.located = true;
      result.outcome =
          writtenAt(open.gitDir, open.commonDir) ? Outcome::BeingWritten : Outcome::Repository;
      struct stat st {};
      if (::stat(path.c_str(), &st) == 0) {
        result.device = st.st_dev;
        result.inode = st.st_ino;
      }
      return result;
    }
    case Libgit2Open::Result::Unavailable:
      result.located = true;
      result.undecided = true;
      result.reason = std::move(open.message);
      return result;
    case Libgit2Open::Result::Refused: break;
  }
  if (withReason) result.reason = std::move(open.message);
  const std::optional<bool> located = locateWithLibgit2(path);
  result.located = located.value_or(true);
  result.undecided = !located;
  result.foreignOwner = result.located && (ownedByAnother(path) || ownedByAnother(path + "/.git"));
  return result;
}

// A folder that the fast path found to be no repository; with withReason,
// libgit2 names what it misses. The answer stays the fast path's, even
// when the folder changed in between.
RepositoryTestResult notRepository(const std::string& path, bool withReason) {
  RepositoryTestResult result;
  if (!withReason) return result;
  const RepositoryTestResult words = askLibgit2(path, true);
  result.reason = words.undecided || words.reason.empty() ? kNotARepository : words.reason;
  return result;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isNameChar(char c) { return isAlpha(c) || (c >= '0' && c <= '9') || c == '-'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool equalsLower(std::string_view text, std::string_view lowerCase) {
  if (text.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != lowerCase[i]) return false;
  }
  return true;
}
std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}
// What is left of a line once a comment is cut off.
std::string_view beforeComment(std::string_view text) {
  return text.substr(0, std::min(text.find('#'), text.find(';')));
}

// A section header as git writes them: [name], [name.sub] or [name "sub"],
// with nothing but a comment after it; its name, or nothing.
std::optional<std::string_view> sectionName(std::string_view line, bool& subsection) {
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos || !trimmed(beforeComment(line.substr(close + 1))).empty()) {
    return std::nullopt;
  }
  const std::string_view header = line.substr(1, close - 1);
  std::size_t nameEnd = 0;
  while (nameEnd < header.size() && isNameChar(header[nameEnd])) ++nameEnd;
  const std::string_view rest = header.substr(nameEnd);
  subsection = !rest.empty();
  const auto quotes = std::count(rest.begin(), rest.end(), '"');
  const bool dotted =
      subsection && rest.front() == '.' &&
      std::all_of(rest.begin(), rest.end(), [](char c) { return isNameChar(c) || c == '.'; });
  const bool quoted = subsection && isSpace(rest.front()) && quotes == 2 &&
                      trimmed(rest).front() == '"' && trimmed(rest).back() == '"';
  if (nameEnd == 0 || (subsection && !dotted && !quoted)) return std::nullopt;
  return header.substr(0, nameEnd);
}

// What a repository's own config says of its format, for libgit2 1.5.
enum class Format {
  Readable,    // format 0 (whose extensions nothing reads), which libgit2 opens
  Unreadable,  // a format above 1, or 1 with an extension other than noop
  Unsure,      // anything else: left to libgit2
};

// Reads the format from a config that parses line by line as git's own
// syntax, with core.repositoryformatversion set once to a plain number.
// A quoted or escaped value, a continued line, an include or anything
// unusual leaves the answer to libgit2, which reads the same file and, for
// a missing key or a format-1 repository's extensions, the user's and the
// system's files too; those can only add extensions, never remove one.
Format plainFormat(std::string_view text) {
  if (text.find('\0') != std::string_view::npos || text.find('\\') != std::string_view::npos) {
    return Format::Unsure;
  }
  enum class Section { None, Core, Extensions, Other } section = Section::None;
  int versions = 0;
  std::string_view version;
  bool unknownExtension = false;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      bool subsection = false;
      const auto name = sectionName(line, subsection);
      if (!name || equalsLower(*name, "include") || equalsLower(*name, "includeif") ||
          (subsection && equalsLower(*name, "extensions"))) {
        return Format::Unsure;
      }
      section = subsection                         ? Section::Other
                : equalsLower(*name, "core")       ? Section::Core
                : equalsLower(*name, "extensions") ? Section::Extensions
                                                   : Section::Other;
      continue;
    }
    // key, key = value, each with an optional comment; no quoted values.
    if (section == Section::None || !isAlpha(line.front()) ||
        line.find('"') != std::string_view::npos) {
      return Format::Unsure;
    }
    std::size_t keyEnd = 0;
    while (keyEnd < line.size() && isNameChar(line[keyEnd])) ++keyEnd;
    const std::string_view key = line.substr(0, keyEnd);
    const std::string_view rest = trimmed(line.substr(keyEnd));
    if (!rest.empty() && rest.front() != '=' && rest.front() != '#' && rest.front() != ';') {
      return Format::Unsure;
    }
    if (section == Section::Extensions) {
      unknownExtension = unknownExtension || !equalsLower(key, "noop");
    } else if (section == Section::Core && equalsLower(key, "repositoryformatversion")) {
      if (rest.empty() || rest.front() != '=') return Format::Unsure;
      version = trimmed(beforeComment(rest.substr(1)));
      ++versions;
    }
  }
  if (versions != 1 || version.empty() || version.size() > 6 ||
      !std::all_of(version.begin(), version.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return Format::Unsure;
  }
  const int number = std::stoi(std::string(version));
  if (number == 0) return Format::Readable;
  return number > 1 || unknownExtension ? Format::Unreadable : Format::Unsure;
}

// Reads the config of the git folder open as gitFd, when it is small.
Format readFormat(int gitFd) {
  const UniqueFd config(::openat(gitFd, "config", O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!config) return Format::Unsure;
  std::array<char, 16384> buffer;
  const ssize_t n = ::read(config.get(), buffer.data(), buffer.size());
  // A file that fills the buffer is larger than git makes one: libgit2 reads it.
  if (n < 0 || static_cast<std::size_t>(n) == buffer.size()) return Format::Unsure;
  return plainFormat(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
}

// The entries of a .git folder that decide: d_type, or DT_UNKNOWN when the
// file system does not give it, or a bit of their own.
struct GitFolderListing {
  bool head = false, objects = false, refs = false, config = false, other = false;
  bool locked = false;  // a lock file of git that changed lately
};

// Whether a folder entry of that name and d_type is what libgit2 wants:
// HEAD a regular file, objects and refs folders (links and unknown types
// are left to libgit2, as is a commondir file, which sends libgit2 to look
// for objects and refs elsewhere).
void noteEntry(GitFolderListing& git, int gitFd, std::string_view name, unsigned char type) {
  if (name == "HEAD") {
    git.head = true;
    git.other = git.other || type != DT_REG;
  } else if (name == "objects" || name == "refs") {
    (name == "objects" ? git.objects : git.refs) = true;
    git.other = git.other || type != DT_DIR;
  } else if (name == "config") {
    git.config = type == DT_REG;
  } else if (name == "commondir") {
    git.other = true;
  } else if (isWriteLock(name) && !git.locked) {
    git.locked = changedLately(gitFd, std::string(name).c_str());
  }
}

}  // namespace

namespace {

// How much a test wants to know: only whether a git folder is there, or
// what libgit2's open makes of it, with its message or without.
enum class Want { Location, Verdict, VerdictAndReason };

RepositoryTestResult test(int dirFd, const char* name, const std::string& path, Want want) {
  const bool withReason = want == Want::VerdictAndReason;
  const auto slowly = [&] {
    if (want != Want::Location) return askLibgit2(path, withReason);
    RepositoryTestResult result;
    const std::optional<bool> located = locateWithLibgit2(path);
    result.located = located.value_or(true);
    result.undecided = !located;
    return result;
  };
  // What a scan pays per candidate. A plain folder: two calls
  // (name/.git, name/HEAD), each relative to the open folder. A working
  // tree: the open .git folder's status (its owner) and listing (HEAD,
  // objects, refs, config and lock files with their types), the folder's
  // status (its owner, device and inode), its config read once, and the
  // listing of objects/pack. libgit2 is asked, by path, only where the
  // layout or the config leaves a doubt: a .git file, a bare repository, an
  // incomplete .git folder, another owner, another format or extensions.
  std::string gitPath = std::string(name) + "/.git";
  const UniqueFd git(::openat(dirFd, gitPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const int openError = git ? 0 : errno;
  GitFolderListing listing;
  if (git && !forEachEntry(git.get(), [&](std::string_view entry, unsigned char type) {
        noteEntry(listing, git.get(), entry, type);
      })) {
    return slowly();
  }
  if (!git || !listing.head) {
    // ENOENT: nothing at name/.git, or a dangling link; a .git folder
    // without HEAD: libgit2 finds no git folder there and goes on to name
    // itself, a bare git folder only with a HEAD of its own. ENOTDIR: a .git
    // file (a linked worktree, a submodule), which only libgit2 reads; any
    // other error (EACCES, ELOOP) is left to libgit2 too.
    if (openError != 0 && openError != ENOENT) return slowly();
    struct stat st {};
    gitPath.replace(gitPath.size() - 5, std::string::npos, "/HEAD");
    if (::fstatat(dirFd, gitPath.c_str(), &st, 0) != 0 && errno == ENOENT) {
      return notRepository(path, withReason);
    }
    return slowly();
  }
  RepositoryTestResult result;
  if (listing.other || !listing.objects || !listing.refs) return slowly();
  result.located = true;
  if (want == Want::Location) return result;
  struct stat gitStatus {};
  struct stat folderStatus {};
  if (!listing.config || ::fstat(git.get(), &gitStatus) != 0 ||
      ::fstatat(dirFd, name, &folderStatus, 0) != 0 || gitStatus.st_uid != effectiveUser() ||
      folderStatus.st_uid != effectiveUser()) {
    return askLibgit2(path, withReason);
  }
  switch (readFormat(git.get())) {
    case Format::Readable: break;
    case Format::Unsure: return askLibgit2(path, withReason);
    case Format::Unreadable:
      // libgit2 locates it and refuses it; it is asked only for its words
      // (libgit2 1.5 leaks a little memory at each open of a format-1
      // repository, which a scan of such a folder would repeat forever).
      result = notRepository(path, withReason);
      result.located = true;
      return result;
  }
  result.device = folderStatus.st_dev;
  result.inode = folderStatus.st_ino;
  result.outcome =
      listing.locked || receivingPack(git.get()) ? Outcome::BeingWritten : Outcome::Repository;
  return result;
}

}  // namespace

RepositoryTestResult testRepositoryAt(int dirFd, const char* name, const std::string& path,
                                      bool withReason) {
  return test(dirFd, name, path, withReason ? Want::VerdictAndReason : Want::Verdict);
}

bool locatedAt(int dirFd, const char* name, const std::string& path) {
  return test(dirFd, name, path, Want::Location).located;
}

RepositoryTestResult testRepository(const std::string& path, bool withReason) {
  return testRepositoryAt(AT_FDCWD, path.c_str(), path, withReason);
}

bool openedByLibgit2(const std::string& path, std::string* reason) {
  Libgit2Open open = openWithLibgit2(path);
  if (open.result != Libgit2Open::Result::Opened && reason != nullptr) {
    *reason = std::move(open.message);
  }
  return open.result == Libgit2Open::Result::Opened;
}

}  // namespace zivuv::discovery

#pragma once

// What both benchmark programs share: clocks and summaries, temporary
// folders, the repository fixture, and a description of the machine.

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace zivuv::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
  std::size_t count = 0;
};
// Median, minimum and maximum; zeros for an empty set.
Summary summarize(std::vector<double> values);
// The value at fraction q (0..1) of the sorted set, nearest rank.
double percentile(std::vector<double> values, double q);

// A folder made with mkdtemp under $TMPDIR (or /var/tmp, which lies on the
// same kind of disk as a home folder), removed with everything in it when
// the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  // The real path (no symbolic link in it).
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool makeFolder(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);
void removeTree(const std::string& path);

// What buildFixture made. Repositories and plain folders are the candidates
// of a scan; plain files and hidden folders (each hidden one holding a
// repository) must be left out by the listing.
struct Fixture {
  std::size_t subfolders = 0;
  std::size_t repositories = 0;
  std::size_t plainFiles = 0;
  std::size_t hiddenFolders = 0;
};

// Fills the existing folder root with n visible subfolders, every second one
// a repository, plus n/10 plain files and max(5, n/100) hidden folders. A
// repository is made the way `git init` lays out what opening one reads:
// .git/HEAD naming refs/heads/main, .git/objects/ with pack/, .git/refs/ and
// .git/config with format version 0, written directly so that 5,000 of them
// take about a second. false with a
// message on standard error when anything could not be made.
bool buildFixture(const std::string& root, std::size_t n, Fixture& out);

// What buildDeepFixture made: a <host>/<owner>/<repo> tree of 3 hosts x
// 100 owners x 33 repositories (depth 3); a vendored checkout, itself a
// repository, at <repo>/vendor/<name> in 100 of them; 1,000 plain folders
// <host>/plain-NNNN with 5 empty subfolders each; 200 folders app-NNN at
// depth 1 whose node_modules (depth 2, 500 empty files each) a walk at
// depth 3 would list if it did not ignore them.
struct DeepFixture {
  static constexpr int kDepth = 3;  // the scan depth the tree is made for
  std::size_t repositories = 0;
  std::size_t vendored = 0;
  std::size_t nodeModules = 0;
  std::size_t nodeModulesEntries = 0;
  std::size_t plainFolders = 0;
  std::size_t plainSubfolders = 0;
  // What a walk at depth 3 that ignores node_modules finds: its candidates
  // (every folder at depths 1-3 but node_modules) and the folders it lists
  // (the root, the hosts, the owners, the plain and the app folders).
  std::size_t candidates = 0;
  std::size_t walkedFolders = 0;
  std::set<std::string> repositoryPaths;  // exactly what a scan must register
};

// Fills the existing folder root with the deep fixture; false with a
// message on standard error when anything could not be made.
bool buildDeepFixture(const std::string& root, DeepFixture& out);

// The least work that answers "which folders of this tree hold a .git",
// walking as the scan walks: hidden names and symbolic links are passed
// over, an ignored name is neither a candidate nor opened, and the walk
// descends (openat, then getdents) only into a candidate above maxDepth
// without a .git. Per candidate one fstatat of <name>/.git relative to the
// open folder; with statEachEntry also an lstat of each visible entry, as
// the depth-1 figures have always counted it, instead of the entry's d_type.
struct LowerBoundWalk {
  int maxDepth = 1;
  bool statEachEntry = false;
  std::vector<std::string> ignoredNames;
  // Instead of a stat of each .git, what telling libgit2's verdict on a
  // repository must read at the least: the .git folder opened, listed and
  // its status taken (its owner), its config read, objects/pack listed.
  bool readRepositories = false;
};
struct LowerBoundCount {
  std::size_t repositories = 0;  // candidates with a .git
  std::size_t candidates = 0;
  std::size_t folders = 0;  // listed, the root included
};
LowerBoundCount lowerBoundWalk(const std::string& root, const LowerBoundWalk& how);

// The lower bound of a depth-1 scan of the flat fixture, as both programs
// measure it: list, lstat each visible entry, stat its .git.
inline LowerBoundWalk flatLowerBound() { return {1, true, {}}; }
// The same walk reading of each repository what the repository test must.
inline LowerBoundWalk flatReadingLowerBound() { return {1, true, {}, true}; }
// The lower bound of the deep fixture scanned at depth 3 with the default
// ignore list: list, stat each candidate's .git, descend where the scan does.
inline LowerBoundWalk deepLowerBound() { return {DeepFixture::kDepth, false, {"node_modules"}}; }
inline LowerBoundWalk deepReadingLowerBound() {
  return {DeepFixture::kDepth, false, {"node_modules"}, true};
}

// Runs command with /bin/sh -c; its exit status, or -1.
int runShell(const std::string& command);

// Single-quoted for /bin/sh.
std::string shellQuote(const std::string& text);

// "nproc 2, AMD ..., kernel 6.1.0": what the figures came from.
std::string describeMachine();
// The file system type of the folder at path ("ext4", "tmpfs", ...).
std::string fileSystemType(const std::string& path);

// The load averages of /proc/loadavg ("0.12 0.30 0.25"): the figures of a
// busy machine say little, so every run states it.
std::string loadAverage();

// A "<field>: 123 kB" value of /proc/self/status, in KiB; -1 when absent.
long selfStatusKiB(const std::string& field);
// A "<field>: 123 kB" value of a /proc file (status, smaps_rollup), or -1.
long procFieldKiB(const std::string& file, const std::string& field);

// "12.3 ms" style formatting; formatDelta adds the sign ("+3.1 ms").
std::string formatMilliseconds(double ms);
std::string formatDelta(double ms);

}  // namespace zivuv::bench

// Ignore patterns against git's own reading of them: the same patterns in a
// .gitignore, the same tree of folders, and `git check-ignore` says which
// folders the walk must pass over (a folder below an ignored one included).

#include <cstdio>
#include <set>

#include "discovery/FolderPattern.h"
#include "discovery/ScanSettings.h"
#include "fakes/TestSupport.h"

namespace zivuv::discovery {
namespace {

const char* const kTree[] = {
    "a", "a/b", "a/b/c", "a/x", "a/x/b", "a/x/y", "a/x/y/b", "b", "b/a", "b/a/b", "build",
    "build/out", "src", "src/build", "src/build/tmp", "src/lib", "src/lib/build", "x",
    "x/node_modules", "x/dist",
    "x/y", "x/y/dist", "dist", "doc", "doc/a", "Foo1", "foo2", "fooA", "foo-bar", "foo[", "foo\\",
    "star*", "starX", "node_modules"};

// Each pattern, and whether it is refused because it can never match.
const std::pair<const char*, bool> kPatterns[] = {
    {"build", false},     {"build/", false},      {"/build", false},       {"/build/", false},
    {"**/build", false},  {"src/build", false},   {"src/**/build", false}, {"a/**/b", false},
    {"a/**", false},      {"**/a/b", false},      {"*/build", false},      {"a/*/b", false},
    {"src/*", false},     {"foo?", false},        {"foo[0-9]", false},     {"foo[!0-9]", false},
    {"foo[^a-z]", false}, {"[[:upper:]]*", false}, {"*-*", false},         {"star\\*", false},
    {"doc/a/", false},    {"**", false},          {"x/**/dist", false},    {"**/b/**", false},
    {"*/*/b", false},     {"[a-c]", false},       {"a/b/**/c", false},     {"/x/*/", false},
    {"a//b", true},       {"/", true},            {"//a", true},           {"a/./b", true},
    {"../a", true},       {"foo[", true},         {"foo\\", true},         {"[[:bogus:]]", true}};

class FolderPatternTest : public testing::TempConfigTest {
 protected:
  // The folders of the tree that git ignores with pattern as its .gitignore.
  std::set<std::string> gitIgnored(const std::string& pattern) {
    testing::writeFile(root_ + "/tree/.gitignore", pattern + "\n");
    const std::string command = "cd '" + root_ + "/tree' && git -c core.excludesFile=/dev/null " +
                                "check-ignore --no-index --stdin -z < ../paths";
    std::string text;
    FILE* out = ::popen(command.c_str(), "r");
    for (int c; out != nullptr && (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    if (out != nullptr) (void)::pclose(out);
    std::set<std::string> ignored;
    for (std::size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos; at = end + 1) {
      ignored.insert(text.substr(at, end - at));
    }
    return ignored;
  }
};

TEST_F(FolderPatternTest, EveryFormIsReadAsGitReadsIt) {
  ASSERT_TRUE(testing::gitInit(root_ + "/tree"));
  std::string paths;
  for (const char* path : kTree) {
    fs::create_directories(root_ + "/tree/" + path);
    paths += std::string(path) + '\0';
  }
  testing::writeFile(root_ + "/paths", paths);
  for (const auto& [pattern, refused] : kPatterns) {
    EXPECT_EQ(!patternProblem(pattern).empty(), refused) << pattern;
    ScanSettings settings;
    settings.depth = ScanSettings::kMaxDepth;
    settings.ignoredFolders = {pattern};
    settings.ignoredFoldersSet = true;
    // As the walk goes down: a folder is passed over when it or a folder
    // above it is ignored.
    std::set<std::string> ignored;
    for (const std::string path : kTree) {
      for (std::size_t end = path.find('/'); ; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (settings.ignoredBy(prefix.substr(prefix.rfind('/') + 1), prefix) == pattern) {
          ignored.insert(path);
        }
        if (end == std::string::npos) break;
      }
    }
    EXPECT_EQ(ignored, gitIgnored(pattern)) << pattern;
    EXPECT_TRUE(!refused || ignored.empty()) << pattern;
  }
}

}  // namespace
}  // namespace zivuv::discovery

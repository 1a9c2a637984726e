// The bookmark record and the folder URL: bytes from outside never crash or
// over-read, every defect has its description, and resolution follows what
// is at the recorded path.

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "fakes/TestSupport.h"
#include "platform/bookmark/BookmarkRecord.h"

namespace zivuv::platform {
namespace {

using testing::TempConfigTest;
using testing::writeFile;

Data record(const std::string& path, BookmarkKind kind = BookmarkKind::Transport) {
  return createBookmark(path, kind).data.value_or(Data{});
}

class BookmarkRecordTest : public TempConfigTest, public ::testing::WithParamInterface<bool> {};

TEST_F(BookmarkRecordTest, RecordsDeviceInodeAndRealPathInTheDocumentedLayout) {
  const std::string folder = makeFolder("real/a b");
  fs::create_directory_symlink(folder, root_ + "/link");
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  const Data d = record(root_ + "/link/");
  ASSERT_EQ(d.size(), 28 + folder.size());
  auto number = [&](std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t{d[at + i]} << (8 * i);
    return v;
  };
  EXPECT_EQ(std::string(d.begin(), d.begin() + 8), std::string("ZVBM\1\1\0\0", 8));
  EXPECT_EQ(number(8, 8), static_cast<std::uint64_t>(st.st_dev));
  EXPECT_EQ(number(16, 8), static_cast<std::uint64_t>(st.st_ino));
  EXPECT_EQ(number(24, 4), folder.size());
  EXPECT_EQ(std::string(d.begin() + 28, d.end()), folder);
  EXPECT_EQ(record(root_ + "/real/./../real/a b/", BookmarkKind::Secure)[5], 2);

  writeFile(root_ + "/file", "x");
  EXPECT_EQ(createBookmark(root_ + "/file", BookmarkKind::Transport).error,
            "not a folder: " + root_ + "/file");
  EXPECT_EQ(createBookmark(root_ + "/missing", BookmarkKind::Secure).error,
            "no folder at " + root_ + "/missing");
}

TEST_F(BookmarkRecordTest, EveryDefectHasItsDescriptionAndNothingIsReadPastTheEnd) {
  const Data good = record(makeFolder("good"));
  auto with = [&](const std::function<void(Data&)>& change) {
    Data d = good;
    change(d);
    return d;
  };
  auto length = [](std::uint32_t v) {
    return [v](Data& d) { std::memcpy(d.data() + 24, &v, 4); };
  };
  const std::pair<Data, std::string> cases[] = {
      {{}, "truncated"},
      {Data(good.begin(), good.end() - 1), "truncated"},
      {with([](Data& d) { d[3] = 'X'; }), "not bookmark data"},
      {with([](Data& d) { d[7] = 1; }), "not bookmark data"},
      {with(length(0)), "not bookmark data"},
      {with(length(4097)), "not bookmark data"},
      {with(length(0xFFFFFFFF)), "not bookmark data"},
      {with(length(static_cast<std::uint32_t>(good.size() - 29))), "not bookmark data"},
      {with([](Data& d) { d[28] = 'x'; }), "not bookmark data"},
      {with([](Data& d) { d.back() = 0; }), "not bookmark data"},
      {with([](Data& d) { d[4] = 2; }), "unsupported version 2"},
      {with([](Data& d) { d[5] = 2; }), "wrong kind"},
  };
  for (const auto& [bytes, description] : cases) {
    // Copied to the heap at their exact size, so that a sanitizer build
    // sees any read past the end.
    const auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    const auto resolution = resolveBookmark({exact.get(), bytes.size()}, BookmarkKind::Transport);
    EXPECT_EQ(resolution.error, description);
    EXPECT_FALSE(resolution.url || resolution.stale) << description;
  }
}

// Plainly, and again inside a scan's real-path cache, which must give
// exactly what realpath gives.
TEST_P(BookmarkRecordTest, ResolutionFollowsWhatIsAtTheRecordedPath) {
  std::optional<RealPathCacheScope> cache;
  if (GetParam()) cache.emplace();
  const std::string folder = makeFolder("f");
  const Data old = record(folder);
  auto resolve = [](const Data& d) { return resolveBookmark(d, BookmarkKind::Transport); };

  fs::rename(folder, folder + ".old");  // replaced by another folder: stale
  fs::create_directory(folder);
  EXPECT_EQ(resolve(old).url, FileURL::fromPath(folder, true));
  EXPECT_TRUE(resolve(old).stale);

  const Data current = record(folder);  // moved, a link in its place: the very folder
  fs::rename(folder, folder + ".moved");
  fs::create_directory_symlink(folder + ".moved", folder);
  EXPECT_EQ(resolve(current).url, FileURL::fromPath(folder + ".moved", true));
  EXPECT_FALSE(resolve(current).stale);

  fs::remove(folder);  // a file in its place: a stale failure
  writeFile(folder, "x");
  EXPECT_EQ(resolve(current).error, "not a folder: " + folder);
  EXPECT_TRUE(resolve(current).stale);
  fs::remove(folder);
  EXPECT_EQ(resolve(current).error, "no folder at " + folder);
  EXPECT_FALSE(resolve(current).stale);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutCache, BookmarkRecordTest, ::testing::Bool());

TEST(FileURL, NormalisesEncodesAndComparesByText) {
  struct Case {
    const char* input;
    bool isDirectory;
    const char* text;
    const char* last;
  };
  const Case cases[] = {
      {"/", true, "file:///", "/"},
      {"//x/./a//b/../c/", true, "file:///x/a/c/", "c"},
      {"/x/a/", false, "file:///x/a", "a"},
      {"/x/a b%/\xC3\xBC", true, "file:///x/a%20b%25/%C3%BC/", "\xC3\xBC"},
      {"/x/A-z_0.9~?#\n", false, "file:///x/A-z_0.9~%3F%23%0A", "A-z_0.9~?#\n"},
  };
  for (const auto& c : cases) {
    const FileURL url = FileURL::fromPath(c.input, c.isDirectory);
    EXPECT_EQ(url.text(), c.text);
    EXPECT_EQ(url.lastPathComponent(), c.last);
  }
  const FileURL folder = FileURL::fromPath("/x/a", true);
  EXPECT_NE(folder, FileURL::fromPath("/x/a", false));  // a trailing slash is another folder
  EXPECT_EQ(folder, folder.withSecurityScope());
  EXPECT_EQ(folder.appending("b c", true), FileURL::fromPath("/x/a/b c", true));
}

}  // namespace
}  // namespace zivuv::platform

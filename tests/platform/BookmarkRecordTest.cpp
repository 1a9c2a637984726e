#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "fakes/TempConfig.h"
#include "platform/bookmark/BookmarkRecord.h"

namespace zivuv::platform {
namespace {

namespace fs = std::filesystem;
using zivuv::testing::readFile;
using zivuv::testing::replaceFolder;
using zivuv::testing::writeFile;

class BookmarkRecord : public zivuv::testing::TempConfigTest {
 protected:
  Data create(const std::string& path, BookmarkKind kind = BookmarkKind::Transport) {
    auto creation = createBookmark(path, kind);
    EXPECT_TRUE(creation.data.has_value()) << creation.error;
    return creation.data.value_or(Data{});
  }
};

std::uint64_t littleEndian(const Data& d, std::size_t offset, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint64_t{d[offset + i]} << (8 * i);
  return v;
}

TEST_F(BookmarkRecord, CreatedRecordHasTheDocumentedLayout) {
  const std::string folder = makeFolder("layout");
  const std::string real = fs::canonical(folder).string();
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);

  for (const auto kind : {BookmarkKind::Transport, BookmarkKind::Secure}) {
    const Data d = create(folder, kind);
    ASSERT_EQ(d.size(), 28 + real.size());
    EXPECT_EQ(std::string(d.begin(), d.begin() + 4), "ZVBM");
    EXPECT_EQ(d[4], 1);
    EXPECT_EQ(d[5], static_cast<std::uint8_t>(kind));
    EXPECT_EQ(d[6], 0);
    EXPECT_EQ(d[7], 0);
    EXPECT_EQ(littleEndian(d, 8, 8), static_cast<std::uint64_t>(st.st_dev));
    EXPECT_EQ(littleEndian(d, 16, 8), static_cast<std::uint64_t>(st.st_ino));
    EXPECT_EQ(littleEndian(d, 24, 4), real.size());
    EXPECT_EQ(std::string(d.begin() + 28, d.end()), real);
  }
}

TEST_F(BookmarkRecord, RecordsTheRealPathOfAFolderOnly) {
  const std::string folder = makeFolder("real/a b");
  const std::string real = fs::canonical(folder).string();
  fs::create_directory(root_ + "/real/x");
  fs::create_directory_symlink(folder, root_ + "/link");

  const Data direct = create(folder);
  EXPECT_EQ(create(root_ + "/link/"), direct);
  EXPECT_EQ(create(root_ + "/real/./x/../a b/"), direct);

  const auto resolution = resolveBookmark(direct, BookmarkKind::Transport);
  ASSERT_TRUE(resolution.url.has_value()) << resolution.error;
  EXPECT_EQ(*resolution.url, FileURL::fromPath(real, true));
  EXPECT_FALSE(resolution.stale);

  writeFile(root_ + "/file", "x");
  const auto onFile = createBookmark(root_ + "/file", BookmarkKind::Transport);
  EXPECT_EQ(onFile.error, "not a folder: " + root_ + "/file");
  const auto missing = createBookmark(root_ + "/missing", BookmarkKind::Secure);
  EXPECT_EQ(missing.error, "no folder at " + root_ + "/missing");
  EXPECT_FALSE(onFile.data || missing.data);
}

TEST_F(BookmarkRecord, EveryDefectHasItsDescription) {
  const Data good = create(makeFolder("good"));
  const std::size_t n = good.size() - 28;
  auto with = [&](const std::function<void(Data&)>& change) {
    Data d = good;
    change(d);
    return d;
  };
  auto setLength = [](Data& d, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) d[24 + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  struct DefectCase {
    const char* what;
    Data bytes;
    std::string description;
  };
  const DefectCase cases[] = {
      {"empty", {}, "truncated"},
      {"path cut short", Data(good.begin(), good.end() - 1), "truncated"},
      {"magic", with([](Data& d) { d[3] = 'X'; }), "not bookmark data"},
      {"reserved", with([](Data& d) { d[7] = 1; }), "not bookmark data"},
      {"length 0", with([&](Data& d) { setLength(d, 0); }), "not bookmark data"},
      {"length 4097", with([&](Data& d) { setLength(d, 4097); }), "not bookmark data"},
      {"length 2^32-1", with([&](Data& d) { setLength(d, 0xFFFFFFFF); }), "not bookmark data"},
      {"longer than stated",
       with([&](Data& d) { setLength(d, static_cast<std::uint32_t>(n - 1)); }),
       "not bookmark data"},
      {"byte after the path", with([](Data& d) { d.push_back('/'); }), "not bookmark data"},
      {"relative path", with([](Data& d) { d[28] = 'x'; }), "not bookmark data"},
      {"NUL in path", with([](Data& d) { d.back() = 0; }), "not bookmark data"},
      {"version 2", with([](Data& d) { d[4] = 2; }), "unsupported version 2"},
      {"version 0, wrong kind", with([](Data& d) {
         d[4] = 0;
         d[5] = 2;
       }),
       "unsupported version 0"},
      {"secure kind", with([](Data& d) { d[5] = 2; }), "wrong kind"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Copied to the heap at their exact size, so a sanitizer build sees any
    // read past the end.
    const auto exact = std::make_unique<std::uint8_t[]>(c.bytes.size());
    std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
    const std::span<const std::uint8_t> bytes(exact.get(), c.bytes.size());
    EXPECT_EQ(validateBookmark(bytes, BookmarkKind::Transport), c.description);
    const auto resolution = resolveBookmark(bytes, BookmarkKind::Transport);
    EXPECT_FALSE(resolution.url.has_value());
    EXPECT_EQ(resolution.error, c.description);
    EXPECT_FALSE(resolution.stale);
  }
  EXPECT_EQ(resolveBookmark(good, BookmarkKind::Secure).error, "wrong kind");
}

// Run plainly, and again inside a scan's real-path cache, which must give
// exactly what realpath gives.
class RecordedPath : public BookmarkRecord, public ::testing::WithParamInterface<bool> {};

TEST_P(RecordedPath, ResolutionFollowsWhatIsAtTheRecordedPath) {
  std::optional<RealPathCacheScope> cache;
  if (GetParam()) cache.emplace();
  // Reached through a linked parent: recorded by its real path.
  fs::create_directory_symlink(root_, root_ + "-link");
  const std::string folder = fs::canonical(makeFolder("f")).string();
  EXPECT_EQ(validateBookmark(create(root_ + "-link/f"), BookmarkKind::Transport), "");
  EXPECT_EQ(*resolveBookmark(create(root_ + "-link/f"), BookmarkKind::Transport).url,
            FileURL::fromPath(folder, true));
  fs::remove(root_ + "-link");

  const Data record = create(folder);

  // Replaced by another folder: resolves, but stale.
  replaceFolder(folder);
  auto resolution = resolveBookmark(record, BookmarkKind::Transport);
  ASSERT_TRUE(resolution.url.has_value());
  EXPECT_EQ(*resolution.url, FileURL::fromPath(folder, true));
  EXPECT_TRUE(resolution.stale);

  // Moved away and replaced by a link: the target, the very folder, not stale.
  const Data current = create(folder);
  fs::rename(folder, folder + "-moved");
  fs::create_directory_symlink(folder + "-moved", folder);
  resolution = resolveBookmark(current, BookmarkKind::Transport);
  ASSERT_TRUE(resolution.url.has_value());
  EXPECT_EQ(*resolution.url, FileURL::fromPath(folder + "-moved", true));
  EXPECT_FALSE(resolution.stale);

  // A file in its place: a stale failure.
  fs::remove(folder);
  writeFile(folder, "x");
  resolution = resolveBookmark(current, BookmarkKind::Transport);
  EXPECT_FALSE(resolution.url.has_value());
  EXPECT_EQ(resolution.error, "not a folder: " + folder);
  EXPECT_TRUE(resolution.stale);

  // Nothing there, or a dangling link: a failure that is not stale.
  fs::remove(folder);
  resolution = resolveBookmark(current, BookmarkKind::Transport);
  EXPECT_EQ(resolution.error, "no folder at " + folder);
  EXPECT_FALSE(resolution.stale);
  fs::create_directory_symlink(root_ + "/nowhere", folder);
  EXPECT_EQ(resolveBookmark(current, BookmarkKind::Transport).error, "no folder at " + folder);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutCache, RecordedPath, ::testing::Bool());

}  // namespace
}  // namespace zivuv::platform

// The bookmark record: bytes from outside never crash or over-read, every
// defect has its description, and resolution follows what is at the
// recorded path.

#include <cstring>
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

TEST_F(BookmarkRecordTest, EveryDefectHasItsDescriptionAndNothingIsReadPastTheEnd) {
  const Data good = record(makeFolder("good"));
  const std::uint32_t n = static_cast<std::uint32_t>(good.size() - 28);
  // The byte at an offset set to a value (a length is four bytes at 24).
  auto with = [&](std::size_t at, std::uint32_t value) {
    Data d = good;
    if (at == 24) std::memcpy(d.data() + 24, &value, 4);
    else if (at == good.size()) d.push_back(static_cast<std::uint8_t>(value));
    else d[at] = static_cast<std::uint8_t>(value);
    return d;
  };
  // A well-formed record of a 4096-byte path passes the checks: the disk is asked.
  Data longest = with(24, 4096);
  longest.resize(28 + 4096, 'a');
  const std::pair<Data, std::string> cases[] = {
      {longest, "no folder at " + std::string(longest.begin() + 28, longest.end())}, {with(5, 2), "wrong kind"},
      {{}, "truncated"}, {Data(good.begin(), good.end() - 1), "truncated"},
      {with(3, 'X'), "not bookmark data"}, {with(7, 1), "not bookmark data"},
      {with(24, 0), "not bookmark data"}, {with(24, 4097), "not bookmark data"},
      {with(24, 0xFFFFFFFF), "not bookmark data"}, {with(24, n - 1), "not bookmark data"},
      {with(good.size(), '/'), "not bookmark data"}, {with(28, 'x'), "not bookmark data"},
      {with(good.size() - 1, 0), "not bookmark data"}, {with(4, 2), "unsupported version 2"},
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

// Plainly, and again inside a scan's cache, which sees the disk as it is
// when the scan begins and must give exactly what realpath gives then, for
// the first look into a folder (a stat) and the next ones (its listing).
TEST_P(BookmarkRecordTest, ResolutionFollowsWhatIsAtTheRecordedPath) {
  std::optional<RealPathCacheScope> cache;
  const std::string folder = makeFolder("f");
  const Data old = record(folder);
  auto resolve = [&](const Data& d) {
    const auto first = resolveBookmark(d, BookmarkKind::Transport);
    const auto again = resolveBookmark(d, BookmarkKind::Transport);
    EXPECT_EQ(again.url, first.url);
    EXPECT_EQ(again.error, first.error);
    EXPECT_EQ(again.stale, first.stale);
    return first;
  };
  const auto scan = [&] {
    cache.reset();
    if (GetParam()) cache.emplace();
  };

  fs::rename(folder, folder + ".old");  // replaced by another folder: stale
  fs::create_directory(folder);
  scan();
  EXPECT_EQ(resolve(old).url, FileURL::fromPath(folder, true));
  EXPECT_TRUE(resolve(old).stale);

  const Data current = record(folder);  // moved, a link in its place: the very folder
  fs::rename(folder, folder + ".moved");
  fs::create_directory_symlink(folder + ".moved", folder);
  scan();
  EXPECT_EQ(resolve(current).url, FileURL::fromPath(folder + ".moved", true));
  EXPECT_FALSE(resolve(current).stale);

  fs::remove(folder);  // a file in its place: a stale failure
  writeFile(folder, "x");
  scan();
  EXPECT_EQ(resolve(current).error, "not a folder: " + folder);
  EXPECT_TRUE(resolve(current).stale);
  fs::remove(folder);
  scan();
  EXPECT_EQ(resolve(current).error, "no folder at " + folder);
  EXPECT_FALSE(resolve(current).stale);
  fs::create_directory(folder);  // the recorded folder, unchanged, the listing tells
  const Data kept = record(folder);
  scan();
  EXPECT_EQ(resolve(kept).url, FileURL::fromPath(folder, true));
  EXPECT_FALSE(resolve(kept).stale);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutCache, BookmarkRecordTest, ::testing::Bool());

}  // namespace
}  // namespace zivuv::platform

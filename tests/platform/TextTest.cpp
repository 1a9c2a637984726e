// The text helpers: nothing from a folder name can forge a line, break the
// bus, or make a translated format read an argument that is not there.

#include "fakes/TestSupport.h"
#include "platform/intl/Localization.h"
#include "platform/print/Print.h"
#include "platform/text/Text.h"

namespace zivuv::platform {
namespace {

TEST(Text, PrintedLinesEscapeEveryControlByte) {
  EXPECT_EQ(testing::printed([] { printLine("A:", std::string("/x/\nB:\x7F\t\0z \xC3\xA9", 13)); }),
            "A:/x/\\x0AB:\\x7F\\x09\\x00z \xC3\xA9\n");
}

TEST(Text, ReplacesEachBadUtf8ByteWithOneReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\x80z", "a" + r + "z"}, {"\xE2\x82", r + r}, {"\xC0\xAF", r + r},
      {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(toValidUtf8(in), out) << in;
}

TEST(Text, FormatsOnlyAtAndIWithTheArgumentsThereAre) {
  const std::vector<FormatArgument> args{std::string("name"), std::int64_t{7}};
  EXPECT_EQ(formatText("%s %d %@ %i %@ %%", args), "%s %d name 7 %@ %");
  EXPECT_EQ(formatText("%i %@", {}), "%i %@");
  EXPECT_EQ(formatText("%@ ends in %", {std::string("%i")}), "%i ends in %");
}

}  // namespace
}  // namespace zivuv::platform

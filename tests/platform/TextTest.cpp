#include <gtest/gtest.h>

#include <string>

#include "platform/log/Logger.h"
#include "platform/print/Print.h"
#include "platform/text/Text.h"

namespace zivuv::platform {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

TEST(Text, EscapesEveryControlByteAndNothingElse) {
  EXPECT_EQ(escapeControlBytes(std::string("a\nb\r\t\x1F \x7F~\x80\xC3\xA9\0z", 14)),
            "a\\x0Ab\\x0D\\x09\\x1F \\x7F~\x80\xC3\xA9\\x00z");
  EXPECT_EQ(escapeControlBytes("plain /x/a b"), "plain /x/a b");
}

TEST(Text, ReplacesEachBadUtf8ByteWithOneReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";
  struct Utf8Case {
    std::string in, out;
  };
  const Utf8Case cases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\x80z", "a" + r + "z"},            // lone continuation byte
      {"\xC3", r},                          // cut at the end
      {"\xE2\x82", r + r},                  // cut three-byte sequence
      {"\xC0\xAF", r + r},                  // overlong
      {"\xE0\x80\xAF", r + r + r},          // overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF5\xFF", r + r},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(toValidUtf8(c.in), c.out) << c.in;
}

TEST(Text, PrintedAndLoggedLinesCannotBeForged) {
  CaptureStdout();
  printLine("Fixed:\n", "/x/evil\nFixed:/forged");
  printLine("No previous bookmarks");
  EXPECT_EQ(GetCapturedStdout(), "Fixed:\n/x/evil\\x0AFixed:/forged\nNo previous bookmarks\n");

  Logger::shared().setSink(makeStderrSink());
  CaptureStderr();
  Logger::shared().info("Monitoring folder:", "/x/a\nerror forged");
  Logger::shared().error("Failed");
  Logger::shared().debug("tick\r");
  EXPECT_EQ(GetCapturedStderr(),
            "info Monitoring folder:/x/a\\x0Aerror forged\nerror Failed\ndebug tick\\x0D\n");
}

}  // namespace
}  // namespace zivuv::platform

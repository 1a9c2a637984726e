// The opener process refuses all but its one URL. That it starts xdg-open,
// and ends with the service, is told by the service's integration tests.

#include <array>

#include "fakes/TestSupport.h"
#include "platform/notify/OpenerProcess.h"

namespace zivuv::platform {
namespace {

TEST(OpenerProcessTest, RefusesAllButItsUrlAndTokensWithControlBytes) {
  // No xdg-open on its PATH: one run by mistake opens nothing here.
  const std::string path = std::getenv("PATH");
  ASSERT_EQ(::setenv("PATH", "/nonexistent", 1), 0);
  OpenerProcess opener = OpenerProcess::start("app://");
  ASSERT_EQ(::setenv("PATH", path.c_str(), 1), 0);
  const std::string otherUrl = "the opener opens app:// alone";
  const std::vector<std::array<std::string, 3>> refused = {
      {"other://", "", otherUrl},
      {"app://x", "", otherUrl},
      {"app:/", "", otherUrl},
      {"", "", otherUrl},
      {"app://", "a\nb", "the opener refuses an activation token with control bytes"},
      {"app://", std::string(5000, 't'), "the opener refuses a request that long"}};
  for (const auto& [url, token, why] : refused) EXPECT_EQ(opener.open(url, token), why) << url;
}

}  // namespace
}  // namespace zivuv::platform

// The opener process refuses all but its one URL, and ends when let go.
// That it starts xdg-open is told by the click tests of the service.

#include <sys/wait.h>

#include <array>
#include <optional>

#include "fakes/TestSupport.h"
#include "platform/notify/OpenerProcess.h"

namespace zivuv::platform {
namespace {

TEST(OpenerProcessTest, RefusesAllButItsUrlAndEndsWhenLetGo) {
  // No xdg-open on its PATH: one run by mistake opens nothing here.
  const std::string path = std::getenv("PATH");
  ASSERT_EQ(::setenv("PATH", "/nonexistent", 1), 0);
  std::optional<OpenerProcess> opener(OpenerProcess::start("app://"));
  ASSERT_EQ(::setenv("PATH", path.c_str(), 1), 0);
  const std::string otherUrl = "the opener opens app:// alone";
  const std::vector<std::array<std::string, 3>> refused = {
      {"other://", "", otherUrl},
      {"app://x", "", otherUrl},
      {"app:/", "", otherUrl},
      {"", "", otherUrl},
      {"app://", "a\nb", "the opener refuses an activation token with control bytes"},
      {"app://", std::string(5000, 't'), "the opener refuses a request that long"}};
  for (const auto& [url, token, why] : refused) EXPECT_EQ(opener->open(url, token), why) << url;

  const pid_t pid = opener->pid();
  opener.reset();
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace zivuv::platform

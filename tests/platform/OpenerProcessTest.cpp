// The opener process: xdg-open for its one URL alone, and its end.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <optional>

#include "fakes/TestSupport.h"
#include "platform/fd/UniqueFd.h"
#include "platform/notify/OpenerProcess.h"

namespace zivuv::platform {
namespace {

class OpenerProcessTest : public testing::TempConfigTest {};

TEST_F(OpenerProcessTest, StartsXdgOpenForItsUrlAloneAndEndsWhenLetGo) {
  // A stand-in xdg-open on PATH writes its argument and token to a FIFO.
  const std::string runs = root_ + "/runs";
  ASSERT_EQ(::mkfifo(runs.c_str(), 0600), 0);
  testing::writeFile(root_ + "/bin/xdg-open",
                     "#!/bin/sh\nprintf '%s %s\\n' \"$*\" \"$XDG_ACTIVATION_TOKEN\" > " + runs + "\n");
  ASSERT_EQ(::chmod((root_ + "/bin/xdg-open").c_str(), 0755), 0);
  const std::string path = std::getenv("PATH");
  ASSERT_EQ(::setenv("PATH", (root_ + "/bin:" + path).c_str(), 1), 0);
  // Open from the start, so that no writer ever waits for a reader.
  const UniqueFd fifo(::open(runs.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(fifo);
  std::optional<OpenerProcess> opener(OpenerProcess::start("app://"));
  ASSERT_EQ(::setenv("PATH", path.c_str(), 1), 0);  // the opener has its own copy
  ASSERT_GT(opener->pid(), 0);

  struct Refused {
    std::string url, token, why;
  };
  const std::string otherUrl = "the opener opens app:// alone";
  for (const auto& [url, token, why] :
       {Refused{"other://", "", otherUrl}, Refused{"app://x", "", otherUrl}, Refused{"app:/", "", otherUrl},
        Refused{"", "", otherUrl},
        Refused{"app://", "a\nb", "the opener refuses an activation token with control bytes"},
        Refused{"app://", std::string(5000, 't'), "the opener refuses a request that long"}}) {
    EXPECT_EQ(opener->open(url, token), why) << url << " " << token.size();
  }
  EXPECT_EQ(opener->open("app://", "token-1"), "");
  pollfd ready{.fd = fifo.get(), .events = POLLIN, .revents = 0};
  ASSERT_EQ(::poll(&ready, 1, 20'000), 1) << "xdg-open never ran";
  char text[256];
  const ssize_t n = ::read(fifo.get(), text, sizeof text);
  EXPECT_EQ(std::string(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "app:// token-1\n");

  const pid_t pid = opener->pid();
  opener.reset();
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace zivuv::platform

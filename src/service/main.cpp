// zivuv-folder-monitor: the folder monitor service on the session bus.
// Takes no arguments; see zivuv-folder-monitor(1).

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "names/Names.h"
#include "platform/bus/BusLoop.h"
#include "platform/intl/Localization.h"
#include "platform/log/Logger.h"
#include "platform/notify/DesktopNotifier.h"
#include "platform/notify/UrlOpener.h"
#include "service/BusAdaptor.h"
#include "service/ZivuvFolderMonitorListener.h"
#include "watch/EpollQueue.h"

#ifndef ZIVUV_LOCALEDIR
#define ZIVUV_LOCALEDIR "/usr/local/share/locale"
#endif

namespace {

// One clear line on standard error, then status 1: nothing has been served.
[[noreturn]] void failBeforeServing(const std::string& reason) {
  std::fprintf(stderr, "zivuv-folder-monitor: %s\n", reason.c_str());
  std::fflush(stderr);
  ::_exit(1);
}

// The status line of `systemctl --user status`; nothing without systemd.
void reportStatus(const std::string& status) {
  (void)sd_notify(0, ("STATUS=" + status).c_str());
}

}  // namespace

int main() {
  using namespace zivuv;

  // A reader of standard output that went away must not end the service:
  // the printed lines are lost, nothing else. The programs it starts get
  // the default back.
  (void)std::signal(SIGPIPE, SIG_IGN);
  const char* localeDir = std::getenv("ZIVUV_LOCALEDIR");
  platform::initLocalization(localeDir != nullptr && *localeDir != '\0' ? localeDir
                                                                        : ZIVUV_LOCALEDIR);

  platform::Logger& log = platform::Logger::shared();
  log.info("Starting Folder Monitor XPC Service");

  std::string error;
  const std::unique_ptr<platform::BusLoop> loop = platform::BusLoop::connectSession(error);
  if (!loop) failBeforeServing(error);

  // Each object below lives in this frame and uses only those declared
  // before it, so every reference it holds stays valid however it ends.
  // A click reaches the service object through a weak reference: it is
  // made after the notifier.
  platform::UrlOpener opener(loop->bus());
  std::weak_ptr<ZivuvFolderMonitorListener> clicked;
  platform::DesktopNotifier notifier(loop->bus(), names::kAppName, names::kAppId,
                                     [&clicked](const std::string& token) {
                                       if (const auto listener = clicked.lock()) {
                                         listener->userNotificationCenterDidActivateNotification(
                                             token);
                                       }
                                     });
  const auto notices = std::make_shared<BusNoticeCenter>(*loop, notifier);
  const std::shared_ptr<ZivuvFolderMonitorListener> listener =
      ZivuvFolderMonitorListener::create(ListenerEnvironment{
          std::make_unique<watch::EpollQueue>(names::kOwnDomain), notices,
          [&opener](const std::string& url, const std::string& token) { opener.open(url, token); },
          reportStatus});
  clicked = listener;

  BusAdaptor adaptor(*loop, listener);
  if (!adaptor.published()) failBeforeServing("cannot publish the service object on the bus");
  if (!loop->requestName(names::kBusName, error)) failBeforeServing(error);

  loop->run();

  // The service object is never torn down while the process runs: the
  // process ends here, as it has no other way out.
  log.info("Finished Folder Monitor XPC Service");
  std::fflush(nullptr);
  ::_exit(0);
}

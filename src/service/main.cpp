// zivuv-folder-monitor: the folder monitor service on the session bus.
// Takes no arguments; see zivuv-folder-monitor(1).

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

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

}  // namespace

int main() {
  using namespace zivuv;

  // A reader of standard output that went away must not end the service:
  // the printed lines are lost, nothing else.
  (void)std::signal(SIGPIPE, SIG_IGN);
  const char* localeDir = std::getenv("ZIVUV_LOCALEDIR");
  platform::initLocalization(localeDir != nullptr && *localeDir != '\0' ? localeDir
                                                                        : ZIVUV_LOCALEDIR);

  platform::Logger& log = platform::Logger::shared();
  log.info("Starting Folder Monitor XPC Service");

  // The process-wide objects live until the process ends; they are never
  // released, so no teardown runs at exit.
  auto* notices = new BusNoticeCenter();
  platform::UrlOpener* opener = nullptr;
  auto* listener = new std::shared_ptr<ZivuvFolderMonitorListener>(
      ZivuvFolderMonitorListener::create(ListenerEnvironment{
          std::make_unique<watch::EpollQueue>(ZivuvFolderMonitorListener::kQueueLabel),
          std::shared_ptr<discovery::NoticeCenter>(notices, [](discovery::NoticeCenter*) {}),
          [&opener](const std::string& url, const std::string& token) {
            if (opener != nullptr) opener->open(url, token);
          }}));

  std::string error;
  std::unique_ptr<platform::BusLoop> loop = platform::BusLoop::connectSession(error);
  if (!loop) failBeforeServing(error);
  opener = new platform::UrlOpener(loop->bus());
  auto* notifier = new platform::DesktopNotifier(
      loop->bus(), [listener](const std::string& token) {
        (*listener)->userNotificationCenterDidActivateNotification(token);
      });
  auto* adaptor = new BusAdaptor(*loop, *listener);
  if (!adaptor->published()) failBeforeServing("cannot publish the service object on the bus");
  notices->attach(loop.get(), notifier);
  if (!loop->requestName(kBusName, error)) failBeforeServing(error);

  loop->run();

  log.info("Finished Folder Monitor XPC Service");
  ::_exit(0);
}

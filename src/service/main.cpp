// zivuv-folder-monitor: the folder monitor service on the session bus.
// Takes no arguments but --help and --version; see zivuv-folder-monitor(1).

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "names/Names.h"
#include "platform/bus/BusLoop.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/faults/FaultFile.h"
#include "platform/intl/Localization.h"
#include "platform/log/Logger.h"
#include "platform/memory/CleanPages.h"
#include "platform/notify/DesktopNotifier.h"
#include "platform/notify/OpenerProcess.h"
#include "platform/notify/UrlOpener.h"
#include "platform/sandbox/Landlock.h"
#include "platform/text/Text.h"
#include "platform/thread/Worker.h"
#include "service/BusAdaptor.h"
#include "service/BusNoticeCenter.h"
#include "service/ZivuvFolderMonitorListener.h"
#include "watch/EpollQueue.h"

#ifndef ZIVUV_LOCALEDIR
#define ZIVUV_LOCALEDIR "/usr/local/share/locale"
#endif
#ifndef ZIVUV_VERSION
#define ZIVUV_VERSION "unknown"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: zivuv-folder-monitor\n"
    "\n"
    "The Zivuv folder monitor: watches the folder that the Zivuv app hands it\n"
    "and registers the new git repositories in it with the app. It takes no\n"
    "arguments and is reached over the session bus as\n"
    "VO9ZE47VOD.com.dozezeza.FolderMonitor; zivuv-monitorctl drives it by hand.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n";

// --help and --version print and end the process before anything starts,
// without a bus; any other argument is a usage error (status 2). Returns
// when there is none.
void handleArguments(int argc, char** argv) {
  if (argc < 2) return;
  const std::string first = argv[1];
  const bool help = first == "--help" || first == "-h";
  const bool version = first == "--version";
  if ((!help && !version) || argc > 2) {
    const std::string bad = help || version ? argv[2] : first;
    std::fprintf(stderr,
                 "zivuv-folder-monitor: unexpected argument '%s': it takes none but --help and "
                 "--version\n",
                 zivuv::platform::escapeControlBytes(bad).c_str());
    ::_exit(2);
  }
  if (help) {
    std::fputs(kHelp, stdout);
  } else {
    std::printf("zivuv-folder-monitor %s\n", ZIVUV_VERSION);
  }
  ::_exit(std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1);
}

// One clear line on standard error, then status 1: nothing has been served.
[[noreturn]] void failBeforeServing(const std::string& reason) {
  std::fprintf(stderr, "zivuv-folder-monitor: %s\n", reason.c_str());
  std::fflush(stderr);
  ::_exit(1);
}

// Confines the service with Landlock to writing in its settings folder,
// which is made first; one line says how, or why not.
void confine() {
  const std::string folder = zivuv::platform::settingsFolder();
  (void)zivuv::platform::makeSettingsFolder();  // a failure shows in folderError
  const zivuv::platform::LandlockOutcome outcome = zivuv::platform::confineWithLandlock(folder);
  zivuv::platform::Logger& log = zivuv::platform::Logger::shared();
  if (outcome.abi == 0) {
    log.info("Landlock is not available (" + outcome.failure + "): running unconfined");
    return;
  }
  const std::string confined =
      "Confined with Landlock ABI " + std::to_string(outcome.abi) + ": reading anywhere, writing ";
  if (outcome.folderError.empty()) {
    log.info(confined + "only in ", folder);
  } else {
    log.info(confined + "nowhere (" + zivuv::platform::escapeControlBytes(folder) + ": " +
             outcome.folderError + ")");
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zivuv;
  handleArguments(argc, argv);

  // A reader of standard output that went away must not end the service:
  // the printed lines are lost, nothing else. The programs it starts get
  // the default back.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Freed memory goes back to the system from 128 KiB on, whatever sizes a
  // scan asked for: glibc would otherwise raise both thresholds after a
  // large block, and keep up to twice its size of freed heap resident.
  (void)::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  (void)::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  // The opener below is the only child: should it ever end before the
  // service, the kernel reaps it.
  (void)std::signal(SIGCHLD, SIG_IGN);
  // Forked first, while this is the only thread and before the service
  // confines itself, so that the app that xdg-open starts is never confined.
  platform::OpenerProcess xdgOpen = platform::OpenerProcess::start(names::kAppURL);
  const char* localeDir = std::getenv("ZIVUV_LOCALEDIR");
  platform::initLocalization(localeDir != nullptr && *localeDir != '\0' ? localeDir
                                                                        : ZIVUV_LOCALEDIR);

  platform::Logger& log = platform::Logger::shared();
  log.info("Starting Folder Monitor XPC Service");
  // The fault and timing file of the tests, read once, now.
  platform::loadFaultFile();
  // Every failed write of a settings file, with its reason, beside the
  // store's own printed line; set before any thread writes.
  platform::setWriteFailureReporter([](const platform::WriteFailure& failure) {
    platform::Logger::shared().error("Failed to write settings file " +
                                     platform::escapeControlBytes(failure.file) + ": " +
                                     failure.reason);
  });
  // Before any thread exists: threads inherit the confinement of the thread
  // that starts them, and a thread started before would escape it.
  confine();

  std::string error;
  const std::unique_ptr<platform::BusLoop> loop = platform::BusLoop::connectSession(error);
  if (!loop) failBeforeServing(error);

  // Every object below lives in this frame and is never destroyed: the
  // process ends with _exit below, or at once on a signal, and nothing of
  // theirs needs tearing down (the settings are written atomically). So
  // each reference one holds to another stays valid for the life of the
  // process. A click reaches the service object through a weak reference:
  // it is made after the notifier.
  platform::UrlOpener opener(loop->bus(), xdgOpen);
  std::weak_ptr<ZivuvFolderMonitorListener> clicked;
  platform::DesktopNotifier notifier(loop->bus(), names::kAppName, names::kAppId,
                                     [&clicked](const std::string& token) {
                                       if (const auto listener = clicked.lock()) {
                                         listener->userNotificationCenterDidActivateNotification(
                                             token);
                                       }
                                     });
  const auto notices = std::make_shared<BusNoticeCenter>(*loop, notifier);
  // Told of changes from any thread, once the adaptor exists (it tells
  // the status as it is when it is made).
  std::atomic<BusAdaptor*> adaptor{nullptr};
  log.setErrorObserver([&adaptor] {
    if (BusAdaptor* published = adaptor.load()) published->statusMayHaveChanged();
  });
  // Folder work of the protocol's calls, and the look at the monitored
  // folder that verifyAgentWithCompletion makes, each on a thread of its
  // own: a file system that hangs holds up those threads, never the bus.
  // A task that stalls there while others wait behind it is left to its
  // thread, and the others go on, checked from the bus loop.
  const auto after = [&loop](std::chrono::milliseconds delay, platform::Task work) {
    loop->postAfter(delay, std::move(work));
  };
  platform::Worker folderWorker("zivuv-folders", after);
  platform::Worker probeWorker("zivuv-probe", after);
  const std::shared_ptr<ZivuvFolderMonitorListener> listener =
      ZivuvFolderMonitorListener::create(ListenerEnvironment{
          .makeQueue = [] { return std::make_unique<watch::EpollQueue>(names::kOwnDomain); },
          .notices = notices,
          .openURL = [&opener](const std::string& url,
                               const std::string& token) { opener.open(url, token); },
          .statusChanged =
              [&adaptor] {
                if (BusAdaptor* published = adaptor.load()) published->statusMayHaveChanged();
              },
          .folderWork = [&folderWorker](platform::Task work) {
            (void)folderWorker.post(std::move(work));
          },
          .probeWork = [&probeWorker](platform::Task work) {
            (void)probeWorker.post(std::move(work));
          },
          .after = after,
          .version = ZIVUV_VERSION});
  clicked = listener;

  BusAdaptor published(*loop, listener);
  if (!published.published()) failBeforeServing("cannot publish the service object on the bus");
  adaptor.store(&published);
  if (!loop->requestName(names::kBusName, error)) failBeforeServing(error);
  // What starting up ran is not run again: its pages of code go.
  platform::dropCleanPages();

  loop->run();

  // The bus connection is lost: the process ends here, as it has no other
  // way out; the objects above are left as they are.
  log.info("Finished Folder Monitor XPC Service");
  std::fflush(nullptr);
  ::_exit(0);
}

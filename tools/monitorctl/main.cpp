// zivuv-monitorctl: plays the app's side of the folder monitor, over the
// session bus and the shared settings files. Data goes to standard output,
// messages to standard error.

#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/text/Text.h"

#ifndef ZIVUV_VERSION
#define ZIVUV_VERSION "unknown"
#endif

namespace {

using namespace zivuv::monitorctl;

constexpr const char* kHelp =
    "Usage: zivuv-monitorctl COMMAND [DIR]\n"
    "\n"
    "Talks to the Zivuv folder monitor on the session bus, as the Zivuv app does.\n"
    "\n"
    "Commands:\n"
    "  watch DIR     ask the folder monitor to monitor DIR, then show the folder\n"
    "                it monitors\n"
    "  status        show the monitored folder and the service's process name\n"
    "  scan          look for new repositories in the monitored folder now and\n"
    "                print how many were added\n"
    "  reset         forget the saved folders; the folder monitored now stays\n"
    "                monitored until another is watched or the service restarts\n"
    "  repos         list the listed and the blocked repositories of the shared\n"
    "                settings, in stored order\n"
    "  block DIR     add DIR to the blocked repositories\n"
    "  unblock DIR   remove DIR from the blocked repositories\n"
    "  listen        print the argument of every DefaultsChanged signal until\n"
    "                interrupted\n"
    "  bookmark DIR  print the transport data of DIR in base64\n"
    "\n"
    "Options:\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit status: 0 on success; 1 when the folder monitor is not running, answers\n"
    "NO, or anything else fails; 2 on a usage error.\n";

struct Command {
  std::string_view name;
  bool takesFolder;
  int (*withoutFolder)();
  int (*withFolder)(const std::string&);
};

constexpr Command kCommands[] = {
    {"watch", true, nullptr, runWatch},       {"status", false, runStatus, nullptr},
    {"scan", false, runScan, nullptr},        {"reset", false, runReset, nullptr},
    {"repos", false, runRepos, nullptr},      {"block", true, nullptr, runBlock},
    {"unblock", true, nullptr, runUnblock},   {"listen", false, runListen, nullptr},
    {"bookmark", true, nullptr, runBookmark},
};

int usageError(const std::string& problem) {
  printMessage(problem);
  printMessage(
      "usage: zivuv-monitorctl COMMAND [DIR]; 'zivuv-monitorctl --help' lists the commands");
  return kUsage;
}

// An argument for a message, control bytes escaped.
std::string quoted(std::string_view argument) {
  return "'" + zivuv::platform::escapeControlBytes(argument) + "'";
}

int run(int argc, char** argv) {
  if (argc < 2) return usageError("no command given");
  const std::string_view first = argv[1];
  if (first == "--help" || first == "-h" || first == "--version") {
    if (argc > 2) return usageError("unexpected argument " + quoted(argv[2]));
    const bool printed = first == "--version"
                             ? printData(std::string(kProgram) + " " + ZIVUV_VERSION)
                             : printData(std::string_view(kHelp, std::strlen(kHelp) - 1));
    return printed ? kSuccess : kFailure;
  }
  for (const Command& command : kCommands) {
    if (command.name != first) continue;
    const int wanted = command.takesFolder ? 3 : 2;
    if (argc < wanted) return usageError(std::string(first) + " needs a folder: DIR");
    if (argc > wanted) return usageError("unexpected argument " + quoted(argv[wanted]));
    return command.takesFolder ? command.withFolder(argv[2]) : command.withoutFolder();
  }
  if (first.starts_with("-")) return usageError("unknown option " + quoted(first));
  return usageError("unknown command " + quoted(first));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    printMessage(std::string("internal error: ") + e.what());
  } catch (...) {
    printMessage("internal error");
  }
  return kFailure;
}

// zivuv-monitorctl: plays the app's side of the folder monitor, over the
// session bus and the shared settings files. Data goes to standard output,
// messages to standard error.

#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/text/Text.h"

#ifndef ZIVUV_VERSION
#define ZIVUV_VERSION "unknown"
#endif

namespace {

using namespace zivuv::monitorctl;

constexpr const char* kHelp =
    "Usage: zivuv-monitorctl [--json] COMMAND [DIR]\n"
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
    "  why DIR       tell why the next scan registers DIR or passes over it\n"
    "  bookmark DIR  print the transport data of DIR in base64\n"
    "\n"
    "Options:\n"
    "  --json        status, repos and why: print one JSON document instead\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit status: 0 on success; 1 when the folder monitor is not running, answers\n"
    "NO, or anything else fails; 2 on a usage error.\n";

// A command: what it takes and whether it can print JSON.
struct Command {
  std::string_view name;
  bool takesFolder;
  bool printsJson;
  int (*run)(const std::string& dir, bool json);
};

constexpr Command kCommands[] = {
    {"watch", true, false, [](const std::string& dir, bool) { return runWatch(dir); }},
    {"status", false, true, [](const std::string&, bool json) { return runStatus(json); }},
    {"scan", false, false, [](const std::string&, bool) { return runScan(); }},
    {"reset", false, false, [](const std::string&, bool) { return runReset(); }},
    {"repos", false, true, [](const std::string&, bool json) { return runRepos(json); }},
    {"block", true, false, [](const std::string& dir, bool) { return runBlock(dir); }},
    {"unblock", true, false, [](const std::string& dir, bool) { return runUnblock(dir); }},
    {"listen", false, false, [](const std::string&, bool) { return runListen(); }},
    {"why", true, true, runWhy},
    {"bookmark", true, false, [](const std::string& dir, bool) { return runBookmark(dir); }},
};

int usageError(const std::string& problem) {
  printMessage(problem);
  printMessage(
      "usage: zivuv-monitorctl [--json] COMMAND [DIR]; 'zivuv-monitorctl --help' lists the "
      "commands");
  return kUsage;
}

// An argument for a message, control bytes escaped.
std::string quoted(std::string_view argument) {
  return "'" + zivuv::platform::escapeControlBytes(argument) + "'";
}

int run(int argc, char** argv) {
  // --json may stand anywhere; "--" ends the options, so that a folder may
  // be named "--json".
  std::vector<std::string> words;
  bool json = false;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (options && word == "--json") {
      json = true;
    } else if (options && word == "--") {
      options = false;
    } else {
      words.emplace_back(word);
    }
  }
  if (words.empty()) return usageError("no command given");
  const std::string& first = words[0];
  if (first == "--help" || first == "-h" || first == "--version") {
    if (words.size() > 1) return usageError("unexpected argument " + quoted(words[1]));
    if (json) return usageError(first + " prints no JSON");
    const bool printed = first == "--version"
                             ? printData(std::string(kProgram) + " " + ZIVUV_VERSION)
                             : printData(std::string_view(kHelp, std::strlen(kHelp) - 1));
    return printed ? kSuccess : kFailure;
  }
  for (const Command& command : kCommands) {
    if (command.name != first) continue;
    const std::size_t wanted = command.takesFolder ? 2 : 1;
    if (words.size() < wanted) return usageError(first + " needs a folder: DIR");
    if (words.size() > wanted) return usageError("unexpected argument " + quoted(words[wanted]));
    if (json && !command.printsJson) return usageError(first + " prints no JSON");
    return command.run(command.takesFolder ? words[1] : std::string(), json);
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

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
    "Usage: zivuv-monitorctl [--json] COMMAND [ARGUMENT...]\n"
    "\n"
    "Talks to the Zivuv folder monitor on the session bus, as the Zivuv app does.\n"
    "\n"
    "Commands:\n"
    "  watch DIR     ask the folder monitor to monitor DIR, then show the folder\n"
    "                it monitors\n"
    "  status        show the monitored folder, the service's process name, what\n"
    "                the service is doing and the counts of the shared lists\n"
    "  scan          look for new repositories in the monitored folder now and\n"
    "                print how many were added\n"
    "  reset         forget the saved folders; the folder monitored now stays\n"
    "                monitored until another is watched or the service restarts\n"
    "  repos [--check]\n"
    "                list the listed and the blocked repositories of the shared\n"
    "                settings, in stored order; with --check, each listed one\n"
    "                with its state: ok, missing, moved, unreachable, unresolvable\n"
    "  prune [--yes] tell what pruning would do to each listed repository; with\n"
    "                --yes, remove the missing ones, re-record the moved ones and\n"
    "                tell the app\n"
    "  block DIR     add DIR to the blocked repositories\n"
    "  unblock DIR   remove DIR from the blocked repositories\n"
    "  config        show the scan depth and the ignored folder patterns\n"
    "  config depth N\n"
    "                scan N folders deep (1 to 8), then ask for a scan\n"
    "  config ignore add|remove PATTERN\n"
    "                add or remove an ignored folder pattern, then ask for a scan\n"
    "  listen        print the argument of every DefaultsChanged signal until\n"
    "                interrupted\n"
    "  why DIR       tell why the next scan registers DIR or passes over it\n"
    "  bookmark DIR  print the transport data of DIR in base64\n"
    "\n"
    "Options:\n"
    "  --json        status, repos, config and why: print one JSON document instead\n"
    "  --check       repos: tell the state of each listed repository\n"
    "  --yes         prune: make the changes\n"
    "  --            end of the options: a DIR or PATTERN may start with '-'\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit status: 0 on success; 1 when the folder monitor is not running, answers\n"
    "NO, or anything else fails; 2 on a usage error.\n";

// The options, each wherever it stands before "--".
struct Options {
  bool json = false;
  bool check = false;
  bool yes = false;
};

// What a command takes after its name.
enum class Takes { Nothing, Folder, ConfigWords };

struct Invocation {
  std::string dir;
  ConfigChange config;
  Options options;
};

// A command: what it takes, whether it can print JSON, the option of its
// own (or none).
struct Command {
  std::string_view name;
  Takes takes;
  bool printsJson;
  std::string_view option;
  int (*run)(const Invocation& invocation);
};

constexpr Command kCommands[] = {
    {"watch", Takes::Folder, false, {}, [](const Invocation& i) { return runWatch(i.dir); }},
    {"status", Takes::Nothing, true, {},
     [](const Invocation& i) { return runStatus(i.options.json); }},
    {"scan", Takes::Nothing, false, {}, [](const Invocation&) { return runScan(); }},
    {"reset", Takes::Nothing, false, {}, [](const Invocation&) { return runReset(); }},
    {"repos", Takes::Nothing, true, "--check",
     [](const Invocation& i) { return runRepos(i.options.json, i.options.check); }},
    {"prune", Takes::Nothing, false, "--yes",
     [](const Invocation& i) { return runPrune(i.options.yes); }},
    {"block", Takes::Folder, false, {}, [](const Invocation& i) { return runBlock(i.dir); }},
    {"unblock", Takes::Folder, false, {}, [](const Invocation& i) { return runUnblock(i.dir); }},
    {"config", Takes::ConfigWords, true, {},
     [](const Invocation& i) { return runConfig(i.config, i.options.json); }},
    {"listen", Takes::Nothing, false, {}, [](const Invocation&) { return runListen(); }},
    {"why", Takes::Folder, true, {},
     [](const Invocation& i) { return runWhy(i.dir, i.options.json); }},
    {"bookmark", Takes::Folder, false, {}, [](const Invocation& i) { return runBookmark(i.dir); }},
};

int usageError(const std::string& problem) {
  printMessage(problem);
  printMessage(
      "usage: zivuv-monitorctl [--json] COMMAND [ARGUMENT...]; 'zivuv-monitorctl --help' lists "
      "the commands");
  return kUsage;
}

// An argument for a message, control bytes escaped.
std::string shownArgument(std::string_view argument) {
  return "'" + zivuv::platform::escapeControlBytes(argument) + "'";
}

// The words after "config": nothing, "depth N" or "ignore add|remove
// PATTERN". The problem for a usage error, or empty.
std::string parseConfig(const std::vector<std::string>& words, ConfigChange& change) {
  using Kind = ConfigChange::Kind;
  if (words.size() == 1) return {};
  const std::string& setting = words[1];
  std::size_t wanted = 0;
  if (setting == "depth") {
    if (words.size() < 3) return "config depth needs a number from 1 to 8";
    const std::string& n = words[2];
    if (n.size() != 1 || n[0] < '1' || n[0] > '8') {
      return "the scan depth is a number from 1 to 8, not " + shownArgument(n);
    }
    change = {Kind::Depth, n[0] - '0', {}};
    wanted = 3;
  } else if (setting == "ignore") {
    if (words.size() < 3) return "config ignore needs add or remove, then a PATTERN";
    const std::string& verb = words[2];
    if (verb != "add" && verb != "remove") {
      return "config ignore takes add or remove, not " + shownArgument(verb);
    }
    if (words.size() < 4) return "config ignore " + verb + " needs a PATTERN";
    if (words[3].empty()) return "the PATTERN is empty";
    change = {verb == "add" ? Kind::Ignore : Kind::Unignore, 0, words[3]};
    wanted = 4;
  } else {
    return "config takes depth or ignore, not " + shownArgument(setting);
  }
  if (words.size() > wanted) return "unexpected argument " + shownArgument(words[wanted]);
  return {};
}

int run(int argc, char** argv) {
  // The options may stand anywhere; "--" ends them, so that a folder may be
  // named "--json".
  std::vector<std::string> words;
  Options options;
  std::vector<std::string_view> given;  // the options of one command, in order
  bool optionsOpen = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (optionsOpen && word == "--json") {
      options.json = true;
    } else if (optionsOpen && (word == "--check" || word == "--yes")) {
      (word == "--check" ? options.check : options.yes) = true;
      given.push_back(word);
    } else if (optionsOpen && word == "--") {
      optionsOpen = false;
    } else {
      words.emplace_back(word);
    }
  }
  if (words.empty()) return usageError("no command given");
  const std::string& first = words[0];
  if (first == "--help" || first == "-h" || first == "--version") {
    if (words.size() > 1) return usageError("unexpected argument " + shownArgument(words[1]));
    if (options.json) return usageError(first + " prints no JSON");
    if (!given.empty()) return usageError(first + " takes no option " + shownArgument(given[0]));
    const bool printed = first == "--version"
                             ? printData(std::string(kProgram) + " " + ZIVUV_VERSION)
                             : printData(std::string_view(kHelp, std::strlen(kHelp) - 1));
    return printed ? kSuccess : kFailure;
  }
  for (const Command& command : kCommands) {
    if (command.name != first) continue;
    Invocation invocation{{}, {}, options};
    if (command.takes == Takes::ConfigWords) {
      if (const auto problem = parseConfig(words, invocation.config); !problem.empty()) {
        return usageError(problem);
      }
    } else {
      const std::size_t wanted = command.takes == Takes::Folder ? 2 : 1;
      if (words.size() < wanted) return usageError(first + " needs a folder: DIR");
      if (words.size() > wanted) {
        return usageError("unexpected argument " + shownArgument(words[wanted]));
      }
      if (command.takes == Takes::Folder) invocation.dir = words[1];
    }
    for (const std::string_view option : given) {
      if (option != command.option) {
        return usageError(first + " takes no option " + shownArgument(option));
      }
    }
    if (options.json && !command.printsJson) return usageError(first + " prints no JSON");
    return command.run(invocation);
  }
  if (first.starts_with("-")) return usageError("unknown option " + shownArgument(first));
  return usageError("unknown command " + shownArgument(first));
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

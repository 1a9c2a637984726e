// zivuv-monitorctl: plays the app's side of the folder monitor, over the
// session bus and the shared settings files. Data goes to standard output,
// messages to standard error.

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/FolderPattern.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "platform/text/Text.h"

#ifndef ZIVUV_VERSION
#define ZIVUV_VERSION "unknown"
#endif

namespace {

using namespace zivuv::monitorctl;

constexpr std::string_view kUsageLine = "Usage: zivuv-monitorctl [--json] COMMAND [ARGUMENT...]";

constexpr std::string_view kIntroduction =
    "Talks to the Zivuv folder monitor on the session bus, as the Zivuv app does.";

constexpr std::string_view kOptions =
    "  --json        status, repos, config, why and scan --dry-run: print one JSON\n"
    "                document instead\n"
    "  --check       repos: tell the state of each listed repository\n"
    "  --yes         prune: make the changes\n"
    "  --replace     watch: forget the remembered folders first\n"
    "  --dry-run     scan: show what the scan would do, changing nothing\n"
    "  --            end of the options: a DIR or PATTERN may start with '-'\n"
    "  -h, --help    show this help (after a command: that command's) and exit\n"
    "  --version     show the version and exit";

constexpr std::string_view kExitStatus =
    "Exit status: 0 on success; 1 when the folder monitor is not running, answers\n"
    "NO, a scan could not run, or anything else fails; 2 on a usage error.";

// The options, each wherever it stands before "--".
struct Options {
  bool json = false;
  bool check = false;
  bool yes = false;
  bool replace = false;
  bool dryRun = false;
  bool help = false;
};

// What a command takes after its name.
enum class Takes { Nothing, Folder, ConfigWords };

struct Invocation {
  std::string dir;
  ConfigChange config;
  Options options;
};

// A command: what it takes, whether it can print JSON, the option of its
// own (or none), its synopsis lines (after the program's name) and what
// it does, for the help.
struct Command {
  std::string_view name;
  Takes takes;
  bool printsJson;
  std::string_view option;
  std::string_view synopsis;
  std::string_view description;
  int (*run)(const Invocation& invocation);
};

int usageError(const std::string& problem);

constexpr Command kCommands[] = {
    {"watch", Takes::Folder, false, "--replace", "watch [--replace] DIR",
     "ask the folder monitor to monitor DIR, then scan it and print how many\n"
     "repositories it registered; fails while it keeps another remembered\n"
     "folder, which --replace forgets first",
     [](const Invocation& i) { return runWatch(i.dir, i.options.replace); }},
    {"status", Takes::Nothing, true, {}, "status",
     "show the monitored folder (or the one it waits for), the service's process\n"
     "name, what the service is doing and the counts of the shared lists",
     [](const Invocation& i) { return runStatus(i.options.json); }},
    {"scan", Takes::Nothing, true, "--dry-run", "scan [--dry-run]",
     "look for new repositories in the monitored folder now and print how many\n"
     "were added; fails with the reason when the scan could not run. With\n"
     "--dry-run, walk and judge the folder as the scan does, without the service,\n"
     "and print every folder the walk meets with the answer 'why' gives for it\n"
     "(and, deeper than 1, the folders right below where it stops); changes\n"
     "nothing and tells no one; --json prints them as one array",
     [](const Invocation& i) {
       if (i.options.dryRun) return runScanPreview(i.options.json);
       if (i.options.json) return usageError("scan prints no JSON without --dry-run");
       return runScan();
     }},
    {"reset", Takes::Nothing, false, {}, "reset",
     "forget the saved folders; the folder monitored now stays monitored until\n"
     "another is watched or the service restarts",
     [](const Invocation&) { return runReset(); }},
    {"repos", Takes::Nothing, true, "--check", "repos [--check]",
     "list the listed and the blocked repositories of the shared settings, in\n"
     "stored order; with --check, each listed one with its state: ok, missing,\n"
     "moved, unreachable, unresolvable",
     [](const Invocation& i) { return runRepos(i.options.json, i.options.check); }},
    {"prune", Takes::Nothing, false, "--yes", "prune [--yes]",
     "tell what pruning would do to each listed repository; with --yes, remove\n"
     "the missing ones, re-record the moved ones and tell the app",
     [](const Invocation& i) { return runPrune(i.options.yes); }},
    {"block", Takes::Folder, false, {}, "block DIR", "add DIR to the blocked repositories",
     [](const Invocation& i) { return runBlock(i.dir); }},
    {"unblock", Takes::Folder, false, {}, "unblock DIR", "remove DIR from the blocked repositories",
     [](const Invocation& i) { return runUnblock(i.dir); }},
    {"config", Takes::ConfigWords, true, {},
     "config\nconfig depth N\nconfig ignore add|remove PATTERN",
     "show the scan depth and the ignored folder patterns; or scan N folders deep\n"
     "(1 to 8); or add or remove an ignored folder pattern, as in .gitignore\n"
     "(a name at any level, a leading '/' anchors it, '**' spans levels); a\n"
     "change asks for a scan",
     [](const Invocation& i) { return runConfig(i.config, i.options.json); }},
    {"listen", Takes::Nothing, false, {}, "listen",
     "print the argument of every DefaultsChanged signal until interrupted",
     [](const Invocation&) { return runListen(); }},
    {"why", Takes::Folder, true, {}, "why DIR",
     "tell why the next scan registers DIR or passes over it",
     [](const Invocation& i) { return runWhy(i.dir, i.options.json); }},
    {"bookmark", Takes::Folder, false, {}, "bookmark DIR",
     "print the transport data of DIR in base64",
     [](const Invocation& i) { return runBookmark(i.dir); }},
};

// Each line of text, indented.
std::string indented(std::string_view text, std::string_view indent) {
  std::string out;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    out += std::string(indent) + std::string(text.substr(at, end - at)) + "\n";
    at = end + 1;
  }
  return out;
}

std::string help() {
  std::string text =
      std::string(kUsageLine) + "\n\n" + std::string(kIntroduction) + "\n\nCommands:\n";
  for (const Command& command : kCommands) {
    text += indented(command.synopsis, "  ") + indented(command.description, "                ");
  }
  return text + "\nOptions:\n" + std::string(kOptions) + "\n\n" + std::string(kExitStatus);
}

std::string help(const Command& command) {
  std::string text;
  std::string_view synopsis = command.synopsis;
  for (std::size_t at = 0; at <= synopsis.size();) {
    const std::size_t end = std::min(synopsis.find('\n', at), synopsis.size());
    text += (at == 0 ? "Usage: " : "       ") + std::string(kProgram) +
            (command.printsJson ? " [--json] " : " ") + std::string(synopsis.substr(at, end - at)) +
            "\n";
    at = end + 1;
  }
  text += "\n" + indented(command.description, "");
  return text + "\n" + std::string(kExitStatus);
}

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
    // A stored pattern that can never match may still be removed.
    const std::string problem = zivuv::discovery::patternProblem(words[3]);
    if (verb == "add" && !problem.empty()) {
      return "the pattern " + shownArgument(words[3]) + " can never match a folder: " + problem;
    }
    change = {verb == "add" ? Kind::Ignore : Kind::Unignore, 0, words[3]};
    wanted = 4;
  } else {
    return "config takes depth or ignore, not " + shownArgument(setting);
  }
  if (words.size() > wanted) return "unexpected argument " + shownArgument(words[wanted]);
  return {};
}

// The flag of an option that one command takes, or nullptr.
bool* commandOption(Options& options, std::string_view word) {
  if (word == "--check") return &options.check;
  if (word == "--yes") return &options.yes;
  if (word == "--replace") return &options.replace;
  if (word == "--dry-run") return &options.dryRun;
  return nullptr;
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
    } else if (optionsOpen && (word == "--help" || word == "-h")) {
      options.help = true;
    } else if (bool* flag = optionsOpen ? commandOption(options, word) : nullptr) {
      *flag = true;
      given.push_back(word);
    } else if (optionsOpen && word == "--") {
      optionsOpen = false;
    } else {
      words.emplace_back(word);
    }
  }
  if (options.help) {
    // The program's help, or that of the command named.
    if (words.empty()) return printData(help()) ? kSuccess : kFailure;
    for (const Command& command : kCommands) {
      if (command.name == words[0]) return printData(help(command)) ? kSuccess : kFailure;
    }
    return usageError("unknown command " + shownArgument(words[0]));
  }
  if (words.empty()) return usageError("no command given");
  const std::string& first = words[0];
  if (first == "--version") {
    if (words.size() > 1) return usageError("unexpected argument " + shownArgument(words[1]));
    if (options.json) return usageError(first + " prints no JSON");
    if (!given.empty()) return usageError(first + " takes no option " + shownArgument(given[0]));
    return printData(std::string(kProgram) + " " + ZIVUV_VERSION) ? kSuccess : kFailure;
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

// `status`: the monitored folder and the process name as they always were,
// then what the service's status interface tells, for a person, and the
// counts of the shared lists.

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "monitorctl/RepoCheck.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {

namespace {

using nlohmann::json;

// A property for a printed line: text escaped, a number in decimal, "?"
// when the service does not have it.
std::string shown(const json& properties, const char* name) {
  const auto found = properties.find(name);
  if (found == properties.end()) return "?";
  if (found->is_string()) return platform::escapeControlBytes(found->get<std::string>());
  return found->dump();
}

std::uint64_t microseconds(const json& value) {
  return value.is_number_unsigned() ? value.get<std::uint64_t>() : 0;
}

std::uint64_t microseconds(const json& properties, const char* name) {
  const auto found = properties.find(name);
  return found == properties.end() ? 0 : microseconds(*found);
}

// Microseconds since the epoch as local time to the second; "never" for 0.
std::string localTime(std::uint64_t us) {
  if (us == 0) return "never";
  const auto seconds = static_cast<std::time_t>(us / 1000000);
  std::tm local{};
  char text[32] = {};
  if (::localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return std::to_string(us) + " us";
  }
  return text;
}

// Microseconds as milliseconds with one decimal.
std::string milliseconds(std::uint64_t us) {
  return std::to_string(us / 1000) + "." + std::to_string(us % 1000 / 100) + " ms";
}

// "1 scan", "2 scans".
std::string counted(const json& properties, const char* name, const std::string& noun) {
  const std::string n = shown(properties, name);
  return n + " " + noun + (n == "1" ? "" : "s");
}

// A (when, text) property, (0, "") for none, as "<time>: <text>"; empty
// for none.
std::string timedText(const json& properties, const char* name) {
  const json value = properties.value(name, json::array());
  if (value.size() != 2) return {};
  const std::string text = value[1].is_string() ? value[1].get<std::string>() : "";
  const std::uint64_t when = microseconds(value[0]);
  if (when == 0 && text.empty()) return {};
  return localTime(when) + ": " + platform::escapeControlBytes(text);
}

std::vector<std::string> statusLines(const ServiceReport& report,
                                     const std::optional<RepositoryCounts>& counts) {
  const json& p = report.properties;
  const Agent& agent = report.agent;
  std::vector<std::string> lines;
  // While the folder is gone, the service has no folder to report, yet it
  // waits for one at its path.
  if (shown(p, "State") == "waiting-for-folder" && !shown(p, "Folder").empty()) {
    lines.push_back("folder: waiting for " + shown(p, "Folder") + " to appear");
  } else {
    lines.push_back("folder: " + shownFolder(agent));
  }
  lines.push_back("process: " + platform::escapeControlBytes(agent.processName));
  lines.push_back("state: " + shown(p, "State") + ", watcher: " + shown(p, "Watcher"));
  lines.push_back("watches: " + shown(p, "Watches") + "/" + shown(p, "WatchLimit"));
  lines.push_back("pending folders: " + shown(p, "PendingFolders"));
  lines.push_back("scan depth: " + shown(p, "ScanDepth"));
  lines.push_back("last event: " + localTime(microseconds(p, "LastEvent")));
  std::string lastScan = "never";
  if (const std::string why = timedText(p, "LastScanError"); !why.empty()) {
    lastScan = "failed at " + why;
  } else if (const std::uint64_t when = microseconds(p, "LastScan"); when != 0) {
    lastScan = localTime(when) + ", " + milliseconds(microseconds(p, "LastScanDuration")) + ", " +
               counted(p, "LastScanCandidates", "candidate") + ", " +
               shown(p, "LastScanRegistered") + " registered";
  }
  lines.push_back("last scan: " + lastScan);
  lines.push_back("since start: " + counted(p, "Scans", "scan") + ", " +
                  counted(p, "Rescans", "rescan") + ", " + counted(p, "Overflows", "overflow"));
  const std::string lastError = timedText(p, "LastError");
  lines.push_back("last error: " + (lastError.empty() ? std::string("none") : lastError));
  std::string repositories = "unknown";
  if (counts) {
    repositories = std::to_string(counts->listed) + " listed (" + std::to_string(counts->missing) +
                   " missing), " + std::to_string(counts->blocked) + " blocked";
  }
  lines.push_back("repositories: " + repositories);
  lines.push_back("started: " + localTime(microseconds(p, "StartedAt")));
  lines.push_back("version: " + shown(p, "Version"));
  std::string confinement;
  for (const auto& item : p.value("Confinement", json::array())) {
    if (!item.is_string()) continue;
    confinement +=
        (confinement.empty() ? "" : ", ") + platform::escapeControlBytes(item.get<std::string>());
  }
  lines.push_back("confinement: " + (confinement.empty() ? std::string("none") : confinement));
  return lines;
}

}  // namespace

int runStatus(bool asJson) {
  const auto report = askStatus();
  if (!report) return kFailure;
  std::optional<platform::FileURL> folder;
  if (report->agent.data) {
    folder = platform::resolveBookmark(*report->agent.data, platform::BookmarkKind::Transport).url;
  }
  const auto counts = countRepositories(folder);
  if (!counts) printMessage("cannot read the shared settings " + sharedSettingsFile());
  const int status = counts ? kSuccess : kFailure;

  if (asJson) {
    // The bus property names, and the client's own keys in their style:
    // one spelling of each.
    json document = report->properties;
    document["ProcessName"] = platform::toValidUtf8(report->agent.processName);
    document["FolderUnresolvable"] = report->agent.data && !folder;
    document["Repositories"] = counts ? json{{"Listed", counts->listed},
                                             {"Missing", counts->missing},
                                             {"Blocked", counts->blocked}}
                                      : json(nullptr);
    return printJson(document) == kSuccess ? status : kFailure;
  }
  // Scripts read the first two lines: they stay as they always were.
  ::tzset();
  for (const auto& line : statusLines(*report, counts)) {
    if (!printData(line)) return kFailure;
  }
  return status;
}

}  // namespace zivuv::monitorctl

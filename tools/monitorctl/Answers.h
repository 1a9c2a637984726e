#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "discovery/Candidates.h"
#include "platform/url/FileURL.h"

namespace zivuv::monitorctl {

// What the next scan does with one folder, and why: the answer of `why`,
// which `scan --dry-run` gives for every folder that the walk meets.
struct Answer {
  const char* key;   // for scripts
  std::string text;  // for people
  nlohmann::json details = nlohmann::json::object();
  std::string more = {};  // a second line for people, when there is one
};

// The shared lists as a scan reads them, the store's own lines left out
// of standard output; nullopt when the shared settings cannot be read.
std::optional<discovery::KnownFolders> loadKnownFolders();

// A folder that the shared lists hold.
Answer knownAnswer(discovery::KnownFolders::Kind kind);
// A folder that pattern passes over: folder itself, or the one above it
// that pattern matches.
Answer ignoredAnswer(const std::string& pattern, const std::string& folder);
// A folder below one that the walk does not enter.
Answer insideBlockedAnswer(const std::string& blocked);
Answer insideRepositoryAnswer(const std::string& repository);
Answer tooDeepAnswer(std::size_t depth, int scanDepth);
// The scan's judgement of the candidate at path (made with its reason).
Answer judgedAnswer(const discovery::Judgement& judgement, const discovery::KnownFolders& known,
                    const std::string& path);

// The answer for folder (as named) as `why --json` gives it.
nlohmann::json answerDocument(const std::string& folder, const Answer& answer,
                              const std::optional<platform::FileURL>& monitored);
// The answer's lines for people, "<folder>: <text>"; false when standard
// output cannot take them.
bool printAnswer(const std::string& folder, const Answer& answer);

}  // namespace zivuv::monitorctl

#include "monitorctl/Answers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "bookmarks/BookmarkUtils.h"
#include "monitorctl/Output.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {
namespace {

using discovery::KnownFolders;
using platform::FileURL;

// A path as one word of a shell command: as it is when nothing in it needs
// quoting, in single quotes otherwise.
std::string shellWord(const std::string& path) {
  const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::strchr("/._-+,:@%=", c) != nullptr;
  });
  if (plain && !path.empty()) return path;
  std::string word = "'";
  for (const char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

}  // namespace

// The store prints its own lines on standard output, which here carries the
// answers alone: as in `repos`, they are left out.
std::optional<KnownFolders> loadKnownFolders() {
  std::optional<std::vector<FileURL>> blocked;
  std::optional<std::vector<FileURL>> listed;
  {
    const QuietStdout quiet;
    SharedSuiteSession suite(sharedSuiteName());
    blocked = suite.loadURLs(BookmarkKeys::blockKey);
    if (blocked) listed = suite.loadURLs(BookmarkKeys::sandboxKey);
    if (listed) {
      return KnownFolders(*blocked, *listed, [records = suite.listedRecords()] { return records; });
    }
  }
  return std::nullopt;
}

Answer knownAnswer(KnownFolders::Kind kind) {
  if (kind == KnownFolders::Kind::Blocked) {
    return {"blocked", "blocked: the app has blocked it, so no scan registers it"};
  }
  return {"listed", "listed: the app lists it, registered already"};
}

Answer ignoredAnswer(const std::string& pattern, const std::string& folder) {
  return {"ignored", "ignored: the pattern '" + pattern + "' matches " + folder,
          {{"pattern", platform::toValidUtf8(pattern)}, {"by", platform::toValidUtf8(folder)}}};
}

Answer insideBlockedAnswer(const std::string& blocked) {
  return {"inside-blocked", "inside a blocked folder: " + blocked,
          {{"inside", platform::toValidUtf8(blocked)}}};
}

Answer insideRepositoryAnswer(const std::string& repository) {
  return {"inside-repository",
          "inside the repository " + repository + ": scans never look inside repositories",
          {{"inside", platform::toValidUtf8(repository)}}};
}

Answer tooDeepAnswer(std::size_t depth, int scanDepth) {
  return {"too-deep",
          "deeper than the scan depth: at depth " + std::to_string(depth) + ", and scans look " +
              std::to_string(scanDepth) + " deep",
          {{"depth", depth}, {"scanDepth", scanDepth}}};
}

Answer judgedAnswer(const discovery::Judgement& judgement, const KnownFolders& known,
                    const std::string& path) {
  const auto entry = [&] {
    return judgement.entry ? known.record(*judgement.entry).path : std::string();
  };
  using Verdict = discovery::Judgement::Verdict;
  switch (judgement.verdict) {
    case Verdict::Repository: return {"would-register", "would be registered by the next scan"};
    case Verdict::Moved:
      return {"moved",
              "the listed repository " + entry() + ", moved here: the next scan records it here",
              {{"entry", platform::toValidUtf8(entry())}}};
    case Verdict::Alias:
      return {"alias",
              "an alias of the listed repository " + entry() +
                  ": the same folder reached another way, which scans never list twice",
              {{"entry", platform::toValidUtf8(entry())}}};
    case Verdict::BeingWritten:
      return {"being-written", "being written (a clone or fetch in progress)"};
    case Verdict::Blocked: return knownAnswer(KnownFolders::Kind::Blocked);
    case Verdict::Listed: return knownAnswer(KnownFolders::Kind::Listed);
    case Verdict::NotRepository: break;
  }
  const std::string& reason = judgement.test.reason;
  if (judgement.test.undecided) {
    return {"undecided",
            "undecided: only libgit2 can judge this folder, and it cannot be loaded: " + reason,
            {{"reason", platform::toValidUtf8(reason)}}};
  }
  Answer answer{
      "not-repository", "not a repository: " + reason, {{"reason", platform::toValidUtf8(reason)}}};
  if (judgement.test.foreignOwner) {
    // What git itself asks for; libgit2 reads the same entry.
    const std::string command = "git config --global --add safe.directory " + shellWord(path);
    answer.more = "owned by another user; git opens it once told: " + command;
    answer.details["command"] = platform::toValidUtf8(command);
  }
  return answer;
}

nlohmann::json answerDocument(const std::string& folder, const Answer& answer,
                              const std::optional<FileURL>& monitored) {
  nlohmann::json document = answer.details;
  document["folder"] = platform::toValidUtf8(folder);
  document["answer"] = answer.key;
  document["text"] = platform::toValidUtf8(answer.text);
  document["monitored"] = monitored ? nlohmann::json(jsonPath(*monitored)) : nlohmann::json(nullptr);
  return document;
}

bool printAnswer(const std::string& folder, const Answer& answer) {
  const std::string shown = platform::escapeControlBytes(folder) + ": ";
  if (!printData(shown + platform::escapeControlBytes(answer.text))) return false;
  return answer.more.empty() || printData(shown + platform::escapeControlBytes(answer.more));
}

}  // namespace zivuv::monitorctl

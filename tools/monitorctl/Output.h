#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/bookmark/BookmarkRecord.h"
#include "platform/fd/UniqueFd.h"

namespace zivuv::monitorctl {

inline constexpr const char* kProgram = "zivuv-monitorctl";

// Exit statuses of every command.
inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

// Writes one line of data on standard output at once, unbuffered, so that it
// keeps its place among the lines that the bookmark store prints itself.
// False when standard output cannot take it.
bool printData(std::string_view line);

// Writes "zivuv-monitorctl: <message>" on standard error.
void printMessage(std::string_view message);

// Padded base64 of bytes, standard alphabet.
std::string base64(std::span<const std::uint8_t> bytes);

// A folder named on the command line, with its transport data and the
// folder URL that the data resolves to (the directory form of its real path).
struct Folder {
  platform::Data transportData;
  platform::FileURL url;
};

// Transport data of the folder at path. A path that is not an existing folder
// is reported on standard error and gives nullopt; nothing goes to standard
// output.
std::optional<Folder> folderArgument(const std::string& path);

// The path of a folder for a printed line, control bytes escaped.
std::string shownPath(const platform::FileURL& url);

// What a bookmark record resolves to without printing anything: the path for
// a printed line, or "(unresolvable)".
std::string shownResolution(std::span<const std::uint8_t> data);

// The path of a folder for a JSON document, carried as the bus carries
// text: each byte that is not part of UTF-8 becomes U+FFFD.
std::string jsonPath(const platform::FileURL& url);

// The shared settings file, for a message.
std::string sharedSettingsFile();

// Prints one JSON document on standard output; the exit status.
int printJson(const nlohmann::json& document);

// While it lives, standard output goes nowhere: the bookmark store prints
// its own lines there, and the client's standard output carries its data
// alone. Restored when it ends.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  platform::UniqueFd saved_;  // standard output as it was
};

}  // namespace zivuv::monitorctl

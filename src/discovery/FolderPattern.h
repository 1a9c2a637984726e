#pragma once

#include <string>
#include <string_view>

namespace zivuv::discovery {

// Folder patterns as a .gitignore file has them, for folders: a pattern
// without '/' (or with only a trailing '/') matches a folder's name at any
// level; with a leading '/' it is anchored at the monitored folder; any
// other '/' makes it match the folder's path relative to the monitored
// folder. "**/" at the start, "/**/" inside and "/**" at the end match zero
// or more levels (one or more at the end); '*', '?' and "[...]" (with '!'
// or '^' to negate, ranges and "[:class:]") stay within one level; '\'
// takes the next character as it is. Nothing is allocated: the walk asks
// for every folder it meets.

// Whether pattern matches the folder called name whose path below the
// monitored folder is relativePath ("a/b", no slash at either end).
bool folderPatternMatches(std::string_view pattern, std::string_view name,
                          std::string_view relativePath);

// Whether pattern needs the folder's relative path, not its name alone.
bool patternMatchesPaths(std::string_view pattern);

// Why pattern can never match a folder (an empty level as in "a//b", a
// "." or ".." level, a '[' without its ']', a '\' at the end); empty when
// it can.
std::string patternProblem(std::string_view pattern);

}  // namespace zivuv::discovery

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/NoticeCenter.h"
#include "platform/url/FileURL.h"

namespace zivuv::discovery {

using platform::FileURL;

// The visible immediate subfolders of folder, in the order the folder lists
// them. Hidden entries, plain files and symbolic links are left out; any
// failure gives an empty list.
std::vector<FileURL> listSubfolders(const FileURL& folder);

// Whether folder itself is a git repository: a working tree, a linked
// worktree or a bare repository. Parent folders are never searched.
bool isGitRepository(const std::string& path);

// The scan after its first log line: registers every repository among the
// subfolders of monitoringURL that the shared suite neither lists nor
// blocks, announces them, and returns how many were registered. Holds the
// shared suite's lock from the first load to the last add.
std::int64_t scanForNewRepositories(const std::optional<FileURL>& monitoringURL,
                                    NoticeCenter& notices);

}  // namespace zivuv::discovery

#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery/RepositoryTest.h"
#include "platform/url/FileURL.h"

namespace zivuv::discovery {

using platform::FileURL;

// How the listing of the monitored folder takes one of its entries: only
// visible folders are candidates. A symbolic link is no folder here.
enum class EntryKind { Candidate, Hidden, SymbolicLink, NotAFolder, Missing };

// The listing's verdict on the entry `name` of the folder open as dirFd;
// type is the entry's d_type from the listing, or DT_UNKNOWN.
EntryKind classifyEntry(int dirFd, const char* name, unsigned char type);

// The candidates among the immediate entries of folder, in the order the
// folder lists them. Any failure gives an empty list.
std::vector<FileURL> listSubfolders(const FileURL& folder);

// The folders that a scan passes over: those the app has blocked and those
// it lists, matched by URL (blocked first).
class KnownFolders {
 public:
  enum class Kind { Blocked, Listed };
  KnownFolders(const std::vector<FileURL>& blocked, const std::vector<FileURL>& listed);
  std::optional<Kind> find(const FileURL& url) const;

 private:
  std::unordered_map<std::string, Kind> byText_;
};

}  // namespace zivuv::discovery

#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fakes/TempConfig.h"
#include "bookmarks/BookmarkUtils.h"
#include "platform/defaults/DefaultsStore.h"

namespace zivuv::testing {

// Real folders and real settings files in the test's temporary folder.
class BookmarkStoreTest : public TempConfigTest {
 protected:
  const std::string& suite() const { return sharedSuiteName(); }

  // A folder by its real path, in directory form, as resolution gives it.
  FileURL folder(const std::string& name) {
    return FileURL::fromPath(makeFolder(name), true);
  }

  static Data record(const FileURL& url,
                     platform::BookmarkKind kind = platform::BookmarkKind::Transport) {
    return platform::createBookmark(url.path(), kind).data.value_or(Data{});
  }

  static void replaceFolder(const FileURL& url) { testing::replaceFolder(url.path()); }

  // Sets one key of a settings file, keeping the others; takes the value.
  void store(const std::string& name, const char* key, plist_t value) {
    const std::string old = readFile(settingsFile(name));
    platform::PlistPtr root =
        platform::parseSettings({reinterpret_cast<const std::uint8_t*>(old.data()), old.size()});
    if (!root) root.reset(plist_new_dict());
    plist_dict_set_item(root.get(), key, value);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &bin, &length);
    writeFile(settingsFile(name), std::string(bin, length));
    plist_to_bin_free(bin);
  }

  void storeList(const std::string& name, const char* key, const std::vector<Data>& list) {
    plist_t array = plist_new_array();
    for (const Data& d : list) {
      plist_array_append_item(array,
                              plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
    }
    store(name, key, array);
  }

  // The list under key, read without printing; nullopt for any other shape.
  std::optional<std::vector<Data>> stored(const std::string& name, std::string_view key) {
    return platform::DefaultsStore::openDomain(name).dataArray(key);
  }

  // What the call printed on standard output.
  static std::string printed(const std::function<void()>& call) {
    ::testing::internal::CaptureStdout();
    call();
    return ::testing::internal::GetCapturedStdout();
  }
};

}  // namespace zivuv::testing

// Settings files are written by the app and by hand: whatever their bytes,
// reading one must never crash, and a file that reads must survive being
// written back, since every write re-serialises the whole dictionary.
#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/defaults/DefaultsStore.h"

namespace {

using namespace zivuv::platform;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Touches every node, and the bytes of every data value, without recursion.
// Keys and strings are not read as text, as the service never does:
// plist_get_key_val and plist_get_string_val assert on an embedded NUL
// (fuzz/known-libplist-crashes/).
void walk(plist_t root) {
  std::vector<plist_t> pending{root};
  while (!pending.empty()) {
    plist_t node = pending.back();
    pending.pop_back();
    switch (plist_get_node_type(node)) {
      case PLIST_DICT: {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
          plist_t value = nullptr;
          plist_dict_next_item(node, it, nullptr, &value);
          if (value == nullptr) break;
          check(plist_get_node_type(plist_dict_item_get_key(value)) == PLIST_KEY);
          pending.push_back(value);
        }
        free(it);
        break;
      }
      case PLIST_ARRAY:
        for (std::uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i) {
          pending.push_back(plist_array_get_item(node, i));
        }
        break;
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        check(length == 0 || bytes != nullptr);
        if (length > 0) (void)*(volatile const char*)(bytes + length - 1);
        break;
      }
      default: break;
    }
  }
}

// The list under key as the store reads it: an array of data values, or none.
std::optional<std::vector<Data>> dataArray(plist_t root, const char* key) {
  plist_t node = plist_dict_get_item(root, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
  std::vector<Data> values;
  for (std::uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i) {
    plist_t item = plist_array_get_item(node, i);
    if (item == nullptr || plist_get_node_type(item) != PLIST_DATA) return std::nullopt;
    std::uint64_t length = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(item, &length));
    values.emplace_back(bytes, bytes + (bytes == nullptr ? 0 : length));
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const PlistPtr root = parseSettings({data, size});
  if (!root) return 0;
  check(plist_get_node_type(root.get()) == PLIST_DICT);
  walk(root.get());
  const auto listed = dataArray(root.get(), "kSandboxKey");
  (void)dataArray(root.get(), "kBlockedKey");
  // The service's own settings, as every scan reads them.
  std::int64_t depth = 0;
  std::vector<std::string> ignored;
  (void)lookupInteger(root.get(), "scanDepth", depth);
  (void)lookupStrings(root.get(), "ignoredFolders", ignored);

  // What a write would put on disk reads back with the same list, or the
  // write is refused: checked by its shape where every key is one the
  // service names, else parsed again.
  static const std::string kKnown[] = {"kSandboxKey", "kBlockedKey", "scanDepth",
                                       "ignoredFolders"};
  for (const std::span<const std::string> known :
       {std::span<const std::string>(), std::span<const std::string>(kKnown)}) {
    if (const auto written = serialiseSettings(root.get(), known)) {
      const PlistPtr reread = parseSettings(*written);
      check(reread != nullptr);
      check(dataArray(reread.get(), "kSandboxKey") == listed);
    }
  }
  return 0;
}

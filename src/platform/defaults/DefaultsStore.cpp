#include "platform/defaults/DefaultsStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/faults/Faults.h"
#include "platform/fs/FolderListing.h"
#include "platform/print/Print.h"

namespace zivuv::platform {
namespace {

std::function<void(const WriteFailure&)>& writeFailureReporter() {
  static std::function<void(const WriteFailure&)> reporter;
  return reporter;
}

// Why the last DefaultsLock::acquire on this thread failed (an errno, or
// -1 for a fault made on purpose); 0 after one that succeeded. A write
// without the lock runs on the thread that tried to take it.
thread_local int tLockError = 0;

std::string errorText(int error) { return std::strerror(error); }

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return "/";
}

bool makeFolders(const std::string& path) {
  std::string partial;
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t j = path.find('/', i + 1);
    partial = path.substr(0, j == std::string::npos ? path.size() : j);
    i = j == std::string::npos ? path.size() : j;
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool validStoreName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

enum class ReadOutcome { Missing, Ok, Corrupt, Unreadable };

// Visits each item of array in order while visit returns true; false when
// it did not, or an item is missing. It walks with an iterator:
// plist_array_get_item(node, i) on an array parsed from a file starts from
// the head every time, which made a loop over it quadratic (42 ms for
// 5,000 entries, 8.5 s for 50,000).
template <typename Visit>
bool forEachItem(plist_t array, const Visit& visit) {
  const std::uint32_t count = plist_array_get_size(array);
  plist_array_iter iter = nullptr;
  plist_array_new_iter(array, &iter);
  const std::unique_ptr<void, decltype(&std::free)> ownedIter(iter, &std::free);
  for (std::uint32_t i = 0; i < count; ++i) {
    plist_t item = nullptr;
    plist_array_next_item(array, iter, &item);
    if (item == nullptr || !visit(item)) return false;
  }
  return true;
}

// Visits each item of array in order; false, and no further visit, at the
// first one of another type.
template <typename Visit>
bool eachItemOf(plist_t array, plist_type type, const Visit& visit) {
  return forEachItem(array, [&](plist_t item) {
    if (plist_get_node_type(item) != type) return false;
    visit(item);
    return true;
  });
}

// Reads and parses the file; problem says why it could not, for a file
// that exists.
ReadOutcome readSettingsFile(const std::string& file, PlistPtr& root, std::string& problem) {
  // O_NONBLOCK: a FIFO in the file's place must not block the open.
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd && errno == ENOENT) return ReadOutcome::Missing;
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    problem = errorText(errno);
    return ReadOutcome::Unreadable;
  }
  if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
    return ReadOutcome::Unreadable;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxSettingsFileSize) {
    problem = "larger than 64 MiB";
    return ReadOutcome::Corrupt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      problem = errorText(errno);
      return ReadOutcome::Unreadable;
    }
    if (n == 0) break;  // shrank under us: parse what is there
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  root = parseSettings(bytes);
  if (root) return ReadOutcome::Ok;
  problem = "not a property list with a dictionary root";
  return ReadOutcome::Corrupt;
}

// Whether libplist writes every value under root as it is, so that the
// bytes read back as the same dictionary: the values it writes by their
// bytes or numbers (data, integers, booleans; strings of ASCII
// without NUL, which it writes as they are and never converts), in arrays,
// under keys that this program names (a key read from a file may hold
// bytes that libplist cannot take out as text without failing an
// assertion, and converts on writing). Nothing is parsed or copied.
bool writtenAsIs(plist_t root, std::span<const std::string> knownKeys) {
  std::size_t named = 0;
  std::vector<plist_t> values;
  for (const auto& key : knownKeys) {
    if (plist_t value = plist_dict_get_item(root, key.c_str())) {
      ++named;
      values.push_back(value);
    }
  }
  // A key that holds a NUL byte matches a name cut at it: two such keys
  // would be counted for one value.
  std::sort(values.begin(), values.end());
  if (named != plist_dict_get_size(root) ||
      std::adjacent_find(values.begin(), values.end()) != values.end()) {
    return false;
  }
  while (!values.empty()) {
    plist_t node = values.back();
    values.pop_back();
    switch (plist_get_node_type(node)) {
      case PLIST_ARRAY:
        // Data, the bulk of a list, is taken as it comes.
        if (!forEachItem(node, [&values](plist_t item) {
              if (plist_get_node_type(item) != PLIST_DATA) values.push_back(item);
              return true;
            })) {
          return false;
        }
        break;
      case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (text == nullptr && length > 0) return false;
        for (std::uint64_t i = 0; i < length; ++i) {
          const auto byte = static_cast<unsigned char>(text[i]);
          if (byte == 0 || byte > 0x7F) return false;
        }
        break;
      }
      case PLIST_DATA:
      case PLIST_UINT:
      case PLIST_BOOLEAN: break;
      default: return false;
    }
  }
  return true;
}

}  // namespace

PlistPtr parseSettings(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxSettingsFileSize) return nullptr;
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  const auto length = static_cast<std::uint32_t>(bytes.size());
  plist_t root = nullptr;  // a failed parse leaves it untouched
  if (bytes.size() >= 8 && std::memcmp(text, "bplist00", 8) == 0) {
    plist_from_bin(text, length, &root);
  } else {
    // XML: the first byte that is not blank (after a UTF-8 byte order mark)
    // must open a tag; libplist is not handed anything else.
    // libplist refuses the mark itself, so it is handed the text after it.
    std::size_t bom = 0;
    if (bytes.size() >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) bom = 3;
    std::size_t i = bom;
    while (i < bytes.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (i < bytes.size() && text[i] == '<') {
      plist_from_xml(text + bom, length - static_cast<std::uint32_t>(bom), &root);
    }
  }
  PlistPtr owned(root);
  if (!owned || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return owned;
}

std::optional<Data> serialiseSettings(plist_t root, std::span<const std::string> knownKeys) {
  auto binary = [](plist_t node) -> std::optional<Data> {
    char* buffer = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &buffer, &length);
    std::unique_ptr<char, decltype(&plist_to_bin_free)> owned(buffer, &plist_to_bin_free);
    if (!owned || length == 0) return std::nullopt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(owned.get());
    return Data(bytes, bytes + length);
  };
  auto bytes = binary(root);
  if (!bytes) return std::nullopt;
  if (writtenAsIs(root, knownKeys)) return bytes;
  // A file is never replaced by one that reads back as something else: the
  // bytes must parse, and parsing them must give the same bytes again.
  const PlistPtr reread = parseSettings(*bytes);
  if (!reread || binary(reread.get()) != bytes) return std::nullopt;
  return bytes;
}

std::string settingsFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base = (config != nullptr && config[0] == '/') ? std::string(config)
                                                              : homeFolder() + "/.config";
  return base + "/Zivuv";
}

bool makeSettingsFolder() { return makeFolders(settingsFolder()); }

std::string settingsFile(const std::string& name) { return settingsFolder() + "/" + name + ".plist"; }

void setWriteFailureReporter(std::function<void(const WriteFailure&)> reporter) {
  writeFailureReporter() = std::move(reporter);
}

std::optional<DefaultsLock> DefaultsLock::acquire(const std::string& name) {
  tLockError = -1;
  if (!validStoreName(name) || Faults::failsLock(name)) return std::nullopt;
  const std::string folder = settingsFolder();
  if (!makeFolders(folder)) {
    tLockError = errno;
    return std::nullopt;
  }
  const std::string path = folder + "/" + name + ".plist.lock";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
  if (!fd) {
    tLockError = errno;
    return std::nullopt;
  }
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      tLockError = errno;
      return std::nullopt;
    }
  }
  tLockError = 0;
  return DefaultsLock(std::move(fd));
}

DefaultsStore::DefaultsStore(std::string name, std::string file, FileState state, PlistPtr root,
                             std::string fileProblem)
    : name_(std::move(name)),
      file_(std::move(file)),
      state_(state),
      root_(std::move(root)),
      fileProblem_(std::move(fileProblem)) {}

std::optional<DefaultsStore> DefaultsStore::open(const std::string& name, bool ownDomain) {
  if (!validStoreName(name)) return std::nullopt;
  if (!makeFolders(settingsFolder())) return std::nullopt;
  std::string file = settingsFile(name);
  PlistPtr root;
  std::string problem;
  FileState state = FileState::Ok;
  switch (readSettingsFile(file, root, problem)) {
    case ReadOutcome::Missing: state = FileState::Missing; break;
    case ReadOutcome::Ok: state = FileState::Ok; break;
    case ReadOutcome::Corrupt: state = FileState::Corrupt; break;
    case ReadOutcome::Unreadable: state = FileState::Unreadable; break;
  }
  if (!ownDomain && (state == FileState::Corrupt || state == FileState::Unreadable)) {
    return std::nullopt;
  }
  if (!root) root.reset(plist_new_dict());
  return DefaultsStore(name, std::move(file), state, std::move(root), std::move(problem));
}

DefaultsStore DefaultsStore::openDomain(const std::string& name) {
  if (auto store = open(name, true)) return std::move(*store);
  // A folder that cannot be made: read empty, and let every write fail.
  const int error = errno;
  return DefaultsStore(name, settingsFile(name), FileState::Unreadable, PlistPtr(plist_new_dict()),
                       validStoreName(name) ? "its folder cannot be made: " + errorText(error)
                                            : "not a valid settings name");
}

std::optional<DefaultsStore> DefaultsStore::openSuite(const std::string& name) {
  return open(name, false);
}

std::optional<std::vector<Data>> DefaultsStore::dataArray(std::string_view key) const {
  const char* k = usedKey(key);
  plist_t node = plist_dict_get_item(root_.get(), k);
  if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
  std::vector<Data> values;
  values.reserve(plist_array_get_size(node));
  const bool allData = eachItemOf(node, PLIST_DATA, [&](plist_t item) {
    std::uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(item, &length);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
    values.emplace_back(begin, begin + (bytes == nullptr ? 0 : length));
  });
  if (!allData) return std::nullopt;
  return values;
}

bool DefaultsStore::holdsDataArray(std::string_view key) const {
  const char* k = usedKey(key);
  plist_t node = plist_dict_get_item(root_.get(), k);
  return node != nullptr && plist_get_node_type(node) == PLIST_ARRAY &&
         eachItemOf(node, PLIST_DATA, [](plist_t) {});
}

void DefaultsStore::setDataArray(std::string_view key, const std::vector<Data>& values) {
  plist_t array = plist_new_array();
  for (const Data& value : values) {
    plist_array_append_item(
        array, plist_new_data(reinterpret_cast<const char*>(value.data()), value.size()));
  }
  const char* k = usedKey(key);
  plist_dict_set_item(root_.get(), k, array);
}

Lookup lookupInteger(plist_t dict, std::string_view key, std::int64_t& value) {
  const std::string k(key);
  plist_t node = plist_dict_get_item(dict, k.c_str());
  if (node == nullptr) return Lookup::Absent;
  if (plist_get_node_type(node) != PLIST_UINT) return Lookup::WrongType;
  std::uint64_t raw = 0;
  plist_get_uint_val(node, &raw);
  // libplist keeps a negative integer as its two's complement.
  value = static_cast<std::int64_t>(raw);
  return Lookup::Found;
}

Lookup lookupStrings(plist_t dict, std::string_view key, std::vector<std::string>& values) {
  const std::string k(key);
  plist_t node = plist_dict_get_item(dict, k.c_str());
  if (node == nullptr) return Lookup::Absent;
  if (plist_get_node_type(node) != PLIST_ARRAY) return Lookup::WrongType;
  std::vector<std::string> found;
  const bool allStrings = eachItemOf(node, PLIST_STRING, [&](plist_t item) {
    // Never plist_get_string_val: it asserts on a NUL byte in the string.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    found.emplace_back(text != nullptr ? std::string(text, length) : std::string());
  });
  if (!allStrings) return Lookup::WrongType;
  values = std::move(found);
  return Lookup::Found;
}

Lookup DefaultsStore::integer(std::string_view key, std::int64_t& value) const {
  (void)usedKey(key);
  return lookupInteger(root_.get(), key, value);
}

Lookup DefaultsStore::strings(std::string_view key, std::vector<std::string>& values) const {
  (void)usedKey(key);
  return lookupStrings(root_.get(), key, values);
}

std::string DefaultsStore::valueFingerprint(std::string_view key) const {
  const std::string k(key);
  plist_t node = plist_dict_get_item(root_.get(), k.c_str());
  if (node == nullptr) return {};
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  const std::unique_ptr<char, decltype(&plist_to_xml_free)> owned(xml, &plist_to_xml_free);
  // A value that cannot be written out still differs from an absent one.
  return owned ? std::string(owned.get(), length) : std::string("?");
}

void DefaultsStore::setInteger(std::string_view key, std::int64_t value) {
  const char* k = usedKey(key);
  plist_dict_set_item(root_.get(), k, plist_new_uint(static_cast<std::uint64_t>(value)));
}

void DefaultsStore::setStrings(std::string_view key, const std::vector<std::string>& values) {
  plist_t array = plist_new_array();
  for (const auto& value : values) plist_array_append_item(array, plist_new_string(value.c_str()));
  const char* k = usedKey(key);
  plist_dict_set_item(root_.get(), k, array);
}

const char* DefaultsStore::usedKey(std::string_view key) const {
  for (const auto& known : keys_) {
    if (known == key) return known.c_str();
  }
  return keys_.emplace_back(key).c_str();
}

bool DefaultsStore::failWrite(std::string reason) {
  writeError_ = std::move(reason);
  return false;
}

bool DefaultsStore::keepCorruptFileAside() {
  const std::string base = file_ + ".corrupt-" + std::to_string(std::time(nullptr));
  for (int n = 1; n < 1000; ++n) {
    const std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    // A hard link never replaces an existing name; then drop the old one.
    if (::link(file_.c_str(), target.c_str()) == 0) {
      if (::unlink(file_.c_str()) != 0) {
        const int error = errno;
        (void)::unlink(target.c_str());
        return failWrite("cannot keep the damaged file aside: " + errorText(error));
      }
      printLine("Kept unreadable settings file aside as:", target);
      keptAsideAs_ = target;
      state_ = FileState::Missing;
      return true;
    }
    if (errno != EEXIST) {
      return failWrite("cannot keep the damaged file aside: " + errorText(errno));
    }
  }
  return failWrite("cannot keep the damaged file aside: every name is taken");
}

// A temporary file of this store is "<name>.plist.tmp-" and the six
// characters of mkostemp; one of another store never has that form.
void DefaultsStore::removeStaleTemporaries() const {
  const std::size_t slash = file_.rfind('/');
  const std::string folder = file_.substr(0, slash);
  const std::string prefix = file_.substr(slash + 1) + ".tmp-";
  FolderListing listing(UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (listing.fd() < 0) return;
  while (const dirent64* entry = listing.next()) {
    const std::string_view name = entry->d_name;
    if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) {
      (void)::unlinkat(listing.fd(), entry->d_name, 0);
    }
  }
}

bool DefaultsStore::replaceFile() {
  const auto bytes = serialiseSettings(root_.get(), keys_);
  if (!bytes) {
    return failWrite("the settings cannot be written as a property list that reads back the same");
  }

  removeStaleTemporaries();
  std::string temp = file_ + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return failWrite("cannot create a temporary file: " + errorText(errno));
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  std::string error;
  if (!writeAll(fd.get(), text)) {
    error = errorText(errno);
  } else if (::fsync(fd.get()) != 0) {
    error = errorText(errno);
  }
  fd.reset();
  if (error.empty() && ::rename(temp.c_str(), file_.c_str()) != 0) error = errorText(errno);
  if (!error.empty()) {
    (void)::unlink(temp.c_str());
    return failWrite(error);
  }
  // Make the rename itself durable.
  const std::string folder = file_.substr(0, file_.rfind('/'));
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) (void)::fsync(dir.get());
  state_ = FileState::Ok;
  return true;
}

namespace {

// The store's printed line of a failed write, then the reporter.
void reportFailedWrite(const std::string& name, const std::string& file,
                       const std::string& reason) {
  printLine("Unable to write defaults for:", name);
  if (const auto& reporter = writeFailureReporter()) reporter({name, file, reason});
}

}  // namespace

bool DefaultsStore::write(const std::optional<DefaultsLock>& lock) {
  if (lock) return write(*lock);
  const std::string lockFile = file_ + ".lock";
  failWrite(tLockError > 0 ? "cannot lock " + lockFile + ": " + errorText(tLockError)
                           : "cannot lock " + lockFile);
  reportFailedWrite(name_, file_, writeError_);
  return false;
}

bool DefaultsStore::write(const DefaultsLock& /*lock*/) {
  bool ok = true;
  if (Faults::failsWrite(name_)) {
    ok = failWrite("a write failure made on purpose (ZIVUV_FAULTS)");
  } else if (state_ == FileState::Unreadable) {
    ok = failWrite("the file cannot be read (" + fileProblem_ + "), so it is never replaced");
  }
  if (ok && state_ == FileState::Corrupt) ok = keepCorruptFileAside();
  if (ok) ok = replaceFile();
  if (ok) {
    writeError_.clear();
  } else {
    reportFailedWrite(name_, file_, writeError_);
  }
  return ok;
}

}  // namespace zivuv::platform

#include "platform/memory/CleanPages.h"

#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/fd/UniqueFd.h"

namespace zivuv::platform {
namespace {

// Whether the loader wrote into the object's code when it relocated it:
// such pages are no copies of the file.
bool hasTextRelocations(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    if (info.dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
    const auto* entry =
        reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
    for (; entry->d_tag != DT_NULL; ++entry) {
      if (entry->d_tag == DT_TEXTREL ||
          (entry->d_tag == DT_FLAGS && (entry->d_un.d_val & DF_TEXTREL) != 0)) {
        return true;
      }
    }
  }
  return false;
}

// Whether a debugger is attached: its breakpoints are written into the
// pages of code, which dropping would take away unseen.
bool traced() {
  const UniqueFd status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  std::array<char, 4096> text{};
  const ssize_t n = status ? ::read(status.get(), text.data(), text.size() - 1) : -1;
  const char* tracer = n > 0 ? std::strstr(text.data(), "\nTracerPid:") : nullptr;
  return tracer != nullptr && std::strtol(tracer + 11, nullptr, 10) != 0;
}

}  // namespace

std::vector<std::uintptr_t> loadedObjects() {
  std::vector<std::uintptr_t> objects;
  (void)::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        static_cast<std::vector<std::uintptr_t>*>(out)->push_back(info->dlpi_addr);
        return 0;
      },
      &objects);
  std::sort(objects.begin(), objects.end());
  return objects;
}

void dropCleanPages(const std::function<bool(std::uintptr_t base)>& which) {
  if (traced()) return;
  // The work is done while the loader's list is locked, so that no object
  // is unmapped (and something else mapped in its place) meanwhile. A
  // segment without write permission is never written (RELRO lies in the
  // writable one), so its pages are the file's own; only its whole pages
  // are dropped, never one that it shares with a writable neighbour.
  // The kernel's own vDSO is left alone.
  struct Walk {
    const std::function<bool(std::uintptr_t)>& which;
    std::uintptr_t page;
    std::uintptr_t vdso;
  } walk{which, static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)),
         static_cast<std::uintptr_t>(::getauxval(AT_SYSINFO_EHDR))};
  (void)::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        const Walk& walk = *static_cast<const Walk*>(data);
        if ((walk.which && !walk.which(info->dlpi_addr)) || info->dlpi_phdr == nullptr ||
            (walk.vdso != 0 && info->dlpi_addr == walk.vdso) || hasTextRelocations(*info)) {
          return 0;
        }
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) continue;
          const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
          const std::uintptr_t start = (begin + walk.page - 1) / walk.page * walk.page;
          const std::uintptr_t end =
              (begin + std::min(segment.p_filesz, segment.p_memsz)) / walk.page * walk.page;
          if (end > start) {
            (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
          }
        }
        return 0;
      },
      &walk);
}

}  // namespace zivuv::platform

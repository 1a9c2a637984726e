#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace zivuv::platform {

// The load addresses of the objects (the program, its libraries) that the
// dynamic loader has mapped now, in ascending order.
std::vector<std::uintptr_t> loadedObjects();

// Unmaps from this process the resident pages of the read-only segments
// (code, constants) of the loaded objects for which `which` holds, or of
// all of them: clean copies of their files, which the kernel maps again
// from the page cache when something runs there. What was written (data,
// relocated tables, the heap) stays. Nothing while a debugger is attached.
// Any thread; nothing is unloaded.
void dropCleanPages(const std::function<bool(std::uintptr_t base)>& which = {});

}  // namespace zivuv::platform

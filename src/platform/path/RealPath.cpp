#include "platform/path/RealPath.h"

#include <cstdlib>
#include <memory>

namespace zivuv::platform {

std::optional<std::string> realPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace zivuv::platform

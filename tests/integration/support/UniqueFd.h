#pragma once

// The harness owns its descriptors the way the service does.
#include "platform/fd/UniqueFd.h"

namespace zivuv::testing {
using platform::UniqueFd;
}  // namespace zivuv::testing

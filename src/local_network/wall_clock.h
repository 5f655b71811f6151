#pragma once

#include <cstdint>
#include <functional>

namespace zephlink {

// Wall-clock milliseconds since the Unix epoch. The host's stores take one so
// that tests can move time instead of waiting for it.
using WallClock = std::function<std::int64_t()>;

} // namespace zephlink

#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zephlink::trace {

bool enabled() {
    static const bool on = std::getenv("ZEPHLINK_TRACE") != nullptr;
    return on;
}

void step(std::string_view name) {
    if (!enabled())
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long micros = static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
    // One write per line, so that threads never interleave within one.
    std::fprintf(stderr, "zephlink-trace %lld %.*s\n", micros, static_cast<int>(name.size()),
                 name.data());
}

} // namespace zephlink::trace

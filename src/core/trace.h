#pragma once

// Time-stamps of the steps a clip takes, for the latency benchmark's trace
// mode: with ZEPHLINK_TRACE set in the environment, each step is written to
// standard error as "zephlink-trace MICROSECONDS STEP" (wall clock, so that
// two processes on one machine compare). Without it a step costs one test.
#include <string_view>

namespace zephlink::trace {

bool enabled();
void step(std::string_view name);

} // namespace zephlink::trace

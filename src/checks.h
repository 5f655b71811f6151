#pragma once

#include <string>
#include <vector>

namespace zephlink::checks {

// The verification modes. Each prints exactly one line and returns the
// process exit status; none needs a display.
int cryptoCheck(const std::string& fixturePath);
int interopCheck(const std::vector<std::string>& arguments);
int relayCheck(const std::string& address);
int localHostCheck(const std::vector<std::string>& arguments);

// The host check's run time: the last argument as decimal seconds, 30 when it
// is not a number; negative times count as 0.
double hostCheckSeconds(const std::vector<std::string>& arguments);

} // namespace zephlink::checks

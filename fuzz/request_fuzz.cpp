// Arbitrary bytes to the request reader, in pieces of fuzzer-chosen sizes,
// then the request to the host's body and query rules.
#include "clip_store.h"
#include "device_registry.h"
#include "http_request.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

using namespace zephlink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t piece = std::size_t{data[0]} % 64 + 1;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto now = std::chrono::steady_clock::now();
    const ReadResult result = readRequest(
        [&](std::span<char> into) -> ssize_t {
            const std::size_t n = std::min({piece, into.size(), input.size()});
            std::copy_n(input.data(), n, into.data());
            input.remove_prefix(n);
            return static_cast<ssize_t>(n);
        },
        [now] { return now; });
    if (const auto* request = std::get_if<HttpRequest>(&result)) {
        (void)clips::parsePollQuery(request->target);
        (void)sessionDevice(request->body);
        (void)clips::acceptableEnvelope(request->body, 1'800'000'000'000);
    }
    return 0;
}

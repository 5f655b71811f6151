// Discovery datagrams come from anyone on the network: both parsers must
// take any bytes.
#include "discovery_datagram.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace zephlink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    if (const auto nonce = requestNonce(datagram)) {
        const auto reply = discoveryReply(*nonce, "0123456789abcdef0123456789abcdef", "Fuzz");
        if (!reply || replyHostId(*reply, *nonce) != "0123456789abcdef0123456789abcdef")
            __builtin_trap();
    }
    (void)replyHostId(datagram, "0123456789abcdef0123456789abcdef");
    return 0;
}

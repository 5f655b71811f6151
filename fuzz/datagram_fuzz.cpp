// Discovery datagrams come from anyone on the network.
#include "discovery_datagram.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    const std::string id(32, 'a');
    if (const auto nonce = zephlink::requestNonce(datagram)) {
        const auto reply = zephlink::discoveryReply(*nonce, id, "Fuzz");
        if (!reply || zephlink::replyHostId(*reply, *nonce) != id)
            __builtin_trap();
    }
    (void)zephlink::replyHostId(datagram, id);
    return 0;
}

#pragma once

// The wire side of the data-control port, shared by its two halves: the
// connection to the compositor (data_control_wayland.cpp) and the clipboard
// it serves (data_control_pasteboard.cpp). Private to the port.
#include "data_control_pasteboard.h"

#include <QHash>
#include <QStringList>
#include <cstdint>
#include <wayland-client.h>

namespace zephlink {

// Both protocols share every request and event at the same opcode; only the
// interface names differ.
struct DataControlPasteboard::Names {
    const char* manager;
    const wl_interface* managerInterface;
    const wl_interface* device;
    const wl_interface* source;
    std::uint32_t version;
};

struct DataControlPasteboard::Offer {
    wl_proxy* proxy;
    QStringList types;
};

struct DataControlPasteboard::Source {
    DataControlPasteboard* owner;
    wl_proxy* proxy;
    QHash<QString, QByteArray> data; // by type, served from memory
};

namespace data_control {

enum : std::uint32_t {
    kCreateDataSource = 0,
    kGetDataDevice = 1,
    kSetSelection = 0,
    kOfferType = 0, // source.offer
    kReceive = 0,   // offer.receive
    kManagerDestroy = 2,
    kDestroy = 1, // device, source and offer
};

const DataControlPasteboard::Names& names(DataControlPasteboard::Protocol protocol);

inline void destroyRequest(wl_proxy* proxy, std::uint32_t opcode = kDestroy) {
    wl_proxy_marshal_flags(proxy, opcode, nullptr, wl_proxy_get_version(proxy),
                           WL_MARSHAL_FLAG_DESTROY);
}

// The source's send and cancelled events go to its owner.
void listenSource(DataControlPasteboard::Source* source);

} // namespace data_control
} // namespace zephlink

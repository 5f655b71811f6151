// The data-control port's connection to the compositor: the globals, the
// seat's device and the offers it introduces.
#include "data_control_protocol.h"
#include "ext-data-control-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>

namespace zephlink {

using namespace data_control;
using Self = DataControlPasteboard;

// C trampolines from libwayland into the pasteboard.
struct DataControlEvents {
    static void global(void* self, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        static_cast<Self*>(self)->global(name, interface, version);
    }
    static void globalRemove(void* self, wl_registry*, std::uint32_t name) {
        static_cast<Self*>(self)->globalRemoved(name);
    }
    static void dataOffer(void* self, wl_proxy*, wl_proxy* offer) {
        static_cast<Self*>(self)->dataOffer(offer);
    }
    static void selection(void* self, wl_proxy*, wl_proxy* offer) {
        static_cast<Self*>(self)->selection(offer, false);
    }
    static void primary(void* self, wl_proxy*, wl_proxy* offer) {
        static_cast<Self*>(self)->selection(offer, true);
    }
    static void finished(void* self, wl_proxy*) { static_cast<Self*>(self)->finished(); }
    static void offerType(void* offer, wl_proxy*, const char* type) {
        auto* o = static_cast<Self::Offer*>(offer);
        if (o->types.size() < Self::kMaxTypes)
            o->types.append(QString::fromUtf8(type));
    }
    static void send(void* source, wl_proxy*, const char* type, std::int32_t fd) {
        auto* s = static_cast<Self::Source*>(source);
        s->owner->send(s, type, fd);
    }
    static void cancelled(void* source, wl_proxy*) {
        auto* s = static_cast<Self::Source*>(source);
        s->owner->cancelled(s);
    }
};

namespace {

const wl_registry_listener kRegistryListener = {DataControlEvents::global,
                                                DataControlEvents::globalRemove};
struct DeviceListener {
    void (*dataOffer)(void*, wl_proxy*, wl_proxy*);
    void (*selection)(void*, wl_proxy*, wl_proxy*);
    void (*finished)(void*, wl_proxy*);
    void (*primary)(void*, wl_proxy*, wl_proxy*);
} const kDeviceListener = {DataControlEvents::dataOffer, DataControlEvents::selection,
                           DataControlEvents::finished, DataControlEvents::primary};
struct OfferListener {
    void (*offer)(void*, wl_proxy*, const char*);
} const kOfferListener = {DataControlEvents::offerType};
struct SourceListener {
    void (*send)(void*, wl_proxy*, const char*, std::int32_t);
    void (*cancelled)(void*, wl_proxy*);
} const kSourceListener = {DataControlEvents::send, DataControlEvents::cancelled};

template <typename Listener> void listen(wl_proxy* proxy, const Listener& listener, void* data) {
    // The listener structs have the generated ones' layout: one function
    // pointer per event, in event order.
    wl_proxy_add_listener(
        proxy, reinterpret_cast<void (**)(void)>(const_cast<Listener*>(&listener)), data);
}

const Self::Names kExt = {"ext_data_control_manager_v1", &ext_data_control_manager_v1_interface,
                          &ext_data_control_device_v1_interface,
                          &ext_data_control_source_v1_interface, 1};
const Self::Names kWlr = {"zwlr_data_control_manager_v1", &zwlr_data_control_manager_v1_interface,
                          &zwlr_data_control_device_v1_interface,
                          &zwlr_data_control_source_v1_interface, 2};

} // namespace

namespace data_control {

const Self::Names& names(Self::Protocol protocol) {
    return protocol == Self::Protocol::Ext ? kExt : kWlr;
}

void listenSource(Self::Source* source) {
    listen(source->proxy, kSourceListener, source);
}

} // namespace data_control

void DataControlPasteboard::connectDisplay() {
    display_ = wl_display_connect(displayName_.isEmpty() ? nullptr : displayName_.constData());
    if (display_ == nullptr) {
        reconnect_.start();
        return;
    }
    registry_ = reinterpret_cast<wl_proxy*>(wl_display_get_registry(display_));
    wl_registry_add_listener(reinterpret_cast<wl_registry*>(registry_), &kRegistryListener, this);
    const int fd = wl_display_get_fd(display_);
    readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &DataControlPasteboard::readEvents);
    writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &DataControlPasteboard::flush);
    flush();
}

// The compositor went away (or broke the connection): start again later.
void DataControlPasteboard::lost() {
    teardown();
    reconnect_.start();
}

void DataControlPasteboard::teardown() {
    abortTransfer();
    // The connection ends with the display; the compositor drops its side.
    for (auto& offer : pending_)
        wl_proxy_destroy(offer->proxy);
    pending_.clear();
    if (current_)
        wl_proxy_destroy(current_->proxy);
    current_.reset();
    for (auto& source : sources_)
        wl_proxy_destroy(source->proxy);
    sources_.clear();
    for (wl_proxy** proxy : {&device_, &manager_, &seat_, &registry_}) {
        if (*proxy != nullptr)
            wl_proxy_destroy(*proxy);
        *proxy = nullptr;
    }
    // Their signal may be what brought us here.
    for (QSocketNotifier* notifier : {readable_, writable_}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readable_ = writable_ = nullptr;
    if (display_ != nullptr)
        wl_display_disconnect(display_);
    display_ = nullptr;
}

void DataControlPasteboard::readEvents() {
    if (display_ == nullptr)
        return;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0)
            return lost();
    }
    // Reads without blocking: the notifier said there is something.
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0)
        return lost();
    flush();
}

void DataControlPasteboard::flush() {
    if (display_ == nullptr)
        return;
    // A full socket is retried when writable; a broken one shows up as a
    // failed read, where the connection can be dropped safely.
    const bool full = wl_display_flush(display_) < 0 && errno == EAGAIN;
    writable_->setEnabled(full);
}

void DataControlPasteboard::global(std::uint32_t name, const char* interface,
                                   std::uint32_t version) {
    auto* registry = reinterpret_cast<wl_registry*>(registry_);
    if (manager_ == nullptr && qstrcmp(interface, names_.manager) == 0) {
        manager_ = static_cast<wl_proxy*>(wl_registry_bind(registry, name, names_.managerInterface,
                                                           std::min(version, names_.version)));
        managerName_ = name;
    } else if (seat_ == nullptr && qstrcmp(interface, "wl_seat") == 0) {
        seat_ = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        seatName_ = name;
    }
    makeDevice();
}

void DataControlPasteboard::globalRemoved(std::uint32_t name) {
    if (seat_ != nullptr && name == seatName_) {
        dropDevice();
        wl_proxy_destroy(seat_);
        seat_ = nullptr;
    } else if (manager_ != nullptr && name == managerName_) {
        dropDevice();
        destroyRequest(manager_, kManagerDestroy);
        manager_ = nullptr;
    }
}

void DataControlPasteboard::makeDevice() {
    if (display_ == nullptr || manager_ == nullptr || seat_ == nullptr || device_ != nullptr)
        return;
    device_ = wl_proxy_marshal_flags(manager_, kGetDataDevice, names_.device,
                                     wl_proxy_get_version(manager_), 0, nullptr, seat_);
    listen(device_, kDeviceListener, this);
    atBind_ = true;
}

void DataControlPasteboard::dropDevice() {
    abortTransfer();
    for (auto& offer : pending_)
        destroyOffer(offer.get());
    pending_.clear();
    if (current_)
        destroyOffer(current_.get());
    current_.reset();
    if (device_ != nullptr)
        destroyRequest(device_, kDestroy);
    device_ = nullptr;
}

void DataControlPasteboard::finished() {
    // The seat's device ended; a new one is made once the registry has had
    // its say (the seat may be going away).
    dropDevice();
    QTimer::singleShot(kReconnectMs, this, [this] {
        makeDevice();
        flush();
    });
}

void DataControlPasteboard::destroyOffer(Offer* offer) {
    destroyRequest(offer->proxy, kDestroy);
}

std::unique_ptr<DataControlPasteboard::Offer> DataControlPasteboard::takePending(wl_proxy* proxy) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if ((*it)->proxy == proxy) {
            std::unique_ptr<Offer> offer = std::move(*it);
            pending_.erase(it);
            return offer;
        }
    }
    return nullptr;
}

void DataControlPasteboard::dataOffer(wl_proxy* proxy) {
    auto offer = std::make_unique<Offer>(Offer{proxy, {}});
    listen(proxy, kOfferListener, offer.get());
    pending_.push_back(std::move(offer));
    if (pending_.size() > kMaxPendingOffers) {
        destroyOffer(pending_.front().get());
        pending_.erase(pending_.begin());
    }
}

} // namespace zephlink

#pragma once

// A compositor with ext data-control for one seat, served on the Qt event
// loop; its "other program" copies what a test gives it.
#include "ext-data-control-v1-server.h"

#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
#include <wayland-server.h>

namespace zephlink::test {

class FakeCompositor {
public:
    int devicesMade = 0;
    std::vector<std::string> receives; // types read from the other program
    bool stall = false;                // the other program never answers a read

    explicit FakeCompositor(const char* socket) {
        std::signal(SIGPIPE, SIG_IGN); // the other program stops when the reader has had enough
        wl_display_add_socket(display_, socket);
        wl_global_create(display_, &ext_data_control_manager_v1_interface, 1, this, bind);
        wl_global_create(display_, &wl_seat_interface, 1, nullptr,
                         [](wl_client* client, void*, uint32_t version, uint32_t id) {
                             wl_resource_create(client, &wl_seat_interface, int(version), id);
                         });
        QObject::connect(&events_, &QSocketNotifier::activated, [this] {
            wl_event_loop_dispatch(wl_display_get_event_loop(display_), 0);
            wl_display_flush_clients(display_);
        });
    }
    ~FakeCompositor() {
        for (int fd : stalled_)
            close(fd);
        wl_display_destroy_clients(display_);
        wl_display_destroy(display_);
    }

    // The other program copies: each type with its data.
    void copy(std::map<std::string, std::string> data) {
        data_ = std::move(data);
        setSource(nullptr);
    }
    // Pastes from the client's own selection: a pipe's read end, or -1.
    int paste(const std::string& type) {
        int fds[2];
        if (source_ == nullptr || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return -1;
        ext_data_control_source_v1_send_send(source_, type.c_str(), fds[1]);
        close(fds[1]);
        wl_display_flush_clients(display_);
        return fds[0];
    }

private:
    static FakeCompositor* of(wl_resource* r) {
        return static_cast<FakeCompositor*>(wl_resource_get_user_data(r));
    }
    static void destroy(wl_client*, wl_resource* r) { wl_resource_destroy(r); }

    wl_resource* newOffer(wl_resource* device, const std::vector<std::string>& types) {
        wl_resource* offer = wl_resource_create(wl_resource_get_client(device),
                                                &ext_data_control_offer_v1_interface, 1, 0);
        wl_resource_set_implementation(offer, &kOffer, this, nullptr);
        ext_data_control_device_v1_send_data_offer(device, offer);
        for (const std::string& type : types)
            ext_data_control_offer_v1_send_offer(offer, type.c_str());
        return offer;
    }
    void announce(wl_resource* device) {
        std::vector<std::string> types;
        if (source_ != nullptr)
            types = sourceTypes_[source_];
        else
            for (const auto& entry : data_)
                types.push_back(entry.first);
        ext_data_control_device_v1_send_selection(device, types.empty() ? nullptr
                                                                        : newOffer(device, types));
    }
    void setSource(wl_resource* next) {
        if (source_ != nullptr && source_ != next)
            ext_data_control_source_v1_send_cancelled(source_);
        source_ = next;
        for (wl_resource* device : devices_)
            announce(device);
        wl_display_flush_clients(display_);
    }

    static void receive(wl_client*, wl_resource* offer, const char* type, int32_t fd) {
        FakeCompositor* self = of(offer);
        if (self->source_ != nullptr) {
            ext_data_control_source_v1_send_send(self->source_, type, fd);
            close(fd);
            return;
        }
        self->receives.emplace_back(type);
        if (self->stall)
            return self->stalled_.push_back(fd);
        // What fits into the pipe, then the end: a long text is cut at 64 KiB.
        const std::string& bytes = self->data_[type];
        fcntl(fd, F_SETFL, O_NONBLOCK);
        if (::write(fd, bytes.data(), bytes.size()) < 0)
            self->receives.emplace_back("(write failed)");
        close(fd);
    }
    static void offerType(wl_client*, wl_resource* source, const char* type) {
        of(source)->sourceTypes_[source].emplace_back(type);
    }
    static void setSelection(wl_client*, wl_resource* device, wl_resource* source) {
        of(device)->setSource(source);
    }
    static void setPrimary(wl_client*, wl_resource*, wl_resource*) {}
    static void createSource(wl_client* client, wl_resource* manager, uint32_t id) {
        wl_resource* source =
            wl_resource_create(client, &ext_data_control_source_v1_interface, 1, id);
        wl_resource_set_implementation(source, &kSource, of(manager), [](wl_resource* gone) {
            of(gone)->sourceTypes_.erase(gone);
            if (of(gone)->source_ == gone)
                of(gone)->source_ = nullptr;
        });
    }
    static void getDevice(wl_client* client, wl_resource* manager, uint32_t id, wl_resource*) {
        wl_resource* device =
            wl_resource_create(client, &ext_data_control_device_v1_interface, 1, id);
        wl_resource_set_implementation(device, &kDevice, of(manager), [](wl_resource* gone) {
            auto& list = of(gone)->devices_;
            list.erase(std::remove(list.begin(), list.end(), gone), list.end());
        });
        of(manager)->devices_.push_back(device);
        ++of(manager)->devicesMade;
        of(manager)->announce(device);
    }
    static void bind(wl_client* client, void* self, uint32_t version, uint32_t id) {
        wl_resource* manager = wl_resource_create(client, &ext_data_control_manager_v1_interface,
                                                  static_cast<int>(version), id);
        wl_resource_set_implementation(manager, &kManager, self, nullptr);
    }
    static constexpr struct ext_data_control_offer_v1_interface kOffer = {receive, destroy};
    static constexpr struct ext_data_control_source_v1_interface kSource = {offerType, destroy};
    static constexpr struct ext_data_control_device_v1_interface kDevice = {setSelection, destroy,
                                                                            setPrimary};
    static constexpr struct ext_data_control_manager_v1_interface kManager = {createSource,
                                                                              getDevice, destroy};

    wl_display* display_ = wl_display_create();
    QSocketNotifier events_{wl_event_loop_get_fd(wl_display_get_event_loop(display_)),
                            QSocketNotifier::Read};
    std::vector<wl_resource*> devices_;
    wl_resource* source_ = nullptr; // the client's selection, else the other program's
    std::map<wl_resource*, std::vector<std::string>> sourceTypes_;
    std::map<std::string, std::string> data_;
    std::vector<int> stalled_;
};

} // namespace zephlink::test

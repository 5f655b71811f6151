#include "fake_compositor.h"

#include "ext-data-control-v1-client.h"
#include "ext-data-control-v1-server.h"
#include "wlr-data-control-unstable-v1-client.h"

#include <algorithm>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <wayland-server.h>

namespace zephlink::test {
namespace {

const wl_interface kGtkShell = {"gtk_shell1", 1, 0, nullptr, 0, nullptr};

} // namespace

struct FakeCompositor::Impl {
    wl_display* display = wl_display_create();
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    bool quit = false;
    std::thread thread;
    Stats stats;
    std::vector<wl_resource*> devices;
    // The selection: a client's source, or else the other program's data.
    wl_resource* source = nullptr;
    std::map<wl_resource*, std::vector<std::string>> sourceTypes;
    std::map<std::string, std::string> data;
    Serve serve = Serve::Data;
    std::vector<std::thread> writers;
    std::vector<int> stalled;

    std::vector<std::string> types() const {
        if (source != nullptr)
            return sourceTypes.at(source);
        std::vector<std::string> keys;
        for (const auto& entry : data)
            keys.push_back(entry.first);
        return keys;
    }

    wl_resource* newOffer(wl_resource* device, const std::vector<std::string>& offered) {
        wl_resource* offer = wl_resource_create(wl_resource_get_client(device),
                                                &ext_data_control_offer_v1_interface, 1, 0);
        wl_resource_set_implementation(offer, &kOffer, this, nullptr);
        ext_data_control_device_v1_send_data_offer(device, offer);
        for (const std::string& type : offered)
            ext_data_control_offer_v1_send_offer(offer, type.c_str());
        return offer;
    }

    void announce(wl_resource* device) {
        const auto offered = types();
        const bool empty = source == nullptr && data.empty();
        ext_data_control_device_v1_send_selection(device,
                                                  empty ? nullptr : newOffer(device, offered));
    }

    void setSource(wl_resource* next) {
        if (source != nullptr && source != next)
            ext_data_control_source_v1_send_cancelled(source);
        source = next;
        for (wl_resource* device : devices)
            announce(device);
    }

    static Impl* of(wl_resource* resource) {
        return static_cast<Impl*>(wl_resource_get_user_data(resource));
    }
    static void destroy(wl_client*, wl_resource* resource) { wl_resource_destroy(resource); }

    static void receive(wl_client*, wl_resource* offer, const char* type, int32_t fd) {
        Impl* self = of(offer);
        if (self->source != nullptr) {
            ext_data_control_source_v1_send_send(self->source, type, fd);
            close(fd);
            return;
        }
        self->stats.receives.emplace_back(type);
        if (self->serve == Serve::Stall) {
            self->stalled.push_back(fd);
            return;
        }
        self->writers.emplace_back([fd, bytes = self->data[type]] {
            // A reader that stops early ends this write with EPIPE.
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
                if (n <= 0)
                    break;
                at += static_cast<std::size_t>(n);
            }
            close(fd);
        });
    }
    static void destroyOffer(wl_client*, wl_resource* offer) {
        ++of(offer)->stats.offersDestroyed;
        wl_resource_destroy(offer);
    }
    static constexpr struct ext_data_control_offer_v1_interface kOffer = {receive, destroyOffer};

    static void offerType(wl_client*, wl_resource* source, const char* type) {
        of(source)->sourceTypes[source].emplace_back(type);
    }
    static constexpr struct ext_data_control_source_v1_interface kSource = {offerType, destroy};

    static void setSelection(wl_client*, wl_resource* device, wl_resource* source) {
        of(device)->setSource(source);
    }
    static void setPrimary(wl_client*, wl_resource*, wl_resource*) {}
    static constexpr struct ext_data_control_device_v1_interface kDevice = {setSelection, destroy,
                                                                            setPrimary};

    static void createSource(wl_client* client, wl_resource* manager, uint32_t id) {
        wl_resource* source =
            wl_resource_create(client, &ext_data_control_source_v1_interface, 1, id);
        wl_resource_set_implementation(source, &kSource, of(manager), [](wl_resource* gone) {
            Impl* self = of(gone);
            self->sourceTypes.erase(gone);
            if (self->source == gone)
                self->source = nullptr;
        });
        of(manager)->sourceTypes[source];
    }
    static void getDevice(wl_client* client, wl_resource* manager, uint32_t id, wl_resource*) {
        Impl* self = of(manager);
        wl_resource* device =
            wl_resource_create(client, &ext_data_control_device_v1_interface, 1, id);
        wl_resource_set_implementation(device, &kDevice, self, [](wl_resource* gone) {
            auto& list = of(gone)->devices;
            list.erase(std::remove(list.begin(), list.end(), gone), list.end());
        });
        self->devices.push_back(device);
        ++self->stats.devicesMade;
        self->announce(device);
    }
    static constexpr struct ext_data_control_manager_v1_interface kManager = {createSource,
                                                                              getDevice, destroy};

    static void bind(wl_client* client, void* data, uint32_t version, uint32_t id) {
        wl_resource* manager = wl_resource_create(client, &ext_data_control_manager_v1_interface,
                                                  static_cast<int>(version), id);
        wl_resource_set_implementation(manager, &kManager, data, nullptr);
    }
    // Globals whose requests a client in these tests never makes.
    static void bindInert(wl_client* client, void* data, uint32_t version, uint32_t id) {
        wl_resource_create(client, static_cast<const wl_interface*>(data),
                           static_cast<int>(version), id);
    }
};

FakeCompositor::FakeCompositor(const std::vector<std::string>& globals, const std::string& socket)
    : impl_(std::make_unique<Impl>()) {
    // The other program's writes end early when the reader has enough.
    std::signal(SIGPIPE, SIG_IGN);
    Impl& d = *impl_;
    wl_display_add_socket(d.display, socket.c_str());
    for (const std::string& name : globals) {
        if (name == "ext")
            wl_global_create(d.display, &ext_data_control_manager_v1_interface, 1, &d, Impl::bind);
        const wl_interface* inert = name == "wlr"          ? &zwlr_data_control_manager_v1_interface
                                    : name == "wl_seat"    ? &wl_seat_interface
                                    : name == "gtk_shell1" ? &kGtkShell
                                                           : nullptr;
        if (inert != nullptr)
            wl_global_create(d.display, inert, 1, const_cast<wl_interface*>(inert),
                             Impl::bindInert);
    }
    wl_event_loop_add_fd(
        wl_display_get_event_loop(d.display), d.wake, WL_EVENT_READABLE,
        [](int fd, uint32_t, void* data) {
            eventfd_t ignored;
            eventfd_read(fd, &ignored);
            auto* self = static_cast<Impl*>(data);
            std::unique_lock lock(self->mutex);
            while (!self->tasks.empty()) {
                auto task = std::move(self->tasks.front());
                self->tasks.pop_front();
                lock.unlock();
                task();
                lock.lock();
            }
            return 0;
        },
        &d);
    d.thread = std::thread([&d] {
        while (!d.quit) {
            wl_event_loop_dispatch(wl_display_get_event_loop(d.display), -1);
            wl_display_flush_clients(d.display);
        }
    });
}

FakeCompositor::~FakeCompositor() {
    call([this] { impl_->quit = true; });
    impl_->thread.join();
    for (std::thread& writer : impl_->writers)
        writer.join();
    for (int fd : impl_->stalled)
        close(fd);
    wl_display_destroy_clients(impl_->display);
    wl_display_destroy(impl_->display);
    close(impl_->wake);
}

void FakeCompositor::call(std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->tasks.emplace_back([fn = std::move(fn), done] {
            fn();
            done->set_value();
        });
    }
    eventfd_write(impl_->wake, 1);
    done->get_future().wait();
}

void FakeCompositor::copy(std::map<std::string, std::string> data, Serve serve) {
    call([&] {
        impl_->data = std::move(data);
        impl_->serve = serve;
        impl_->setSource(nullptr);
    });
}

void FakeCompositor::copyPrimary(const std::vector<std::string>& types) {
    call([&] {
        for (wl_resource* device : impl_->devices)
            ext_data_control_device_v1_send_primary_selection(device,
                                                              impl_->newOffer(device, types));
    });
}

void FakeCompositor::finish() {
    call([&] {
        for (wl_resource* device : impl_->devices)
            ext_data_control_device_v1_send_finished(device);
    });
}

int FakeCompositor::paste(const std::string& type) {
    int fd = -1;
    call([&] {
        int fds[2];
        if (impl_->source == nullptr || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        ext_data_control_source_v1_send_send(impl_->source, type.c_str(), fds[1]);
        close(fds[1]);
        fd = fds[0];
    });
    return fd;
}

FakeCompositor::Stats FakeCompositor::stats() {
    Stats copy;
    call([&] { copy = impl_->stats; });
    return copy;
}

} // namespace zephlink::test

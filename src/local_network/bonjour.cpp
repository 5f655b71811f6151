#include "bonjour.h"

#include "characters.h"
#include "discovery_datagram.h"
#include "encoding.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <map>
#include <mutex>
#include <tuple>

namespace zephlink {

std::string serviceName(std::string_view deviceName) {
    std::size_t characters = kServiceNameCharacters;
    while (true) {
        std::string name =
            std::string(kServiceNamePrefix) + characterPrefix(deviceName, characters);
        if (name.size() <= kMaxServiceNameBytes || characters == 0)
            return name;
        --characters;
    }
}

ServiceRecord hostService(std::string_view deviceName, std::string_view hostId) {
    return {std::string(kServiceDomain),
            std::string(kServiceType),
            serviceName(deviceName),
            kHostPort,
            {{"v", "1"}, {"hostId", std::string(hostId)}}};
}

namespace {

// Renaming after collisions gives up at some point rather than flooding the
// network with probes for ever.
constexpr int kMaxRenames = 32;
// A daemon that went away is waited for again by a new client, made a moment
// later outside the callback that told of the loss.
constexpr unsigned kReconnectDelayMs = 100;

struct PollFree {
    void operator()(AvahiThreadedPoll* poll) const { avahi_threaded_poll_free(poll); }
};
struct ClientFree {
    void operator()(AvahiClient* client) const { avahi_client_free(client); }
};
struct GroupFree {
    // Also asks the daemon to drop the group's records; a daemon that is
    // gone has dropped them already.
    void operator()(AvahiEntryGroup* group) const { (void)avahi_entry_group_free(group); }
};
// Timeouts belong to their poll; the deleter knows which one.
struct TimeoutFree {
    const AvahiPoll* api = nullptr;
    void operator()(AvahiTimeout* timeout) const { api->timeout_free(timeout); }
};
struct StringListFree {
    void operator()(AvahiStringList* list) const { avahi_string_list_free(list); }
};
struct AvahiText {
    void operator()(char* text) const { avahi_free(text); }
};

using Poll = std::unique_ptr<AvahiThreadedPoll, PollFree>;
using Client = std::unique_ptr<AvahiClient, ClientFree>;
using Group = std::unique_ptr<AvahiEntryGroup, GroupFree>;
using Timeout = std::unique_ptr<AvahiTimeout, TimeoutFree>;
using StringList = std::unique_ptr<AvahiStringList, StringListFree>;
using Text = std::unique_ptr<char, AvahiText>;

// Avahi spells names without the root label's final dot.
std::string withoutFinalDot(std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return std::string(name);
}

// One client of avahi-daemon with a poll thread of its own; a daemon that
// goes away is waited for again by a new client. Every Avahi callback runs
// on the poll thread, or inside avahi_client_new before that thread starts.
// The owner touches the handles only before the thread starts and after
// end() has stopped it.
class AvahiSession {
public:
    AvahiSession() = default;
    virtual ~AvahiSession() = default;
    AvahiSession(const AvahiSession&) = delete;
    AvahiSession& operator=(const AvahiSession&) = delete;

protected:
    bool begin() {
        poll_.reset(avahi_threaded_poll_new());
        if (!poll_)
            return false;
        const AvahiPoll* api = avahi_threaded_poll_get(poll_.get());
        reconnect_ = Timeout(api->timeout_new(api, nullptr, &AvahiSession::reconnect, this),
                             TimeoutFree{api});
        if (!reconnect_ || !connect() || avahi_threaded_poll_start(poll_.get()) != 0) {
            release();
            return false;
        }
        running_ = true;
        return true;
    }

    // Stops the poll thread; no callback runs afterwards.
    void end() {
        if (running_) {
            // Joins the poll thread; it can only fail when it is not running.
            (void)avahi_threaded_poll_stop(poll_.get());
            running_ = false;
        }
    }

    // Frees the client (and with it whatever was made with it), then the
    // poll. Only after end(), and after the subclass freed its own objects.
    void release() {
        client_.reset();
        reconnect_.reset();
        poll_.reset();
    }

    // The daemon runs (again): publish or browse on client.
    virtual void connected(AvahiClient* client) = 0;
    // The daemon's host name is changing; published records must go.
    virtual void renaming() {}
    // The client is about to be replaced: free what was made with it.
    virtual void lost() = 0;

private:
    // NO_FAIL: without a daemon the client waits for one to appear.
    bool connect() {
        int error = 0;
        client_.reset(avahi_client_new(avahi_threaded_poll_get(poll_.get()), AVAHI_CLIENT_NO_FAIL,
                                       &AvahiSession::clientChanged, this, &error));
        return client_ != nullptr;
    }

    static void reconnect(AvahiTimeout*, void* self) {
        auto* session = static_cast<AvahiSession*>(self);
        session->lost();
        // Without a bus to wait on, the session stays without a daemon.
        (void)session->connect();
    }

    static void clientChanged(AvahiClient* client, AvahiClientState state, void* self) {
        auto* session = static_cast<AvahiSession*>(self);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            session->connected(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            session->renaming();
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away and took the records with it. This client
            // is finished; a new one waits for the next daemon. It cannot be
            // freed from inside its own callback.
            if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED && session->reconnect_) {
                timeval soon{};
                session->reconnect_.get_deleter().api->timeout_update(
                    session->reconnect_.get(), avahi_elapse_time(&soon, kReconnectDelayMs, 0));
            }
            break;
        }
    }

    bool running_ = false;
    // Declared so that the client goes before the poll.
    Poll poll_;
    Timeout reconnect_;
    Client client_;
};

class AvahiAdvertisement final : public Advertisement, private AvahiSession {
public:
    explicit AvahiAdvertisement(const ServiceRecord& service)
        : service_(service), name_(service.name), type_(withoutFinalDot(service.type)),
          domain_(withoutFinalDot(service.domain)) {}
    ~AvahiAdvertisement() override { withdraw(); }

    bool start() { return begin(); }

    void withdraw() override {
        end();
        if (group_) {
            // The records go now, not when the daemon notices the client left.
            (void)avahi_entry_group_reset(group_.get());
        }
        group_.reset();
        release();
    }

private:
    void connected(AvahiClient* client) override { publishOn(client); }

    void renaming() override {
        // The records go and come back once the daemon runs again.
        if (group_)
            (void)avahi_entry_group_reset(group_.get());
    }

    void lost() override { group_.reset(); }

    static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        auto* advertisement = static_cast<AvahiAdvertisement*>(self);
        if (state == AVAHI_ENTRY_GROUP_COLLISION && advertisement->rename())
            advertisement->addService(group);
        // AVAHI_ENTRY_GROUP_FAILURE leaves the service unpublished; the group
        // is freed with the advertisement, never inside its own callback.
    }

    bool rename() {
        if (renames_ >= kMaxRenames)
            return false;
        const Text alternative(avahi_alternative_service_name(name_.c_str()));
        if (!alternative)
            return false;
        ++renames_;
        name_ = alternative.get();
        return true;
    }

    void publishOn(AvahiClient* client) {
        if (!group_) {
            // Its callback may run before this returns; it uses its argument.
            group_.reset(avahi_entry_group_new(client, &AvahiAdvertisement::groupChanged, this));
            if (!group_)
                return;
        }
        addService(group_.get());
    }

    void addService(AvahiEntryGroup* group) {
        StringList txt;
        // Each entry goes in front of the list, so the last is added first.
        for (auto entry = service_.txt.rbegin(); entry != service_.txt.rend(); ++entry) {
            AvahiStringList* longer =
                avahi_string_list_add_pair(txt.get(), entry->first.c_str(), entry->second.c_str());
            if (longer == nullptr)
                return;
            (void)txt.release(); // now part of `longer`
            txt.reset(longer);
        }
        while (true) {
            if (avahi_entry_group_is_empty(group) == 0 && avahi_entry_group_reset(group) != 0)
                return;
            const int added = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{}, name_.c_str(),
                type_.c_str(), domain_.c_str(), nullptr, service_.port, txt.get());
            if (added == AVAHI_ERR_COLLISION && rename())
                continue; // a service of this machine has the name already
            if (added != AVAHI_OK)
                return;
            (void)avahi_entry_group_commit(group); // a failure leaves it unpublished
            return;
        }
    }

    const ServiceRecord service_;
    std::string name_; // the published name, an alternative after a collision
    const std::string type_;
    const std::string domain_;
    int renames_ = 0;
    Group group_; // goes before the session's client
};

class AvahiAdvertiser final : public Advertiser {
public:
    std::unique_ptr<Advertisement> publish(const ServiceRecord& service) override {
        auto advertisement = std::make_unique<AvahiAdvertisement>(service);
        if (!advertisement->start())
            return nullptr;
        return advertisement;
    }
};

constexpr std::size_t kMaxAnnounced = 64;
constexpr int kMaxResolving = 8;

class AvahiAnnouncements final : public Announcements, private AvahiSession {
public:
    AvahiAnnouncements() = default;
    ~AvahiAnnouncements() override {
        end();
        browser_ = nullptr; // freed with the client
        release();
    }

    bool start() { return begin(); }

    std::set<std::string> hostIds() const override {
        const std::lock_guard lock(mutex_);
        std::set<std::string> ids;
        for (const auto& [key, hostId] : seen_)
            ids.insert(hostId);
        return ids;
    }

private:
    // The same service may be seen on several interfaces and protocols.
    using Key = std::tuple<AvahiIfIndex, AvahiProtocol, std::string>;

    void connected(AvahiClient* client) override {
        if (browser_ == nullptr) {
            const std::string type = withoutFinalDot(kServiceType);
            const std::string domain = withoutFinalDot(kServiceDomain);
            browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                 type.c_str(), domain.c_str(), AvahiLookupFlags{},
                                                 &AvahiAnnouncements::browsed, this);
        }
    }

    // The browser and the resolvers go with the old client.
    void lost() override {
        browser_ = nullptr;
        resolving_ = 0;
        const std::lock_guard lock(mutex_);
        seen_.clear();
    }

    static void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface,
                        AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                        const char* type, const char* domain, AvahiLookupResultFlags, void* self) {
        auto* announcements = static_cast<AvahiAnnouncements*>(self);
        if (event == AVAHI_BROWSER_REMOVE) {
            const std::lock_guard lock(announcements->mutex_);
            announcements->seen_.erase(Key{interface, protocol, name});
        } else if (event == AVAHI_BROWSER_NEW && announcements->resolving_ < kMaxResolving &&
                   announcements->size() < kMaxAnnounced) {
            // Freed in its callback, or with the client.
            if (avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface,
                                           protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                           AvahiLookupFlags{}, &AvahiAnnouncements::resolved,
                                           self) != nullptr)
                ++announcements->resolving_;
        }
    }

    static void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                         AvahiProtocol protocol, AvahiResolverEvent event, const char* name,
                         const char*, const char*, const char*, const AvahiAddress*, uint16_t,
                         AvahiStringList* txt, AvahiLookupResultFlags, void* self) {
        auto* announcements = static_cast<AvahiAnnouncements*>(self);
        --announcements->resolving_;
        if (event == AVAHI_RESOLVER_FOUND) {
            AvahiStringList* entry = avahi_string_list_find(txt, "hostId");
            char* key = nullptr;
            char* value = nullptr;
            if (entry != nullptr && avahi_string_list_get_pair(entry, &key, &value, nullptr) == 0) {
                const Text keyText(key);
                const Text valueText(value);
                if (value != nullptr && validID(value)) {
                    const std::lock_guard lock(announcements->mutex_);
                    if (announcements->seen_.size() < kMaxAnnounced)
                        announcements->seen_[Key{interface, protocol, name}] = value;
                }
            }
        }
        avahi_service_resolver_free(resolver);
    }

    std::size_t size() const {
        const std::lock_guard lock(mutex_);
        return seen_.size();
    }

    AvahiServiceBrowser* browser_ = nullptr; // poll thread only
    int resolving_ = 0;                      // poll thread only
    mutable std::mutex mutex_;
    std::map<Key, std::string> seen_; // service → its hostId
};

class AvahiBrowser final : public Browser {
public:
    std::unique_ptr<Announcements> browse() override {
        auto announcements = std::make_unique<AvahiAnnouncements>();
        if (!announcements->start())
            return nullptr;
        return announcements;
    }
};

} // namespace

std::shared_ptr<Browser> avahiBrowser() {
    return std::make_shared<AvahiBrowser>();
}

std::shared_ptr<Advertiser> avahiAdvertiser() {
    return std::make_shared<AvahiAdvertiser>();
}

} // namespace zephlink

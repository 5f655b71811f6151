#pragma once

// Stand-ins for what LocalDiscovery talks to: the main thread, the
// advertisement and the clip-server requests.
#include "bonjour.h"
#include "encoding.h"
#include "errors.h"
#include "local_discovery.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace zephlink::test {

// The main thread is the test's own: jobs wait here until the test runs
// them, which lets a test hold a delivery back.
class TestMainThread {
public:
    LocalDiscovery::Executor executor() {
        return [this](std::function<void()> job) {
            const std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
            wake_.notify_all();
        };
    }

    // Runs the jobs as they come until `done` holds or `limit` passes.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                if (!wake_.wait_until(lock, deadline, [&] { return !jobs_.empty(); }))
                    return done();
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
        return true;
    }
    // Runs whatever arrives for `period`.
    void runFor(std::chrono::milliseconds period) {
        runUntil([] { return false; }, period);
    }
    bool waitForJob(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, limit, [&] { return !jobs_.empty(); });
    }
    std::deque<std::function<void()>> take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(jobs_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
};

struct Delivery {
    std::optional<LocalSession> session;
    std::optional<std::string> server;
};

// Every callback, in order; read on the main thread only.
struct Deliveries {
    std::vector<Delivery> all;

    LocalDiscovery::Callback callback() {
        return [this](std::optional<LocalSession> session, std::optional<std::string> server) {
            all.push_back({std::move(session), std::move(server)});
        };
    }
};

class FakeAdvertiser : public Advertiser {
public:
    struct Published {
        ServiceRecord service;
        bool withdrawn = false;
    };

    std::unique_ptr<Advertisement> publish(const ServiceRecord& service) override {
        const std::lock_guard lock(mutex_);
        published_.push_back({service, false});
        return std::make_unique<Handle>(*this, published_.size() - 1);
    }
    std::vector<Published> published() const {
        const std::lock_guard lock(mutex_);
        return published_;
    }

private:
    class Handle : public Advertisement {
    public:
        Handle(FakeAdvertiser& owner, std::size_t index) : owner_(owner), index_(index) {}
        ~Handle() override { withdraw(); }
        void withdraw() override {
            const std::lock_guard lock(owner_.mutex_);
            owner_.published_[index_].withdrawn = true;
        }

    private:
        FakeAdvertiser& owner_;
        std::size_t index_;
    };

    mutable std::mutex mutex_;
    std::vector<Published> published_;
};

// One request as LocalDiscovery made it.
struct Call {
    std::string server;
    std::string path;
    std::string method;
    std::optional<std::string> body;
    double timeout = 0;
    bool hasToken = false;
};

// Answers requests from a table of handlers keyed by server and path; a
// request without a handler fails as an unreachable server does.
class FakeServers {
public:
    using Handler = std::function<std::string(const Call&)>;

    void on(const std::string& server, const std::string& path, Handler handler) {
        const std::lock_guard lock(mutex_);
        handlers_[server + path] = std::move(handler);
    }
    void session(const std::string& server, const nlohmann::json& answer) {
        on(server, "/v1/local-session", [text = answer.dump()](const Call&) { return text; });
    }
    void health(const nlohmann::json& answer) {
        on("http://127.0.0.1:8788", "/health",
           [text = answer.dump()](const Call&) { return text; });
    }

    LocalDiscovery::Request request() {
        return [this](std::string_view server, std::string_view path,
                      std::optional<std::string> token, std::string_view method,
                      std::optional<std::string> body, double timeout) -> std::string {
            Call call{std::string(server), std::string(path), std::string(method),
                      std::move(body),     timeout,           token.has_value()};
            Handler handler;
            {
                const std::lock_guard lock(mutex_);
                calls_.push_back(call);
                const auto found = handlers_.find(call.server + call.path);
                if (found != handlers_.end())
                    handler = found->second;
            }
            if (!handler)
                throw DazarError("Relay unavailable. Check network and server.");
            return handler(call);
        };
    }

    std::vector<Call> calls() const {
        const std::lock_guard lock(mutex_);
        return calls_;
    }
    // The servers asked for a session, in order.
    std::vector<std::string> sessionServers() const {
        std::vector<std::string> servers;
        for (const Call& call : calls()) {
            if (call.path == "/v1/local-session")
                servers.push_back(call.server);
        }
        return servers;
    }
    void clearCalls() {
        const std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Handler> handlers_;
    std::vector<Call> calls_;
};

inline std::string hostNumber(int n) {
    char text[33];
    std::snprintf(text, sizeof text, "%032x", n);
    return text;
}

inline nlohmann::json sessionAnswer(const std::string& hostId) {
    return {{"v", 1},
            {"mode", "trusted-lan"},
            {"hostId", hostId},
            {"name", "Desk"},
            {"room", identifier()},
            {"token", encode64(random(32))},
            {"key", encode64(random(32))},
            {"devices", nlohmann::json::array()}};
}

inline nlohmann::json healthAnswer(const std::string& hostId) {
    return {{"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", hostId}};
}

// No test may reach an mDNS responder on the machine's own system bus.
inline void cutOffSystemBus() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zephlink-test-bus", 1);
}

} // namespace zephlink::test

#pragma once

#include "answer.h"
#include "clip_store.h"
#include "device_registry.h"
#include "http_request.h"
#include "rate_limiter.h"
#include "records.h"
#include "socket.h"
#include "wall_clock.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zephlink {

inline constexpr int kMaxActiveConnections = 32;
inline constexpr int kListenBacklog = 32;
inline constexpr std::chrono::seconds kConnectionTimeout{3};
inline constexpr std::string_view kHostServer = "http://127.0.0.1:8788";

// The nearby host: an HTTP service on TCP port 8788 that hands its group to
// devices on private addresses and relays their sealed clips, plus the
// discovery responder on UDP port 8789. It lives in a shared_ptr; the accept
// thread, every connection thread and the responder thread keep it alive
// until they end.
class LocalHost : public std::enable_shared_from_this<LocalHost> {
public:
    struct Options {
        WallClock clock; // nowMilliseconds when empty
    };

    // init(device:name:) of the design: invents the group. Raises what the
    // random source raises.
    static std::shared_ptr<LocalHost> create(std::string_view device, std::string_view name);
    static std::shared_ptr<LocalHost> create(std::string_view device, std::string_view name,
                                             Options options);

    LocalHost(const LocalHost&) = delete;
    LocalHost& operator=(const LocalHost&) = delete;

    // Listens on port 8788 and starts the accept loop and the responder; true
    // when the TCP listener is up. A host starts at most once. start and stop
    // may run on any two threads at once: whichever order they take, a
    // stopped host holds no port and its threads end.
    bool start();
    // Wakes every waiting poll and frees the TCP port at once; the responder
    // closes its socket within half a second. Never blocks for long.
    void stop();
    // Waits, at most `limit`, until every thread of a stopped host has ended.
    bool waitUntilFinished(std::chrono::milliseconds limit);

    // Answers a request that has been read, as a connection does: admission,
    // routing and the handlers, under the host's lock. A poll may wait.
    Answer answer(const HttpRequest& request, const std::string& peer);

    const std::string& hostId() const { return hostId_; }
    const std::string& name() const { return name_; }
    const Group& group() const { return group_; }
    bool responderRunning() const;

private:
    struct PassKey {};

public:
    LocalHost(PassKey, std::string_view device, std::string_view name, Options options);

private:
    void acceptLoop(const std::shared_ptr<Socket>& listener);
    void admit(Socket connection, const std::string& peer);
    void serve(Socket connection, const std::string& peer);
    bool handle(int fd, const std::string& peer);
    Answer respond(const HttpRequest& request, const std::string& peer,
                   std::unique_lock<std::mutex>& lock);
    Answer session(const HttpRequest& request);
    Answer poll(const HttpRequest& request, std::unique_lock<std::mutex>& lock);
    bool authorised(const HttpRequest& request) const;
    static bool reply(int fd, const Answer& answer);
    void startResponder();
    void responderLoop(Socket udp);
    bool isStopped();
    // Runs body on a new detached thread that holds the host; false when no
    // thread could be started.
    bool spawn(std::function<void()> body);

    const std::string hostId_;
    const std::string name_;
    const Group group_;
    const std::string clipsPath_;

    mutable std::mutex mutex_;
    std::condition_variable condition_;
    bool started_ = false;
    bool stopped_ = false;
    std::shared_ptr<Socket> tcp_; // the listener; the accept thread shares it
    bool udpOpen_ = false;
    int udpFd_ = -1; // the responder's socket while it is open
    int active_ = 0;
    int threads_ = 0;
    std::condition_variable threadsEnded_;
    ClipStore store_;
    DeviceRegistry devices_;
    RateLimiter rate_;
};

} // namespace zephlink

#include "local_host.h"

#include "addresses.h"
#include "characters.h"
#include "clip.h"
#include "discovery_datagram.h"
#include "encoding.h"
#include "trace.h"

#include <arpa/inet.h>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

namespace zephlink {

using nlohmann::json;
using SteadyTime = std::chrono::steady_clock;

namespace {

constexpr std::size_t kGroupSecretBytes = 32;
// Bounds how long one slow reader can hold a connection slot with a large
// poll answer; each send on its own gives up after 3 seconds.
constexpr std::chrono::seconds kMaxResponseTime{20};
// After answering, the rest of what the peer sent is read and dropped for a
// short while before closing, so that the close does not reset the
// connection and destroy the answer in flight (RFC 9112, section 9.6).
constexpr std::chrono::milliseconds kLingerTime{1000};
constexpr std::size_t kMaxLingerBytes = 256 * 1024;
// accept() failing for want of descriptors or memory must not end the host.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

bool transientAcceptError(int error) {
    switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

void linger(int fd) {
    if (::shutdown(fd, SHUT_WR) != 0)
        return;
    const auto deadline = SteadyTime::now() + kLingerTime;
    std::size_t drained = 0;
    char sink[4096];
    while (drained < kMaxLingerBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyTime::now());
        if (left.count() <= 0)
            return;
        pollfd wanted{fd, POLLIN, 0};
        const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        const ssize_t got = receiveSome(fd, sink, sizeof sink);
        if (got <= 0)
            return;
        drained += static_cast<std::size_t>(got);
    }
}

std::string_view pathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

} // namespace

std::shared_ptr<LocalHost> LocalHost::create(std::string_view device, std::string_view name) {
    return create(device, name, Options{});
}

std::shared_ptr<LocalHost> LocalHost::create(std::string_view device, std::string_view name,
                                             Options options) {
    if (!options.clock)
        options.clock = nowMilliseconds;
    return std::make_shared<LocalHost>(PassKey{}, device, name, std::move(options));
}

LocalHost::LocalHost(PassKey, std::string_view device, std::string_view name, Options options)
    : hostId_(device),
      name_(characterPrefix(name, kMaxNearbyName)), group_{std::string(kHostServer), identifier(),
                                                           encode64(random(kGroupSecretBytes)),
                                                           encode64(random(kGroupSecretBytes))},
      clipsPath_("/v1/rooms/" + group_.room + "/clips"), store_(options.clock),
      devices_(options.clock), rate_(options.clock) {}

bool LocalHost::start() {
    {
        const std::lock_guard lock(mutex_);
        if (started_ || stopped_)
            return false;
        started_ = true;
    }
    Socket listener = ipv4Socket(SOCK_STREAM);
    if (!listener.valid() || !setFlag(listener.fd(), SOL_SOCKET, SO_REUSEADDR))
        return false;
    const sockaddr_in any = address("0.0.0.0", kHostPort);
    if (::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
        ::listen(listener.fd(), kListenBacklog) != 0)
        return false;
    const auto shared = std::make_shared<Socket>(std::move(listener));
    {
        const std::lock_guard lock(mutex_);
        // A stop() since the check above found no listener to close; this
        // one closes as it goes out of scope.
        if (stopped_)
            return false;
        tcp_ = shared;
    }
    if (!spawn([this, shared] { acceptLoop(shared); })) {
        const std::lock_guard lock(mutex_);
        tcp_.reset();
        return false;
    }
    startResponder();
    return true;
}

void LocalHost::stop() {
    std::shared_ptr<Socket> listener;
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
        condition_.notify_all();
        listener = std::move(tcp_);
        // Wakes the responder from its receive. It clears the number under
        // this lock before closing, so the number is still its socket.
        if (udpFd_ >= 0)
            ::shutdown(udpFd_, SHUT_RDWR);
    }
    // Closing alone does not wake a thread blocked in accept() on Linux;
    // shutting the listener down does, and the accept thread, which shares
    // the descriptor, closes it at once. Closing it here instead could let
    // the number be reused under the accept thread's feet.
    if (listener)
        ::shutdown(listener->fd(), SHUT_RDWR);
}

bool LocalHost::waitUntilFinished(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return threadsEnded_.wait_for(lock, limit, [&] { return threads_ == 0; });
}

bool LocalHost::responderRunning() const {
    const std::lock_guard lock(mutex_);
    return udpOpen_;
}

bool LocalHost::isStopped() {
    const std::lock_guard lock(mutex_);
    return stopped_;
}

bool LocalHost::spawn(std::function<void()> body) {
    auto self = shared_from_this();
    {
        const std::lock_guard lock(mutex_);
        ++threads_;
    }
    try {
        std::thread([self, body = std::move(body)] {
            try {
                body();
            } catch (...) {
                // Nothing may leave a thread; the connection is simply closed.
            }
            const std::lock_guard lock(self->mutex_);
            --self->threads_;
            self->threadsEnded_.notify_all();
        }).detach();
        return true;
    } catch (const std::system_error&) {
        const std::lock_guard lock(mutex_);
        --threads_;
        threadsEnded_.notify_all();
        return false;
    }
}

void LocalHost::acceptLoop(const std::shared_ptr<Socket>& listener) {
    while (true) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd =
            ::accept4(listener->fd(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (isStopped() || error == EINVAL || error == EBADF || error == ENOTSOCK)
                return;
            if (!transientAcceptError(error))
                std::this_thread::sleep_for(kAcceptRetryDelay);
            continue;
        }
        admit(Socket(fd), hostString(peer));
    }
}

void LocalHost::admit(Socket connection, const std::string& peer) {
    {
        const std::lock_guard lock(mutex_);
        if (stopped_ || active_ >= kMaxActiveConnections || !privateAddress(peer))
            return; // closed without a word
        ++active_;
    }
    const int fd = connection.release();
    if (!spawn([this, fd, peer] { serve(Socket(fd), peer); })) {
        Socket closing(fd);
        const std::lock_guard lock(mutex_);
        --active_;
    }
}

void LocalHost::serve(Socket connection, const std::string& peer) {
    struct Slot {
        LocalHost& host;
        ~Slot() {
            const std::lock_guard lock(host.mutex_);
            --host.active_;
        }
    } slot{*this};
    // Without time-outs a silent peer would hold its slot for ever.
    if (!setTimeouts(connection.fd(), kConnectionTimeout))
        return;
    if (handle(connection.fd(), peer))
        linger(connection.fd());
}

bool LocalHost::handle(int fd, const std::string& peer) {
    const ByteSource source = [fd](std::span<char> into) {
        return receiveSome(fd, into.data(), into.size());
    };
    ReadResult read = readRequest(source);
    if (std::holds_alternative<CloseSilently>(read))
        return false;
    if (const auto* status = std::get_if<HttpStatus>(&read))
        return reply(fd, Answer{*status, {}});
    // Written after the lock is released: a peer that reads slowly must not
    // hold up every other request, nor stop().
    return reply(fd, answer(std::get<HttpRequest>(read), peer));
}

Answer LocalHost::answer(const HttpRequest& request, const std::string& peer) {
    std::unique_lock lock(mutex_);
    return respond(request, peer, lock);
}

Answer LocalHost::respond(const HttpRequest& request, const std::string& peer,
                          std::unique_lock<std::mutex>& lock) {
    if (stopped_)
        return {503, {}};
    if (const int refusal = rate_.admit(peer); refusal != 0)
        return {refusal, {}};
    if (request.method == "GET" && request.target == "/health")
        return jsonAnswer(
            200, json{{"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", hostId_}});
    devices_.prune();
    if (request.method == "POST" && request.target == kSessionPath)
        return session(request);
    if (!authorised(request) || pathOf(request.target) != clipsPath_)
        return {401, {}};
    store_.pruneFrames();
    if (request.method == "POST") {
        const ClipStore::PostOutcome outcome = store_.post(request.body);
        if (outcome.status == 400)
            return {400, {}};
        if (outcome.status == 201) {
            trace::step("stored");
            condition_.notify_all();
        }
        return jsonAnswer(outcome.status, json{{"seq", outcome.seq}});
    }
    if (request.method == "GET")
        return poll(request, lock);
    return {405, {}};
}

Answer LocalHost::session(const HttpRequest& request) {
    const auto device = sessionDevice(request.body);
    if (!device || !devices_.see(*device))
        return {400, {}};
    json devices = json::array();
    for (const NearbyDevice& known : devices_.devices())
        devices.push_back(known);
    return jsonAnswer(200, json{{"v", 1},
                                {"mode", kTrustedLan},
                                {"hostId", hostId_},
                                {"name", name_},
                                {"room", group_.room},
                                {"token", group_.token},
                                {"key", group_.key},
                                {"devices", std::move(devices)}});
}

Answer LocalHost::poll(const HttpRequest& request, std::unique_lock<std::mutex>& lock) {
    const auto query = clips::parsePollQuery(request.target);
    if (!query)
        return {400, {}};
    const auto deadline = SteadyTime::now() + std::chrono::seconds(query->wait);
    if (stopped_)
        return {503, {}};
    while (query->after == store_.sequence()) {
        if (SteadyTime::now() >= deadline) {
            if (stopped_)
                return {503, {}};
            break;
        }
        condition_.wait_until(lock, deadline);
        if (stopped_)
            return {503, {}};
    }
    if (query->after != store_.sequence())
        trace::step("wake");
    // The clips' stored bytes, shared with every other answer that holds them.
    return {200, store_.batch(query->after)};
}

bool LocalHost::authorised(const HttpRequest& request) const {
    const std::string* given = request.header("authorization");
    const std::string expected = "Bearer " + group_.token;
    return given != nullptr && given->size() == expected.size() &&
           CRYPTO_memcmp(given->data(), expected.data(), expected.size()) == 0;
}

bool LocalHost::reply(int fd, const Answer& answer) {
    return sendAnswer(fd, answer, SteadyTime::now() + kMaxResponseTime);
}

void LocalHost::startResponder() {
    Socket udp = ipv4Socket(SOCK_DGRAM);
    if (!udp.valid() || !setFlag(udp.fd(), SOL_SOCKET, SO_REUSEADDR) ||
        !setFlag(udp.fd(), SOL_SOCKET, SO_REUSEPORT))
        return;
    const sockaddr_in any = address("0.0.0.0", kDiscoveryPort);
    if (::bind(udp.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        return;
    ip_mreq membership{};
    membership.imr_multiaddr = address(kDiscoveryGroup, 0).sin_addr;
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    // Without the group the host still answers datagrams sent to its own
    // addresses and to broadcast.
    (void)::setsockopt(udp.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
    // The loop sleeps in its receive until a datagram comes or stop() shuts
    // the socket down: no periodic wake-ups while idle.
    const int fd = udp.fd();
    {
        const std::lock_guard lock(mutex_);
        if (stopped_)
            return;
        udpOpen_ = true;
        udpFd_ = fd;
    }
    (void)udp.release();
    if (!spawn([this, fd] { responderLoop(Socket(fd)); })) {
        {
            const std::lock_guard lock(mutex_);
            udpOpen_ = false;
            udpFd_ = -1;
        }
        Socket closing(fd);
    }
}

void LocalHost::responderLoop(Socket udp) {
    while (!isStopped()) {
        const auto datagram = receivePrivateDatagram(udp.fd());
        if (!datagram)
            continue;
        const auto nonce = requestNonce(datagram->bytes);
        if (!nonce)
            continue;
        const auto answer = discoveryReply(*nonce, hostId_, name_);
        if (!answer)
            continue;
        (void)::sendto(udp.fd(), answer->data(), answer->size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&datagram->sender),
                       sizeof datagram->sender);
    }
    {
        const std::lock_guard lock(mutex_);
        udpOpen_ = false;
        udpFd_ = -1;
    }
    udp.reset();
}

} // namespace zephlink

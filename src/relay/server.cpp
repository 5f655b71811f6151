#include "server.h"

#include "client_limits.h"
#include "encoding.h"
#include "errors.h"
#include "metrics.h"
#include "waiters.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <utility>

namespace zephlink::relay {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Request = http::request<http::string_body>;

namespace {

constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxCreateBody = 1024;
constexpr std::size_t kMaxPipelined = 8192; // bytes a client may send ahead while its poll is held
constexpr auto kWriteTimeout = std::chrono::seconds(15);
constexpr auto kLinger = std::chrono::seconds(1);
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kStopLimit = std::chrono::milliseconds(1800);
constexpr auto kStopCheck = std::chrono::milliseconds(10);
constexpr auto kSweepEvery = std::chrono::seconds(60);
constexpr std::string_view kRoomsPath = "/v1/rooms";
constexpr std::string_view kRoomPrefix = "/v1/rooms/";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kPrometheus = "text/plain; version=0.0.4";

std::int64_t wallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Body text(std::string value) {
    return std::make_shared<const std::string>(std::move(value));
}

// The digest of the bearer token, when the request carries one.
std::optional<Digest> bearer(const Request& request) {
    const std::string_view value = request[http::field::authorization];
    constexpr std::string_view scheme = "bearer ";
    if (value.size() <= scheme.size() || !beast::iequals(value.substr(0, scheme.size()), scheme))
        return std::nullopt;
    return clips::sha256(value.substr(scheme.size()));
}

std::optional<std::string_view> forwardedFor(const Request& request, std::string& joined) {
    const auto [first, last] = request.equal_range("X-Forwarded-For");
    if (first == last)
        return std::nullopt;
    for (auto at = first; at != last; ++at)
        joined.append(joined.empty() ? "" : ",").append(at->value());
    return joined;
}

} // namespace

struct Listener {
    Listener(asio::io_context& io, bool forMetrics)
        : acceptor(asio::make_strand(io)), pause(acceptor.get_executor()), metrics(forMetrics) {}
    tcp::acceptor acceptor;
    asio::steady_timer pause;
    const bool metrics;
    bool paused = false; // as last logged
};

struct Server::State : std::enable_shared_from_this<Server::State> {
    State(asio::io_context& context, const Options& settings, RoomStore& rooms, Log logger)
        : io(context), options(settings), store(rooms), log(std::move(logger)),
          limits(settings.limits), waiters(rooms), main(context, false),
          sweeper(asio::make_strand(context)), stopper(asio::make_strand(context)) {}

    void listen(Listener& listener, const Endpoint& where);
    void accept(Listener& listener);
    void admit(tcp::socket socket, bool forMetrics);
    void sweep();
    // Calls `stopped` once no request is left unanswered, or at the deadline.
    void awaitQuiet(std::chrono::steady_clock::time_point deadline, std::function<void()> stopped);
    bool trusted(const std::string& address) const {
        return std::find(options.trustedProxies.begin(), options.trustedProxies.end(), address) !=
               options.trustedProxies.end();
    }

    asio::io_context& io;
    const Options options;
    RoomStore& store;
    const Log log;
    Limits limits;
    Waiters waiters;
    Metrics metrics;
    Listener main;
    std::optional<Listener> metricsListener;
    asio::steady_timer sweeper;
    asio::steady_timer stopper;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> busy{0}; // requests read and not yet answered
};

// One client connection: reads requests one after the other, answers each,
// and holds a poll until a clip arrives, its wait ends or the client leaves.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<Server::State> state, std::string peer,
               bool counted, bool metrics)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), state_(std::move(state)),
          peer_(std::move(peer)), counted_(counted), metrics_(metrics) {}

    ~Connection() {
        if (phase_ == Phase::holding && state_->waiters.remove(waiter_))
            state_->limits.releasePoll(client_);
        endRequest();
        if (counted_)
            state_->limits.closeConnection(peer_);
    }

    void start() {
        asio::dispatch(socket_.get_executor(),
                       [self = shared_from_this()] { self->readRequest(); });
    }

private:
    enum class Phase { reading, handling, holding, writing, lingering, closed };

    template <typename F> void onStrand(F f) {
        asio::dispatch(socket_.get_executor(), std::move(f));
    }

    void arm(std::chrono::steady_clock::duration after) {
        const std::uint64_t generation = ++timerGeneration_;
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this(), generation](error_code ec) {
            if (!ec && generation == self->timerGeneration_)
                self->onTimer();
        });
    }

    void onTimer() {
        switch (phase_) {
        case Phase::reading:
            // A client that began a request and is too slow to finish it is
            // told so; an idle keep-alive connection just ends.
            if ((parser_ && parser_->got_some()) || buffer_.size() > 0) {
                error_code ignored;
                socket_.cancel(ignored);
                refuse(408);
            } else {
                close();
            }
            break;
        case Phase::holding:
            if (state_->waiters.remove(waiter_))
                finishHold(200, nothingNew(waiter_->after));
            break;
        case Phase::writing:
        case Phase::lingering:
            close();
            break;
        case Phase::handling:
        case Phase::closed:
            break;
        }
    }

    void readRequest() {
        phase_ = Phase::reading;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
        parser_->body_limit(metrics_ ? 0 : state_->options.maxBody);
        arm(std::chrono::seconds(state_->options.requestTimeout));
        http::async_read_header(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void onHeader(error_code ec) {
        if (phase_ != Phase::reading)
            return;
        if (ec)
            return refuseRead(ec);
        if (!http::token_list(parser_->get()[http::field::expect]).exists("100-continue"))
            return readBody();
        asio::async_write(socket_, asio::buffer(kContinue.data(), kContinue.size()),
                          [self = shared_from_this()](error_code written, std::size_t) {
                              if (self->phase_ != Phase::reading)
                                  return;
                              if (written)
                                  return self->close();
                              self->readBody();
                          });
    }

    void readBody() {
        http::async_read(socket_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) {
                             if (self->phase_ != Phase::reading)
                                 return;
                             if (ec)
                                 return self->refuseRead(ec);
                             self->handle();
                         });
    }

    void refuseRead(error_code ec) {
        if (ec == http::error::body_limit)
            return refuse(413);
        if (ec == http::error::header_limit)
            return refuse(431);
        if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return refuse(400);
        close(); // the client left, or the network failed
    }

    // Answers a request that could not be read, and ends the connection.
    void refuse(int status) {
        phase_ = Phase::handling;
        startRequest();
        closeAfter_ = true;
        respond(status);
    }

    void startRequest() {
        if (!busy_) {
            busy_ = true;
            ++state_->busy;
        }
    }

    void endRequest() {
        if (busy_) {
            busy_ = false;
            --state_->busy;
        }
    }

    void handle() {
        phase_ = Phase::handling;
        startRequest();
        const Request request = parser_->release();
        parser_.reset();
        if (buffer_.size() == 0)
            buffer_.shrink_to_fit(); // idle connections hold no buffer
        keepAlive_ = request.keep_alive();
        try {
            route(request);
        } catch (const DazarError&) {
            respond(500); // no secure randomness for a new room
        }
    }

    void route(const Request& request) {
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        const http::verb method = request.method();
        if (method == http::verb::get && target == "/health")
            return respond(state_->store.healthy() ? 200 : 503,
                           state_->store.healthy() ? text("{\"ok\":true}") : nullptr);
        if (metrics_)
            return method == http::verb::get && path == "/metrics" ? metricsPage() : respond(404);
        std::string joined;
        client_ =
            clientAddress(peer_, forwardedFor(request, joined), state_->options.trustedProxies);
        if (const int refusal = state_->limits.admitRequest(client_); refusal != 0)
            return respond(refusal);
        if (path == kRoomsPath)
            return method == http::verb::post ? create(request) : respond(405, {}, "Allow: POST");
        if (!path.starts_with(kRoomPrefix))
            return respond(404);
        const std::string rest = path.substr(kRoomPrefix.size());
        const std::string room = rest.substr(0, rest.find('/'));
        const std::string tail = rest.substr(room.size());
        if (!validID(room) || (!tail.empty() && tail != "/clips"))
            return respond(404);
        if (tail.empty())
            return method == http::verb::delete_ ? revoke(request, room)
                                                 : respond(405, {}, "Allow: DELETE");
        if (method == http::verb::post)
            return post(request, room);
        if (method == http::verb::get)
            return poll(request, room, target);
        respond(405, {}, "Allow: GET, POST");
    }

    void create(const Request& request) {
        if (request.body().size() > kMaxCreateBody)
            return respond(413);
        if (const int refusal = state_->limits.admitRoom(client_); refusal != 0)
            return respond(refusal);
        const std::string room = identifier();
        const std::string token = encode64(random(32));
        state_->store.create(
            room, clips::sha256(token),
            [self = shared_from_this(), room, token](int status) mutable {
                self->onStrand([self, room = std::move(room), token = std::move(token), status] {
                    if (status != 201)
                        return self->respond(status);
                    self->state_->metrics.created();
                    self->respond(201,
                                  text("{\"room\":\"" + room + "\",\"token\":\"" + token + "\"}"));
                });
            });
    }

    void post(const Request& request, const std::string& room) {
        const auto token = bearer(request);
        if (!token)
            return respond(401);
        PreparedClip clip; // left empty when refused: the store then checks the token only
        if (const auto envelope = clips::acceptableEnvelope(request.body(), wallMs())) {
            clip.id = envelope->id;
            clip.canonical = clips::canonicalBytes(*envelope);
            clip.digest = clips::sha256(clip.canonical);
        }
        state_->store.post(
            room, *token, std::move(clip), [self = shared_from_this()](PostOutcome outcome) {
                self->onStrand([self, outcome] {
                    if (outcome.status == 201)
                        self->state_->metrics.stored();
                    const bool seq =
                        outcome.status == 200 || outcome.status == 201 || outcome.status == 409;
                    self->respond(outcome.status,
                                  seq ? text("{\"seq\":" + std::to_string(outcome.seq) + "}")
                                      : nullptr);
                });
            });
    }

    void poll(const Request& request, const std::string& room, const std::string& target) {
        const auto token = bearer(request);
        if (!token)
            return respond(401);
        // Any wait is taken, and held for at most 20 seconds.
        const auto query = clips::parsePollQuery(target, INT64_MAX);
        const std::int64_t after = query ? query->after : 0;
        const std::int64_t wait = query ? std::min(query->wait, clips::kMaxPollWaitSeconds) : 0;
        if (wait > 0 && !state_->stopping)
            return hold(room, *token, after, wait);
        state_->store.read(
            room, *token, after,
            [self = shared_from_this(), after, valid = query.has_value()](ReadOutcome outcome) {
                self->onStrand([self, after, valid, outcome = std::move(outcome)] {
                    if (outcome.status != 200)
                        self->respond(outcome.status);
                    else if (!valid)
                        self->respond(400); // after the token was found good
                    else
                        self->respond(200, batchFor(outcome.snapshot, after));
                });
            });
    }

    void hold(const std::string& room, const Digest& token, std::int64_t after, std::int64_t wait) {
        if (const int refusal = state_->limits.holdPoll(client_); refusal != 0)
            return respond(refusal);
        phase_ = Phase::holding;
        waiter_ = std::make_shared<Waiter>(
            room, after,
            [weak = weak_from_this(), executor = socket_.get_executor()](int status, Body body) {
                asio::post(executor, [weak, status, body = std::move(body)] {
                    if (const auto self = weak.lock())
                        self->finishHold(status, body);
                });
            });
        // Listed before the room is read, so that no post can slip between.
        state_->waiters.add(waiter_);
        arm(std::chrono::seconds(wait));
        watch();
        state_->store.read(
            room, token, after, [self = shared_from_this(), waiter = waiter_](ReadOutcome outcome) {
                self->onStrand([self, waiter, outcome = std::move(outcome)] {
                    const bool now =
                        outcome.status != 200 || outcome.snapshot.sequence != waiter->after;
                    if (now && self->state_->waiters.remove(waiter))
                        self->finishHold(outcome.status,
                                         outcome.status == 200
                                             ? batchFor(outcome.snapshot, waiter->after)
                                             : nullptr);
                });
            });
    }

    // Reads while a poll is held, to notice a client that leaves; whatever
    // it sends ahead is kept for the next request.
    void watch() {
        socket_.async_read_some(
            asio::buffer(scratch_), [self = shared_from_this()](error_code ec, std::size_t n) {
                if (n > 0) {
                    const auto into = self->buffer_.prepare(n);
                    asio::buffer_copy(into, asio::buffer(self->scratch_.data(), n));
                    self->buffer_.commit(n);
                }
                if (self->phase_ != Phase::holding || ec == asio::error::operation_aborted)
                    return;
                if (!ec && self->buffer_.size() < kMaxPipelined)
                    return self->watch();
                if (ec && self->state_->waiters.remove(self->waiter_)) {
                    self->state_->limits.releasePoll(self->client_);
                    self->close();
                }
            });
    }

    void finishHold(int status, Body body) {
        if (phase_ != Phase::holding)
            return;
        state_->limits.releasePoll(client_);
        waiter_.reset();
        error_code ignored;
        socket_.cancel(ignored); // the watch
        respond(status, std::move(body));
    }

    void revoke(const Request& request, const std::string& room) {
        const auto token = bearer(request);
        if (!token)
            return respond(401);
        state_->store.revoke(room, *token, [self = shared_from_this()](int status) {
            self->onStrand([self, status] { self->respond(status); });
        });
    }

    void metricsPage() {
        state_->store.countRooms([self = shared_from_this()](std::optional<std::int64_t> rooms) {
            self->onStrand([self, rooms] {
                self->respond(
                    200,
                    text(self->state_->metrics.render(rooms, self->state_->limits.heldPolls(),
                                                      self->state_->limits.connections())),
                    {}, kPrometheus);
            });
        });
    }

    void respond(int status, Body body = nullptr, std::string_view header = {},
                 std::string_view type = kJson) {
        const bool close = closeAfter_ || !keepAlive_ || state_->stopping;
        head_ = "HTTP/1.1 " + std::to_string(status) + " " +
                std::string(http::obsolete_reason(static_cast<http::status>(status))) + "\r\n";
        if (body)
            head_.append("Content-Type: ").append(type).append("\r\n");
        head_.append("Content-Length: ").append(std::to_string(body ? body->size() : 0));
        head_.append("\r\nCache-Control: no-store\r\n");
        if (!header.empty())
            head_.append(header).append("\r\n");
        if (close)
            head_.append("Connection: close\r\n");
        head_.append("\r\n");
        body_ = std::move(body);
        state_->metrics.answered(status);
        phase_ = Phase::writing;
        arm(kWriteTimeout);
        const std::array<asio::const_buffer, 2> buffers{
            asio::buffer(head_), body_ ? asio::buffer(*body_) : asio::const_buffer()};
        asio::async_write(socket_, buffers,
                          [self = shared_from_this(), close](error_code ec, std::size_t) {
                              if (self->phase_ != Phase::writing)
                                  return;
                              self->endRequest();
                              self->body_.reset();
                              if (ec)
                                  return self->close();
                              if (close)
                                  return self->linger();
                              self->readRequest();
                          });
    }

    // Half-closes and reads what the client still sends for a moment, so
    // that an answer sent before its request was read reaches it instead of
    // being lost to a reset.
    void linger() {
        phase_ = Phase::lingering;
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        arm(kLinger);
        drain();
    }

    void drain() {
        socket_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](error_code ec, std::size_t) {
                                    if (self->phase_ != Phase::lingering)
                                        return;
                                    if (ec)
                                        return self->close();
                                    self->drain();
                                });
    }

    void close() {
        phase_ = Phase::closed;
        ++timerGeneration_;
        timer_.cancel();
        error_code ignored;
        socket_.close(ignored);
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<Server::State> state_;
    const std::string peer_;
    const bool counted_; // against the peer's connection allowance
    const bool metrics_;
    std::string client_;
    Phase phase_ = Phase::reading;
    std::uint64_t timerGeneration_ = 0;
    bool keepAlive_ = false;
    bool closeAfter_ = false;
    bool busy_ = false;
    std::string head_;
    Body body_;
    std::shared_ptr<Waiter> waiter_;
    std::array<char, 256> scratch_{};
};

void Server::State::listen(Listener& listener, const Endpoint& where) {
    const tcp::endpoint endpoint(asio::ip::make_address(where.address), where.port);
    listener.acceptor.open(endpoint.protocol());
    listener.acceptor.set_option(asio::socket_base::reuse_address(true));
    listener.acceptor.bind(endpoint);
    listener.acceptor.listen(asio::socket_base::max_listen_connections);
}

void Server::State::accept(Listener& listener) {
    listener.acceptor.async_accept(asio::make_strand(io), [self = shared_from_this(), &listener](
                                                              error_code ec, tcp::socket socket) {
        if (self->stopping || !listener.acceptor.is_open())
            return;
        if (!ec) {
            if (std::exchange(listener.paused, false))
                self->log("accepting connections again");
            self->admit(std::move(socket), listener.metrics);
            return self->accept(listener);
        }
        // Out of descriptors, most likely: let connections end, then go on.
        if (!std::exchange(listener.paused, true))
            self->log("cannot accept connections: " + ec.message());
        listener.pause.expires_after(kAcceptPause);
        listener.pause.async_wait([self, &listener](error_code waited) {
            if (!waited)
                self->accept(listener);
        });
    });
}

void Server::State::admit(tcp::socket socket, bool forMetrics) {
    error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec)
        return;
    const std::string text = remote.address().to_string();
    const std::string peer = normalAddress(text).value_or(text);
    socket.set_option(tcp::no_delay(true), ec);
    const bool counted = !forMetrics && !trusted(peer);
    if (counted && !limits.openConnection(peer))
        return; // closed as it goes out of scope
    std::make_shared<Connection>(std::move(socket), shared_from_this(), peer, counted, forMetrics)
        ->start();
}

void Server::State::sweep() {
    sweeper.expires_after(kSweepEvery);
    sweeper.async_wait([self = shared_from_this()](error_code ec) {
        if (ec || self->stopping)
            return;
        self->store.sweep();
        self->limits.sweep();
        self->sweep();
    });
}

Server::Server(asio::io_context& io, const Options& options, RoomStore& store, Log log)
    : state_(std::make_shared<State>(io, options, store, std::move(log))) {}

Server::~Server() = default;

void Server::start() {
    State& state = *state_;
    state.listen(state.main, state.options.listen);
    if (state.options.metrics) {
        state.metricsListener.emplace(state.io, true);
        state.listen(*state.metricsListener, *state.options.metrics);
    }
    std::weak_ptr<State> weak = state_;
    state.store.setWake(
        [weak](const std::string& room, std::int64_t seq) {
            if (const auto locked = weak.lock())
                locked->waiters.wake(room, seq);
        },
        [weak] {
            if (const auto locked = weak.lock())
                locked->waiters.resync();
        });
    state.accept(state.main);
    if (state.metricsListener)
        state.accept(*state.metricsListener);
    state.sweep();
}

tcp::endpoint Server::endpoint() const {
    return state_->main.acceptor.local_endpoint();
}

std::optional<tcp::endpoint> Server::metricsEndpoint() const {
    if (!state_->metricsListener)
        return std::nullopt;
    return state_->metricsListener->acceptor.local_endpoint();
}

void Server::stop(std::function<void()> stopped) {
    auto state = state_;
    state->stopping = true;
    for (Listener* listener :
         {&state->main, state->metricsListener ? &*state->metricsListener : nullptr}) {
        if (listener == nullptr)
            continue;
        asio::post(listener->acceptor.get_executor(), [state, listener] {
            error_code ignored;
            listener->acceptor.close(ignored);
            listener->pause.cancel();
        });
    }
    asio::post(state->sweeper.get_executor(), [state] { state->sweeper.cancel(); });
    state->waiters.releaseAll();
    asio::post(state->stopper.get_executor(), [state, stopped = std::move(stopped)]() mutable {
        state->awaitQuiet(std::chrono::steady_clock::now() + kStopLimit, std::move(stopped));
    });
}

void Server::State::awaitQuiet(std::chrono::steady_clock::time_point deadline,
                               std::function<void()> stopped) {
    if (busy == 0 || std::chrono::steady_clock::now() >= deadline)
        return stopped();
    stopper.expires_after(kStopCheck);
    stopper.async_wait([self = shared_from_this(), deadline, stopped = std::move(stopped)](
                           error_code) mutable { self->awaitQuiet(deadline, std::move(stopped)); });
}

} // namespace zephlink::relay

#include "test_relay.h"

#include "encoding.h"
#include "url.h"

#include <algorithm>
#include <cstdlib>
#include <httplib.h>
#include <stdexcept>
#include <sys/socket.h>

namespace zephlink::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kStreamChunk = 64 * 1024;
constexpr std::size_t kMaxRequestBytes = 16 * 1024 * 1024;
constexpr auto kStartLimit = std::chrono::seconds(5);
// Headers the HTTP library adds itself; no client sent them.
constexpr std::string_view kLibraryHeaders[] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                                "LOCAL_PORT"};

bool sameName(std::string_view a, std::string_view b) {
    return asciiLower(a) == asciiLower(b);
}

Answer jsonAnswer(int status, const json& body) {
    Answer answer;
    answer.status = status;
    answer.body = body.dump();
    return answer;
}

Answer empty(int status) {
    Answer answer;
    answer.status = status;
    return answer;
}

// "/v1/rooms/{room}" and "/v1/rooms/{room}/clips"; the room is whatever
// single segment stands there.
struct RoomRoute {
    std::string room;
    bool clips = false;
};

std::optional<RoomRoute> roomRoute(std::string_view path) {
    constexpr std::string_view prefix = "/v1/rooms/";
    if (!path.starts_with(prefix))
        return std::nullopt;
    path.remove_prefix(prefix.size());
    const auto slash = path.find('/');
    RoomRoute route{std::string(path.substr(0, slash))};
    if (route.room.empty())
        return std::nullopt;
    if (slash == std::string_view::npos)
        return route;
    if (path.substr(slash) != "/clips")
        return std::nullopt;
    route.clips = true;
    return route;
}

} // namespace

// The library listens with a backlog of 5; a burst of clients would see SYNs
// dropped and wait a second for the retry. Listening again only widens it.
class TestRelay::Server : public httplib::Server {
public:
    bool widenBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }
};

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name))
            return value;
    }
    return std::nullopt;
}

TestRelay::TestRelay(const std::string& address, int port)
    : server_(std::make_unique<Server>()), address_(address) {
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);
    server_->set_keep_alive_timeout(1);
    server_->set_read_timeout(5);
    server_->set_write_timeout(5);
    server_->set_payload_max_length(kMaxRequestBytes);

    if (port == 0)
        port_ = server_->bind_to_any_port(address);
    else if (server_->bind_to_port(address, port))
        port_ = port;
    if (port_ <= 0 || !server_->widenBacklog())
        throw std::runtime_error("test relay cannot listen on " + address);
    thread_ = std::thread([this] {
        try {
            server_->listen_after_bind();
        } catch (...) {
        }
    });
    const auto deadline = Clock::now() + kStartLimit;
    while (!server_->is_running() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!server_->is_running()) {
        server_->stop();
        thread_.join();
        throw std::runtime_error("test relay did not start");
    }
}

TestRelay::~TestRelay() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

std::string TestRelay::url() const {
    const std::string host = address_ == "0.0.0.0" ? "127.0.0.1" : address_;
    return "http://" + host + ":" + std::to_string(port_);
}

void TestRelay::script(std::string method, std::string path, Answer answer) {
    script(std::move(method), std::move(path),
           Script([answer = std::move(answer)](const RecordedRequest&) { return answer; }));
}

void TestRelay::script(std::string method, std::string path, Script script) {
    const std::lock_guard lock(mutex_);
    scripts_[{std::move(method), std::move(path)}] = std::move(script);
}

void TestRelay::rewrite(Rewrite rewrite) {
    const std::lock_guard lock(mutex_);
    rewrite_ = std::move(rewrite);
}

std::vector<RecordedRequest> TestRelay::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t TestRelay::requestCount() const {
    const std::lock_guard lock(mutex_);
    return requests_.size();
}

std::size_t TestRelay::streamedBytes() const {
    return streamed_.load();
}

std::string TestRelay::openRoomLocked() {
    const std::string room = identifier();
    rooms_[room].token = encode64(random(32));
    return room;
}

Group TestRelay::openRoom() {
    std::string room;
    std::string token;
    {
        const std::lock_guard lock(mutex_);
        room = openRoomLocked();
        token = rooms_[room].token;
    }
    return Group::make(url(), room, token, encode64(random(32)));
}

std::int64_t TestRelay::addClip(const std::string& room, const Envelope& envelope) {
    std::int64_t seq = 0;
    {
        const std::lock_guard lock(mutex_);
        Room& stored = rooms_.at(room);
        seq = ++stored.sequence;
        stored.clips.emplace_back(seq, json(envelope));
    }
    changed_.notify_all();
    return seq;
}

bool TestRelay::hasRoom(const std::string& room) const {
    const std::lock_guard lock(mutex_);
    return rooms_.contains(room);
}

bool TestRelay::wasRevoked(const std::string& room) const {
    const std::lock_guard lock(mutex_);
    return revoked_.contains(room);
}

void TestRelay::handle(const httplib::Request& request, httplib::Response& response) {
    try {
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        recorded.target = request.target;
        recorded.body = request.body;
        for (const auto& [name, value] : request.headers) {
            const bool added = std::any_of(std::begin(kLibraryHeaders), std::end(kLibraryHeaders),
                                           [&](std::string_view own) { return own == name; });
            if (!added)
                recorded.headers.emplace_back(name, value);
        }

        std::unique_lock lock(mutex_);
        requests_.push_back(recorded);
        changed_.notify_all();

        Answer answer;
        const auto scripted = scripts_.find({recorded.method, recorded.path});
        if (scripted != scripts_.end()) {
            const Script script = scripted->second;
            lock.unlock();
            answer = script(recorded);
            lock.lock();
        } else {
            answer = roomAnswer(recorded, lock);
            if (rewrite_) {
                const Rewrite rewrite = rewrite_;
                lock.unlock();
                rewrite(recorded, answer);
                lock.lock();
            }
        }
        if (answer.delay.count() > 0)
            changed_.wait_for(lock, answer.delay, [&] { return stopping_; });
        lock.unlock();
        send(answer, response);
    } catch (...) {
        response.status = 500;
    }
}

Answer TestRelay::roomAnswer(const RecordedRequest& request, std::unique_lock<std::mutex>& lock) {
    if (request.path == "/v1/rooms")
        return request.method == "POST" ? createRoom() : empty(405);
    const auto route = roomRoute(request.path);
    if (!route)
        return empty(404);
    if (revoked_.contains(route->room))
        return empty(401);
    const auto found = rooms_.find(route->room);
    if (found == rooms_.end())
        return empty(404);
    if (request.header("Authorization") != "Bearer " + found->second.token)
        return empty(401);

    if (!route->clips) {
        if (request.method != "DELETE")
            return empty(405);
        rooms_.erase(found);
        revoked_.insert(route->room);
        changed_.notify_all();
        return empty(204);
    }
    if (request.method == "POST")
        return postClip(route->room, request);
    if (request.method == "GET")
        return pollClips(route->room, request, lock);
    return empty(405);
}

Answer TestRelay::createRoom() {
    const std::string room = openRoomLocked();
    return jsonAnswer(200, {{"room", room}, {"token", rooms_[room].token}});
}

Answer TestRelay::postClip(const std::string& room, const RecordedRequest& request) {
    json envelope;
    try {
        envelope = json::parse(request.body);
        static_cast<void>(envelope.get<Envelope>());
    } catch (const json::exception&) {
        return empty(400);
    }
    Room& stored = rooms_.at(room);
    const std::int64_t seq = ++stored.sequence;
    stored.clips.emplace_back(seq, std::move(envelope));
    changed_.notify_all();
    return jsonAnswer(201, {{"seq", seq}});
}

Answer TestRelay::pollClips(const std::string& room, const RecordedRequest& request,
                            std::unique_lock<std::mutex>& lock) {
    // The clients' queries are checked by their own tests; here only the values count.
    const auto value = [&](const std::string& name) -> std::int64_t {
        const auto at = request.target.find(name + "=");
        return at == std::string::npos ? 0
                                       : std::atoll(request.target.c_str() + at + name.size() + 1);
    };
    const std::int64_t cursor = value("after");
    const auto deadline =
        Clock::now() +
        std::chrono::seconds(std::clamp<std::int64_t>(value("wait"), 0, kMaxWaitSeconds));
    while (true) {
        if (stopping_)
            return empty(503);
        const auto found = rooms_.find(room);
        if (found == rooms_.end())
            return empty(401);
        const Room& stored = found->second;
        if (cursor != stored.sequence || Clock::now() >= deadline) {
            json clips = json::array();
            for (const auto& [seq, envelope] : stored.clips) {
                if (seq > cursor)
                    clips.push_back({{"seq", seq}, {"envelope", envelope}});
            }
            return jsonAnswer(200,
                              {{"clips", clips}, {"cursor", stored.sequence}, {"reset", false}});
        }
        changed_.wait_until(lock, deadline);
    }
}

void TestRelay::send(const Answer& answer, httplib::Response& response) {
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers)
        response.set_header(name, value);
    if (!answer.streamedBytes) {
        if (!answer.body.empty() || (answer.status != 204 && answer.status != 304))
            response.set_content(answer.body, answer.contentType);
        return;
    }
    const std::size_t total = *answer.streamedBytes;
    const auto chunk = std::make_shared<const std::string>(kStreamChunk, 'x');
    if (answer.chunked) {
        response.set_chunked_content_provider(
            answer.contentType, [this, total, chunk](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= total) {
                    sink.done();
                    return true;
                }
                const std::size_t n = std::min(chunk->size(), total - offset);
                if (!sink.write(chunk->data(), n))
                    return false;
                streamed_ += n;
                return true;
            });
        return;
    }
    response.set_content_provider(
        total, answer.contentType,
        [this, chunk](std::size_t, std::size_t length, httplib::DataSink& sink) {
            const std::size_t n = std::min(chunk->size(), length);
            if (!sink.write(chunk->data(), n))
                return false;
            streamed_ += n;
            return true;
        });
}

} // namespace zephlink::test

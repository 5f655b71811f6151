#pragma once

// A clip relay for tests, on an ephemeral loopback port unless told otherwise: real rooms that
// honour the relay endpoints (create, post, poll with after & wait, read,
// revoke), scripted answers per method and path, and a record of every
// request it saw. Started in the constructor, stopped and joined in the
// destructor.
#include "records.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace zephlink::test {

struct RecordedRequest {
    std::string method;
    std::string path;   // without the query
    std::string target; // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    // Instead of body: stream this many bytes, with a Content-Length unless chunked.
    std::optional<std::size_t> streamedBytes;
    bool chunked = false;
    // Holds the answer back this long; cut short when the relay stops.
    std::chrono::milliseconds delay{0};
};

class TestRelay {
public:
    using Script = std::function<Answer(const RecordedRequest&)>;
    using Rewrite = std::function<void(const RecordedRequest&, Answer&)>;

    // The longest wait a poll may ask for.
    static constexpr int kMaxWaitSeconds = 20;

    // address and port to listen on; port 0 picks a free one.
    explicit TestRelay(const std::string& address = "127.0.0.1", int port = 0);
    ~TestRelay();
    TestRelay(const TestRelay&) = delete;
    TestRelay& operator=(const TestRelay&) = delete;

    int port() const { return port_; }
    // "http://ADDRESS:PORT", with 127.0.0.1 for the any-address.
    std::string url() const;

    // Answers method + path (query ignored) with the script instead of a room.
    void script(std::string method, std::string path, Answer answer);
    void script(std::string method, std::string path, Script script);
    // Lets a test alter every answer of the real rooms before it is sent.
    void rewrite(Rewrite rewrite);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    // Bytes of streamed answers actually handed to the socket so far.
    std::size_t streamedBytes() const;

    // A room made directly, with a fresh key the relay never uses.
    Group openRoom();
    // Stores an envelope as if it had been posted; returns its sequence number.
    std::int64_t addClip(const std::string& room, const Envelope& envelope);
    bool hasRoom(const std::string& room) const;
    bool wasRevoked(const std::string& room) const;

private:
    class Server;
    struct Room {
        std::string token;
        std::int64_t sequence = 0;
        std::vector<std::pair<std::int64_t, nlohmann::json>> clips;
    };

    void handle(const httplib::Request& request, httplib::Response& response);
    Answer roomAnswer(const RecordedRequest& request, std::unique_lock<std::mutex>& lock);
    Answer createRoom();
    Answer postClip(const std::string& room, const RecordedRequest& request);
    Answer pollClips(const std::string& room, const RecordedRequest& request,
                     std::unique_lock<std::mutex>& lock);
    void send(const Answer& answer, httplib::Response& response);
    std::string openRoomLocked();

    std::unique_ptr<Server> server_;
    std::thread thread_;
    std::string address_;
    int port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::pair<std::string, std::string>, Script> scripts_;
    Rewrite rewrite_;
    std::vector<RecordedRequest> requests_;
    std::map<std::string, Room> rooms_;
    std::set<std::string> revoked_;
    std::atomic<std::size_t> streamed_{0};
};

} // namespace zephlink::test

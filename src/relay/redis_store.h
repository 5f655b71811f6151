#pragma once

// Rooms in Redis, so that several relay processes serve the same rooms. One
// thread sends every command (pipelined), one holds the subscription that
// carries wake-ups between the processes; answering threads never block.
#include "room_store.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

struct redisContext;
struct redisReply;

namespace zephlink::relay {

struct RedisAddress {
    std::string host;
    int port = 6379;
    int db = 0;
    std::string password; // never from the command line
};

// redis://HOST[:PORT][/DB]; nullopt for anything else, a password included.
std::optional<RedisAddress> parseRedisUrl(std::string_view url);

class RedisStore final : public RoomStore {
public:
    using Log = std::function<void(const std::string&)>;

    RedisStore(RedisAddress address, RoomLimits limits, Log log);
    ~RedisStore() override;

    void setWake(Wake wake, Resync resync) override;
    void create(const std::string& room, const Digest& token,
                std::function<void(int)> done) override;
    void post(const std::string& room, const Digest& token, PreparedClip clip,
              std::function<void(PostOutcome)> done) override;
    void read(const std::string& room, const std::optional<Digest>& token, std::int64_t after,
              std::function<void(ReadOutcome)> done) override;
    void revoke(const std::string& room, const Digest& token,
                std::function<void(int)> done) override;
    void countRooms(std::function<void(std::optional<std::int64_t>)> done) override;
    bool healthy() const override { return subscribed_; }
    void stop() override;

    struct Script;

private:
    struct Job {
        std::vector<std::string> argv;
        const Script* script = nullptr; // sent as EVALSHA, again as EVAL if Redis lost it
        std::function<void(const redisReply*)> done; // nullptr: Redis could not be reached
        bool retried = false;
    };
    using Context = std::unique_ptr<redisContext, void (*)(redisContext*)>;

    void submit(const Script& script, std::vector<std::string> keys, std::vector<std::string> args,
                std::function<void(const redisReply*)> done);
    Context connect(bool commands);
    void commandLoop();
    // False when the connection failed; the jobs it did not answer are
    // moved to `unanswered`, in order.
    bool run(Context& context, std::vector<Job>& batch, std::deque<Job>& unanswered);
    void subscribeLoop();
    void sleep(std::chrono::milliseconds& backoff);
    void report(bool reachable, const std::string& what);

    const RedisAddress address_;
    const RoomLimits limits_;
    const Log log_;
    Wake wake_;
    Resync resync_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    bool reachable_ = true;              // as last reported
    redisContext* subscriber_ = nullptr; // to be shut down by stop()
    redisContext* commander_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::thread commands_;
    std::thread subscription_;
};

} // namespace zephlink::relay

#include "redis_store.h"

#include "encoding.h"
#include "url.h"

#include <charconv>
#include <hiredis/hiredis.h>
#include <openssl/sha.h>
#include <sys/socket.h>

namespace zephlink::relay {

namespace {

constexpr const char* kChannel = "zl:wake";
constexpr const char* kRooms = "zl:rooms"; // room → expiry time, for counting live rooms
constexpr std::size_t kBatch = 512;        // commands pipelined at once
constexpr auto kFirstBackoff = std::chrono::milliseconds(100);
constexpr auto kLastBackoff = std::chrono::milliseconds(2000);
constexpr timeval kCommandTimeout{5, 0};
constexpr timeval kConnectTimeout{2, 0};

// Shared by the scripts. Clips are stored as "SEQ STOREDAT CANONICAL" with
// consecutive sequence numbers, so a cursor is also a list index.
constexpr std::string_view kPrelude = R"LUA(
local function same(a, b)
  if #a ~= #b then return false end
  local d = 0
  for i = 1, #a do d = bit.bor(d, bit.bxor(string.byte(a, i), string.byte(b, i))) end
  return d == 0
end
local function now()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
local function prune(clips, oldest)
  while true do
    local first = redis.call('LINDEX', clips, 0)
    if not first or tonumber(string.match(first, '^%d+ (%d+) ')) >= oldest then return end
    redis.call('LPOP', clips)
  end
end
local function touch(idle, room, t)
  for i = 1, 4 do redis.call('EXPIRE', KEYS[i], idle) end
  redis.call('ZADD', KEYS[5], t + idle * 1000, room)
end
local function owner(token)
  local stored = redis.call('HGET', KEYS[1], 'token')
  return stored and (token == '' or same(stored, token))
end
)LUA";

// KEYS meta clips ids order rooms; ARGV token id digest canonical maxClips
// retentionMs idleS maxIds channel room.
constexpr std::string_view kPost = R"LUA(
if not owner(ARGV[1]) then return {401, 0} end
if ARGV[4] == '' then return {400, 0} end
local t = now()
local idle = tonumber(ARGV[7])
local known = redis.call('HGET', KEYS[3], ARGV[2])
if known then
  local seq, digest = string.match(known, '^(%d+) (%x+)$')
  return {digest == ARGV[3] and 200 or 409, tonumber(seq)}
end
local seq = redis.call('HINCRBY', KEYS[1], 'seq', 1)
redis.call('RPUSH', KEYS[2], seq .. ' ' .. t .. ' ' .. ARGV[4])
redis.call('LTRIM', KEYS[2], -tonumber(ARGV[5]), -1)
prune(KEYS[2], t - tonumber(ARGV[6]))
redis.call('HSET', KEYS[3], ARGV[2], seq .. ' ' .. ARGV[3])
if redis.call('RPUSH', KEYS[4], ARGV[2]) > tonumber(ARGV[8]) then
  redis.call('HDEL', KEYS[3], redis.call('LPOP', KEYS[4]))
end
touch(idle, ARGV[10], t)
redis.call('PUBLISH', ARGV[9], ARGV[10] .. ' ' .. seq)
return {201, seq}
)LUA";

// KEYS meta clips ids order rooms; ARGV token-or-empty after retentionMs
// idleS room. Answers {200, seq, oldest (0: none), clips}: every retained
// clip after the cursor, or all of them when the cursor is off the list.
constexpr std::string_view kRead = R"LUA(
if not owner(ARGV[1]) then return {401} end
local t = now()
prune(KEYS[2], t - tonumber(ARGV[3]))
local seq = tonumber(redis.call('HGET', KEYS[1], 'seq'))
local first = redis.call('LINDEX', KEYS[2], 0)
local clips = {}
local oldest = 0
if first then
  oldest = tonumber(string.match(first, '^(%d+) '))
  local after = tonumber(ARGV[2])
  local from = 0
  if after <= seq and after + 1 >= oldest then from = after + 1 - oldest end
  clips = redis.call('LRANGE', KEYS[2], from, -1)
end
-- Polls keep a room alive, but refresh it at most hourly.
local idle = tonumber(ARGV[4])
if redis.call('TTL', KEYS[1]) < idle - 3600 then touch(idle, ARGV[5], t) end
return {200, seq, oldest, clips}
)LUA";

// KEYS meta clips ids order rooms; ARGV token channel room.
constexpr std::string_view kRevoke = R"LUA(
if not owner(ARGV[1]) then return 401 end
redis.call('DEL', KEYS[1], KEYS[2], KEYS[3], KEYS[4])
redis.call('ZREM', KEYS[5], ARGV[3])
redis.call('PUBLISH', ARGV[2], ARGV[3] .. ' 0')
return 204
)LUA";

// KEYS meta clips ids order rooms; ARGV token idleS room.
constexpr std::string_view kCreate = R"LUA(
local stored = redis.call('HGET', KEYS[1], 'token')
if stored then return stored == ARGV[1] and 201 or 503 end
redis.call('HSET', KEYS[1], 'token', ARGV[1], 'seq', 0)
touch(tonumber(ARGV[2]), ARGV[3], now())
return 201
)LUA";

// KEYS rooms.
constexpr std::string_view kCount = R"LUA(
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now())
return redis.call('ZCARD', KEYS[1])
)LUA";

std::string hex(const Digest& digest) {
    return hexLower(digest);
}

std::vector<std::string> roomKeys(const std::string& room) {
    // One hash tag per room keeps a room's keys together on a Redis Cluster.
    const std::string base = "zl:{" + room + "}";
    return {base, base + ":clips", base + ":ids", base + ":order", kRooms};
}

bool isError(const redisReply* reply, std::string_view prefix) {
    return reply->type == REDIS_REPLY_ERROR &&
           std::string_view(reply->str, reply->len).starts_with(prefix);
}

// The status of a failed write: Redis out of memory, or unavailable.
int failure(const redisReply* reply) {
    return reply != nullptr && isError(reply, "OOM") ? 507 : 503;
}

std::optional<std::int64_t> integerAt(const redisReply* reply, std::size_t index) {
    if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements <= index ||
        reply->element[index]->type != REDIS_REPLY_INTEGER)
        return std::nullopt;
    return reply->element[index]->integer;
}

// "SEQ STOREDAT CANONICAL" as a clip ready to serve.
ClipPtr storedClip(std::string_view text) {
    const auto first = text.find(' ');
    const auto second = first == std::string_view::npos ? first : text.find(' ', first + 1);
    if (second == std::string_view::npos)
        return nullptr;
    std::int64_t seq = 0;
    if (std::from_chars(text.data(), text.data() + first, seq).ptr != text.data() + first)
        return nullptr;
    return std::make_shared<const StoredClip>(
        StoredClip{seq, clips::batchItem(seq, text.substr(second + 1))});
}

void freeContext(redisContext* context) {
    redisFree(context);
}

} // namespace

struct RedisStore::Script {
    std::string source;
    std::string sha;

    explicit Script(std::string_view body) : source(std::string(kPrelude) + std::string(body)) {
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(reinterpret_cast<const unsigned char*>(source.data()), source.size(), digest);
        sha = hexLower(digest);
    }
};

namespace {
struct Scripts {
    RedisStore::Script post{kPost}, read{kRead}, revoke{kRevoke}, create{kCreate}, count{kCount};
};
const Scripts& scripts() {
    static const Scripts made;
    return made;
}
} // namespace

std::optional<RedisAddress> parseRedisUrl(std::string_view url) {
    const auto parts = parseUrl(url);
    if (!parts || parts->scheme != "redis" || !parts->host || parts->host->empty() || parts->user ||
        parts->password || parts->query || parts->fragment)
        return std::nullopt;
    RedisAddress address;
    address.host = *parts->host;
    if (address.host.starts_with('['))
        address.host = address.host.substr(1, address.host.size() - 2);
    const auto number = [](std::string_view text, int& out, int maximum) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
        return error == std::errc() && end == text.data() + text.size() && out >= 0 &&
               out <= maximum;
    };
    if (parts->port && !parts->port->empty() && !number(*parts->port, address.port, 65535))
        return std::nullopt;
    std::string_view path = parts->path;
    if (path.starts_with('/'))
        path.remove_prefix(1);
    if (!path.empty() && !number(path, address.db, 1 << 20))
        return std::nullopt;
    return address;
}

RedisStore::RedisStore(RedisAddress address, RoomLimits limits, Log log)
    : address_(std::move(address)), limits_(limits), log_(std::move(log)) {}

RedisStore::~RedisStore() {
    stop();
}

void RedisStore::setWake(Wake wake, Resync resync) {
    wake_ = std::move(wake);
    resync_ = std::move(resync);
    commands_ = std::thread([this] { commandLoop(); });
    subscription_ = std::thread([this] { subscribeLoop(); });
}

void RedisStore::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        // Ends the blocking reads at once.
        for (redisContext* context : {subscriber_, commander_}) {
            if (context != nullptr)
                ::shutdown(context->fd, SHUT_RDWR);
        }
    }
    changed_.notify_all();
    if (commands_.joinable())
        commands_.join();
    if (subscription_.joinable())
        subscription_.join();
}

void RedisStore::report(bool reachable, const std::string& what) {
    std::lock_guard lock(mutex_);
    if (reachable == reachable_)
        return;
    reachable_ = reachable;
    log_(reachable ? "Redis at " + address_.host + ":" + std::to_string(address_.port) +
                         " is reachable again"
                   : "Redis at " + address_.host + ":" + std::to_string(address_.port) +
                         " is unavailable: " + what);
}

RedisStore::Context RedisStore::connect(bool commands) {
    Context context(redisConnectWithTimeout(address_.host.c_str(), address_.port, kConnectTimeout),
                    freeContext);
    if (!context || context->err) {
        report(false, context ? context->errstr : "out of memory");
        return {nullptr, freeContext};
    }
    // Commands time out; the subscription waits for as long as it takes.
    redisSetTimeout(context.get(), commands ? kCommandTimeout : timeval{0, 0});
    redisEnableKeepAlive(context.get());
    const auto ok = [&](std::vector<std::string> argv) {
        std::vector<const char*> pointers;
        std::vector<std::size_t> sizes;
        for (const auto& item : argv) {
            pointers.push_back(item.c_str());
            sizes.push_back(item.size());
        }
        auto* reply = static_cast<redisReply*>(redisCommandArgv(
            context.get(), static_cast<int>(argv.size()), pointers.data(), sizes.data()));
        const bool good = reply != nullptr && reply->type != REDIS_REPLY_ERROR;
        if (reply != nullptr && !good)
            report(false, std::string(reply->str, reply->len));
        else if (reply == nullptr)
            report(false, context->errstr);
        freeReplyObject(reply);
        return good;
    };
    if ((!address_.password.empty() && !ok({"AUTH", address_.password})) ||
        (address_.db != 0 && !ok({"SELECT", std::to_string(address_.db)})))
        return {nullptr, freeContext};
    return context;
}

void RedisStore::sleep(std::chrono::milliseconds& backoff) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, backoff, [this] { return stopping_; });
    backoff = std::min(backoff * 2, kLastBackoff);
}

void RedisStore::submit(const Script& script, std::vector<std::string> keys,
                        std::vector<std::string> args,
                        std::function<void(const redisReply*)> done) {
    Job job;
    job.argv.reserve(3 + keys.size() + args.size());
    job.argv = {"EVALSHA", script.sha, std::to_string(keys.size())};
    std::move(keys.begin(), keys.end(), std::back_inserter(job.argv));
    std::move(args.begin(), args.end(), std::back_inserter(job.argv));
    job.script = &script;
    job.done = std::move(done);
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            changed_.notify_all();
            return;
        }
    }
    job.done(nullptr);
}

void RedisStore::commandLoop() {
    Context context(nullptr, freeContext);
    auto backoff = kFirstBackoff;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!context) {
            lock.unlock();
            context = connect(true);
            if (!context) {
                // Nobody waits on a Redis that is down: refuse at once.
                std::deque<Job> failed;
                lock.lock();
                failed.swap(jobs_);
                lock.unlock();
                for (Job& job : failed)
                    job.done(nullptr);
                sleep(backoff);
                lock.lock();
                continue;
            }
            backoff = kFirstBackoff;
            lock.lock();
            commander_ = context.get();
        }
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_)
            break;
        std::vector<Job> batch;
        while (!jobs_.empty() && batch.size() < kBatch) {
            batch.push_back(std::move(jobs_.front()));
            jobs_.pop_front();
        }
        lock.unlock();
        std::deque<Job> unanswered;
        if (!run(context, batch, unanswered)) {
            // Once more on a new connection: a Redis that restarted has
            // dropped the old one. Posts are safe to repeat (the clip id is
            // known), and so is everything else.
            for (auto job = unanswered.rbegin(); job != unanswered.rend(); ++job) {
                if (job->retried) {
                    job->done(nullptr);
                    continue;
                }
                job->retried = true;
                lock.lock();
                jobs_.push_front(std::move(*job));
                lock.unlock();
            }
            lock.lock();
            commander_ = nullptr;
            context.reset();
        } else {
            lock.lock();
        }
    }
    commander_ = nullptr;
    std::deque<Job> failed;
    failed.swap(jobs_);
    lock.unlock();
    for (Job& job : failed)
        job.done(nullptr);
}

bool RedisStore::run(Context& context, std::vector<Job>& batch, std::deque<Job>& unanswered) {
    const auto send = [&](const Job& job) {
        std::vector<const char*> pointers;
        std::vector<std::size_t> sizes;
        for (const auto& item : job.argv) {
            pointers.push_back(item.data());
            sizes.push_back(item.size());
        }
        redisAppendCommandArgv(context.get(), static_cast<int>(pointers.size()), pointers.data(),
                               sizes.data());
    };
    const auto receive = [&](Job& job, bool lostScriptAgain) -> std::optional<bool> {
        void* raw = nullptr;
        if (redisGetReply(context.get(), &raw) != REDIS_OK)
            return std::nullopt;
        auto* reply = static_cast<redisReply*>(raw);
        const bool lost = !lostScriptAgain && isError(reply, "NOSCRIPT");
        if (!lost)
            job.done(reply);
        freeReplyObject(reply);
        return lost;
    };
    for (const Job& job : batch)
        send(job);
    std::vector<Job*> lost; // scripts Redis no longer has (it restarted, or was flushed)
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto outcome = receive(batch[i], false);
        if (!outcome) {
            report(false, context->errstr);
            std::move(batch.begin() + static_cast<std::ptrdiff_t>(i), batch.end(),
                      std::back_inserter(unanswered));
            for (Job* job : lost)
                unanswered.push_back(std::move(*job));
            return false;
        }
        if (*outcome)
            lost.push_back(&batch[i]);
    }
    report(true, {});
    for (Job* job : lost) {
        job->argv[0] = "EVAL";
        job->argv[1] = job->script->source;
        send(*job);
    }
    for (std::size_t i = 0; i < lost.size(); ++i) {
        if (!receive(*lost[i], true)) {
            for (std::size_t j = i; j < lost.size(); ++j)
                unanswered.push_back(std::move(*lost[j]));
            return false;
        }
    }
    return true;
}

void RedisStore::subscribeLoop() {
    auto backoff = kFirstBackoff;
    while (true) {
        Context context = connect(false);
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            subscriber_ = context.get();
        }
        redisReply* reply = nullptr;
        if (context)
            reply = static_cast<redisReply*>(redisCommand(context.get(), "SUBSCRIBE %s", kChannel));
        if (reply != nullptr) {
            freeReplyObject(reply);
            subscribed_ = true;
            backoff = kFirstBackoff;
            resync_(); // whatever was posted while nobody listened
            void* raw = nullptr;
            while (redisGetReply(context.get(), &raw) == REDIS_OK) {
                reply = static_cast<redisReply*>(raw);
                if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 &&
                    reply->element[2]->type == REDIS_REPLY_STRING) {
                    const std::string_view text(reply->element[2]->str, reply->element[2]->len);
                    const auto space = text.find(' ');
                    std::int64_t seq = -1;
                    if (space != std::string_view::npos)
                        std::from_chars(text.data() + space + 1, text.data() + text.size(), seq);
                    if (space != std::string_view::npos && seq >= 0)
                        wake_(std::string(text.substr(0, space)), seq);
                }
                freeReplyObject(reply);
            }
            subscribed_ = false;
        }
        {
            std::lock_guard lock(mutex_);
            subscriber_ = nullptr;
            if (stopping_)
                return;
        }
        if (context)
            report(false, context->errstr);
        sleep(backoff);
    }
}

void RedisStore::create(const std::string& room, const Digest& token,
                        std::function<void(int)> done) {
    submit(scripts().create, roomKeys(room),
           {hex(token), std::to_string(limits_.idleSeconds), room},
           [done = std::move(done)](const redisReply* reply) {
               done(reply != nullptr && reply->type == REDIS_REPLY_INTEGER
                        ? static_cast<int>(reply->integer)
                        : failure(reply));
           });
}

void RedisStore::post(const std::string& room, const Digest& token, PreparedClip clip,
                      std::function<void(PostOutcome)> done) {
    submit(scripts().post, roomKeys(room),
           {hex(token), clip.id, hex(clip.digest), std::move(clip.canonical),
            std::to_string(limits_.maxClips), std::to_string(limits_.retentionMs),
            std::to_string(limits_.idleSeconds), std::to_string(clips::kMaxClipIds), kChannel,
            room},
           [done = std::move(done)](const redisReply* reply) {
               const auto status = integerAt(reply, 0);
               const auto seq = integerAt(reply, 1);
               if (status && seq)
                   done({static_cast<int>(*status), *seq});
               else
                   done({failure(reply), 0});
           });
}

void RedisStore::read(const std::string& room, const std::optional<Digest>& token,
                      std::int64_t after, std::function<void(ReadOutcome)> done) {
    submit(scripts().read, roomKeys(room),
           {token ? hex(*token) : std::string(), std::to_string(after),
            std::to_string(limits_.retentionMs), std::to_string(limits_.idleSeconds), room},
           [done = std::move(done)](const redisReply* reply) {
               ReadOutcome outcome;
               const auto status = integerAt(reply, 0);
               if (status && *status != 200) {
                   outcome.status = static_cast<int>(*status);
                   done(std::move(outcome));
                   return;
               }
               const auto seq = integerAt(reply, 1);
               const auto oldest = integerAt(reply, 2);
               if (!status || !seq || !oldest || reply->elements != 4 ||
                   reply->element[3]->type != REDIS_REPLY_ARRAY) {
                   outcome.status = 503;
                   done(std::move(outcome));
                   return;
               }
               Snapshot& snapshot = outcome.snapshot;
               snapshot.sequence = *seq;
               if (*oldest > 0)
                   snapshot.oldest = *oldest;
               const redisReply* list = reply->element[3];
               for (std::size_t i = 0; i < list->elements; ++i) {
                   const redisReply* item = list->element[i];
                   ClipPtr clip = item->type == REDIS_REPLY_STRING
                                      ? storedClip(std::string_view(item->str, item->len))
                                      : nullptr;
                   if (!clip) {
                       outcome.status = 503;
                       snapshot = {};
                       break;
                   }
                   snapshot.clips.push_back(std::move(clip));
               }
               done(std::move(outcome));
           });
}

void RedisStore::revoke(const std::string& room, const Digest& token,
                        std::function<void(int)> done) {
    submit(scripts().revoke, roomKeys(room), {hex(token), kChannel, room},
           [done = std::move(done)](const redisReply* reply) {
               done(reply != nullptr && reply->type == REDIS_REPLY_INTEGER
                        ? static_cast<int>(reply->integer)
                        : failure(reply));
           });
}

void RedisStore::countRooms(std::function<void(std::optional<std::int64_t>)> done) {
    submit(scripts().count, {kRooms}, {}, [done = std::move(done)](const redisReply* reply) {
        if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER)
            done(reply->integer);
        else
            done(std::nullopt);
    });
}

} // namespace zephlink::relay

// zephlink-relay: a clip relay for Zephlink rooms, in memory or on Redis.
#include "memory_store.h"
#include "options.h"
#include "redis_store.h"
#include "server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

using namespace zephlink::relay;

namespace {

constexpr const char* kPasswordVariable = "ZEPHLINK_RELAY_REDIS_PASSWORD";

void say(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << "zephlink-relay: " << line << std::endl;
}

std::unique_ptr<RoomStore> makeStore(const Options& options, std::string& where) {
    if (!options.redis) {
        where = "rooms in memory";
        return std::make_unique<MemoryStore>(options.rooms, options.maxRooms,
                                             options.maxStoredMiB << 20);
    }
    auto address = parseRedisUrl(*options.redis);
    if (!address)
        return nullptr;
    // The password stays off the command line, where every user could read it.
    if (const char* password = std::getenv(kPasswordVariable)) {
        address->password = password;
        unsetenv(kPasswordVariable);
    }
    where = "rooms on Redis at " + address->host + ":" + std::to_string(address->port);
    return std::make_unique<RedisStore>(*address, options.rooms, say);
}

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* help = std::get_if<Help>(&parsed)) {
        std::cout << help->text;
        return 0;
    }
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        say(*error);
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    std::signal(SIGPIPE, SIG_IGN); // hiredis writes to sockets without MSG_NOSIGNAL

    std::string where;
    const auto store = makeStore(options, where);
    if (!store) {
        say("--redis takes redis://HOST[:PORT][/DB]; the password goes in " +
            std::string(kPasswordVariable));
        return 2;
    }
    auto io = std::make_unique<boost::asio::io_context>(static_cast<int>(options.threads));
    auto server = std::make_unique<Server>(*io, options, *store, say);
    try {
        server->start();
    } catch (const boost::system::system_error& error) {
        say(std::string("cannot listen: ") + error.what());
        return 1;
    }
    std::string line = "listening on " + server->endpoint().address().to_string() + ":" +
                       std::to_string(server->endpoint().port());
    if (const auto metrics = server->metricsEndpoint())
        line += ", metrics on " + metrics->address().to_string() + ":" +
                std::to_string(metrics->port());
    say(line + ", " + where);

    {
        boost::asio::signal_set signals(*io, SIGTERM, SIGINT);
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (ec)
                return;
            say("stopping");
            server->stop([&] {
                store->stop();
                io->stop();
            });
        });
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < options.threads; ++i)
            threads.emplace_back([&] { io->run(); });
        io->run();
        for (auto& thread : threads)
            thread.join();
    }
    // Every I/O object before its io_context, which ends the connections
    // left; the store outlives them all.
    server.reset();
    io.reset();
    return 0;
}

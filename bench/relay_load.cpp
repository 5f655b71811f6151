// Load for bench/relay_bench.sh: many held polls on loopback, and the time
// from a post to each held poll's answer. One thread, C++20 coroutines.
//
//   relay_load idle PORT METRICS_PORT RELAY_PID POLLS
//   relay_load wake POLL_PORT POST_PORT METRICS_PORT WAITERS ROUNDS
#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using asio::awaitable;
using asio::use_awaitable;

namespace {

constexpr auto kSettle = std::chrono::seconds(60); // longest wait for polls to be held

struct Room {
    std::string room;
    std::string token;
};

tcp::endpoint at(unsigned short port) {
    return {asio::ip::make_address("127.0.0.1"), port};
}

std::string request(const std::string& method, const std::string& target,
                    const std::string& token = {}, const std::string& body = {}) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.empty())
        text += "Authorization: Bearer " + token + "\r\n";
    text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
    return text;
}

// One keep-alive connection that sends a request and reads its answer.
struct Client {
    explicit Client(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    boost::beast::flat_buffer buffer;

    awaitable<http::response<http::string_body>> exchange(const std::string& text) {
        co_await asio::async_write(socket, asio::buffer(text), use_awaitable);
        http::response<http::string_body> answer;
        co_await http::async_read(socket, buffer, answer, use_awaitable);
        co_return answer;
    }
};

awaitable<std::unique_ptr<Client>> connect(asio::io_context& io, unsigned short port) {
    auto client = std::make_unique<Client>(io);
    co_await client->socket.async_connect(at(port), use_awaitable);
    client->socket.set_option(tcp::no_delay(true));
    co_return client;
}

std::string envelope() {
    static std::uint64_t counter = 0;
    char id[33];
    std::snprintf(id, sizeof id, "%016llx%016llx",
                  static_cast<unsigned long long>(Clock::now().time_since_epoch().count()),
                  static_cast<unsigned long long>(++counter));
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return nlohmann::json{{"v", 1},
                          {"id", id},
                          {"origin", std::string(32, 'a')},
                          {"createdAt", now},
                          {"nonce", "AAAAAAAAAAAAAAAA"},
                          {"ciphertext", std::string(64, 'A')}}
        .dump();
}

awaitable<Room> create(asio::io_context& io, unsigned short port) {
    auto client = co_await connect(io, port);
    const auto answer = co_await client->exchange(request("POST", "/v1/rooms", {}, "{}"));
    const auto body = nlohmann::json::parse(answer.body());
    co_return Room{body["room"], body["token"]};
}

awaitable<long> heldPolls(asio::io_context& io, unsigned short metricsPort) {
    auto client = co_await connect(io, metricsPort);
    const auto answer = co_await client->exchange(request("GET", "/metrics"));
    const std::string& text = answer.body();
    const std::string name = "\nzephlink_relay_held_polls ";
    const auto found = text.find(name);
    co_return found == std::string::npos ? -1 : std::stol(text.substr(found + name.size()));
}

awaitable<void> sleep(asio::io_context& io, std::chrono::milliseconds time) {
    asio::steady_timer timer(io, time);
    co_await timer.async_wait(use_awaitable);
}

awaitable<void> awaitHeld(asio::io_context& io, unsigned short metricsPort, long count) {
    const auto deadline = Clock::now() + kSettle;
    while (co_await heldPolls(io, metricsPort) < count) {
        if (Clock::now() > deadline)
            throw std::runtime_error("the relay did not hold every poll");
        co_await sleep(io, std::chrono::milliseconds(5));
    }
}

long residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    }
    throw std::runtime_error("no such process");
}

std::string summary(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto pick = [&](double q) {
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    };
    char text[160];
    std::snprintf(text, sizeof text, "p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples)",
                  pick(0.5), pick(0.99), ms.back(), ms.size());
    return text;
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Holds a poll at the cursor until the bench is over, again whenever it ends.
awaitable<void> holdForever(Client& client, Room room, bool& over) {
    const std::string poll =
        request("GET", "/v1/rooms/" + room.room + "/clips?after=0&wait=20", room.token);
    try {
        while (!over)
            co_await client.exchange(poll);
    } catch (const std::exception&) {
    }
}

awaitable<void> idle(asio::io_context& io, unsigned short port, unsigned short metricsPort, int pid,
                     int polls) {
    const Room room = co_await create(io, port);
    const Room other = co_await create(io, port);
    auto poster = co_await connect(io, port);
    for (int i = 0; i < 100; ++i) // warm the relay's allocator and caches
        co_await poster->exchange(
            request("POST", "/v1/rooms/" + other.room + "/clips", other.token, envelope()));
    const long before = residentKiB(pid);
    bool over = false;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < polls; ++i) {
        clients.push_back(co_await connect(io, port));
        asio::co_spawn(io, holdForever(*clients.back(), room, over), asio::detached);
    }
    co_await awaitHeld(io, metricsPort, polls);
    co_await sleep(io, std::chrono::milliseconds(500));
    const long after = residentKiB(pid);
    std::printf("held polls: %d; relay resident memory %.1f MiB -> %.1f MiB; %.2f KiB per held "
                "poll\n",
                polls, static_cast<double>(before) / 1024, static_cast<double>(after) / 1024,
                static_cast<double>(after - before) / polls);
    std::vector<double> ms;
    for (int i = 0; i < 500; ++i) {
        const auto start = Clock::now();
        const auto answer = co_await poster->exchange(
            request("POST", "/v1/rooms/" + other.room + "/clips", other.token, envelope()));
        if (answer.result_int() != 201)
            throw std::runtime_error("post refused: " + std::to_string(answer.result_int()));
        ms.push_back(since(start));
        co_await sleep(io, std::chrono::milliseconds(2));
    }
    std::printf("post answered while they are held: %s\n", summary(ms).c_str());
    over = true;
    for (auto& client : clients)
        client->socket.close();
    co_await sleep(io, std::chrono::milliseconds(200));
}

awaitable<void> wake(asio::io_context& io, unsigned short pollPort, unsigned short postPort,
                     unsigned short metricsPort, int waiters, int rounds) {
    const Room room = co_await create(io, postPort);
    auto poster = co_await connect(io, postPort);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < waiters; ++i)
        clients.push_back(co_await connect(io, pollPort));
    std::vector<double> all;
    std::vector<double> last;
    for (int round = 0; round < rounds; ++round) {
        int answered = 0;
        Clock::time_point posted;
        std::vector<double> ms;
        const std::string poll = request(
            "GET", "/v1/rooms/" + room.room + "/clips?after=" + std::to_string(round) + "&wait=20",
            room.token);
        for (auto& client : clients) {
            asio::co_spawn(
                io,
                [&, c = client.get()]() -> awaitable<void> {
                    const auto answer = co_await c->exchange(poll);
                    if (answer.body().find("\"seq\":" + std::to_string(round + 1)) ==
                        std::string::npos)
                        throw std::runtime_error("a poll was answered without the clip");
                    ms.push_back(since(posted));
                    ++answered;
                },
                asio::detached);
        }
        co_await awaitHeld(io, metricsPort, waiters);
        posted = Clock::now();
        co_await poster->exchange(
            request("POST", "/v1/rooms/" + room.room + "/clips", room.token, envelope()));
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (answered < waiters && Clock::now() < deadline)
            co_await sleep(io, std::chrono::milliseconds(1));
        if (answered < waiters)
            throw std::runtime_error("not every waiter was woken");
        all.insert(all.end(), ms.begin(), ms.end());
        last.push_back(*std::max_element(ms.begin(), ms.end()));
    }
    std::printf("%d waiters, %d posts: post to answer %s; last waiter of each post %s\n", waiters,
                rounds, summary(all).c_str(), summary(last).c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto port = [&](std::size_t i) {
        return static_cast<unsigned short>(std::stoi(args.at(i)));
    };
    asio::io_context io(1);
    int status = 0;
    const auto run = [&](awaitable<void> work) {
        asio::co_spawn(io, std::move(work), [&](std::exception_ptr error) {
            if (error) {
                try {
                    std::rethrow_exception(error);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "relay_load: %s\n", e.what());
                }
                status = 1;
            }
            io.stop();
        });
        io.run();
    };
    if (args.size() == 5 && args[0] == "idle")
        run(idle(io, port(1), port(2), std::stoi(args[3]), std::stoi(args[4])));
    else if (args.size() == 6 && args[0] == "wake")
        run(wake(io, port(1), port(2), port(3), std::stoi(args[4]), std::stoi(args[5])));
    else {
        std::fprintf(stderr, "usage: relay_load idle PORT METRICS_PORT RELAY_PID POLLS\n"
                             "       relay_load wake POLL_PORT POST_PORT METRICS_PORT WAITERS "
                             "ROUNDS\n");
        return 2;
    }
    return status;
}

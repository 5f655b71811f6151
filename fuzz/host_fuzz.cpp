// Drives whole requests through a nearby host held in memory, as its
// connections do once a request is read: admission and the rate limit,
// routing and the bearer check, sessions, posts and polls, with the stores'
// pruning and bounds. No sockets. The input is a series of requests
// separated by NUL bytes. In each, the first byte picks the peer and moves
// the wall clock on; "{room}" and "{token}" stand for the host's own.
#include "answer.h"
#include "clip_store.h"
#include "http_request.h"
#include "local_host.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

using namespace zephlink;

namespace {

constexpr std::int64_t kStart = 1'800'000'000'000;
// Up to 63 steps: enough to outlive devices (20 s), rate windows (60 s) and
// frames (900 s).
constexpr std::int64_t kClockStepMs = 15'000;
constexpr const char* kPeers[] = {"127.0.0.1", "10.0.0.2", "192.168.1.9", "172.16.0.5"};

void replaceAll(std::string& text, std::string_view placeholder, const std::string& value) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t now = kStart;
    const auto host = LocalHost::create(std::string(32, 'a'), "Fuzzed host",
                                        LocalHost::Options{[&now] { return now; }});
    const std::string clipsQuery = "/v1/rooms/" + host->group().room + "/clips?";
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t end = std::min(input.find('\0'), input.size());
        std::string bytes(input.substr(0, end));
        input.remove_prefix(std::min(end + 1, input.size()));
        if (bytes.empty())
            continue;
        // Never 0, which separates requests: 1 is peer 0 with the clock as it is.
        const auto control = static_cast<std::uint8_t>(bytes.front() - 1);
        bytes.erase(0, 1);
        now += (control >> 2) * kClockStepMs;
        replaceAll(bytes, "{room}", host->group().room);
        replaceAll(bytes, "{token}", host->group().token);

        std::string_view unread = bytes;
        const ByteSource source = [&](std::span<char> into) -> ssize_t {
            const std::size_t n = std::min(into.size(), unread.size());
            std::copy_n(unread.data(), n, into.data());
            unread.remove_prefix(n);
            return static_cast<ssize_t>(n);
        };
        const auto started = std::chrono::steady_clock::now();
        ReadResult read = readRequest(source, [started] { return started; });
        auto* request = std::get_if<HttpRequest>(&read);
        if (request == nullptr)
            continue;
        // Nothing would wake a waiting poll here: ask the same without waiting.
        if (request->method == "GET" && request->target.starts_with(clipsQuery)) {
            if (const auto query = clips::parsePollQuery(request->target); query && query->wait > 0)
                request->target = clipsQuery + "after=" + std::to_string(query->after);
        }
        const Answer answer = host->answer(*request, kPeers[control & 3]);
        std::string body;
        for (const SharedBytes& piece : answer.body)
            body += *piece;
        // However an answer was pieced together, its body is one JSON value.
        if (!body.empty() && !nlohmann::json::accept(body))
            __builtin_trap();
    }
    return 0;
}

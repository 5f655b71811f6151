// Whole requests through a nearby host held in memory, no sockets: requests
// separated by NUL bytes; in each, the first byte picks the peer and moves
// the wall clock on, and "{room}" and "{token}" stand for the host's own.
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // 63 steps of 15 s outlive devices (20 s), rate windows (60 s) and frames (900 s).
    std::int64_t now = 1'800'000'000'000;
    constexpr const char* peers[] = {"127.0.0.1", "10.0.0.2", "192.168.1.9", "172.16.0.5"};
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
        const auto control = static_cast<std::uint8_t>(bytes.front() - 1);
        bytes.erase(0, 1);
        now += (control >> 2) * 15'000;
        for (const auto& [placeholder, value] :
             {std::pair<std::string_view, std::string>{"{room}", host->group().room},
              {"{token}", host->group().token}}) {
            for (auto at = bytes.find(placeholder); at != std::string::npos;
                 at = bytes.find(placeholder, at + value.size()))
                bytes.replace(at, placeholder.size(), value);
        }
        std::string_view unread = bytes;
        const auto started = std::chrono::steady_clock::now();
        ReadResult read = readRequest(
            [&](std::span<char> into) -> ssize_t {
                const std::size_t n = std::min(into.size(), unread.size());
                std::copy_n(unread.data(), n, into.data());
                unread.remove_prefix(n);
                return static_cast<ssize_t>(n);
            },
            [started] { return started; });
        auto* request = std::get_if<HttpRequest>(&read);
        if (request == nullptr)
            continue;
        // Nothing would wake a waiting poll here: ask the same without waiting.
        if (request->method == "GET" && request->target.starts_with(clipsQuery)) {
            if (const auto query = clips::parsePollQuery(request->target); query && query->wait > 0)
                request->target = clipsQuery + "after=" + std::to_string(query->after);
        }
        std::string body;
        for (const SharedBytes& piece : host->answer(*request, peers[control & 3]).body)
            body += *piece;
        if (!body.empty() && !nlohmann::json::accept(body))
            __builtin_trap();
    }
    return 0;
}

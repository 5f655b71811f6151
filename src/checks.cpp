#include "checks.h"

#include "aes_gcm.h"
#include "api.h"
#include "clip.h"
#include "encoding.h"
#include "errors.h"
#include "local_host.h"
#include "records.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zephlink::checks {
namespace {

int line(std::string_view text, int status) {
    std::cout << text << '\n' << std::flush;
    return status;
}

// The texts each platform seals for the interop exchange; this desktop sends the first.
constexpr std::string_view kInteropTexts[] = {
    "macOS → Zephlink 🔐",
    "Windows → Zephlink 🔐",
    "Android → Zephlink 🔐",
};
constexpr std::string_view kRelayCheckText = "Mac CryptoKit live relay verification";
constexpr std::string_view kRoundtripMismatch = "Roundtrip mismatch";

std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("Cannot read " + path);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

} // namespace

int cryptoCheck(const std::string& fixturePath) {
    constexpr const char* pass = "PASS: macOS CryptoKit shared fixture and metadata authentication";
    constexpr const char* fail = "Crypto verification failed";
    try {
        std::ifstream file(fixturePath, std::ios::binary);
        if (!file)
            return line(fail, 1);
        std::stringstream contents;
        contents << file.rdbuf();
        const auto fixture = nlohmann::json::parse(contents.str());

        // The server is never contacted; the token plays no part in opening.
        Group group;
        group.server = "http://127.0.0.1:8787";
        group.room = json_member::string(fixture, "room");
        group.key = json_member::string(fixture, "key");
        const auto envelope = json_member::required(fixture, "envelope").get<Envelope>();
        const std::string expected = json_member::string(fixture, "text");

        if (openClip(envelope, group) != expected)
            return line(fail, 1);

        Envelope altered = envelope;
        altered.origin = std::string(32, 'f');
        try {
            openClip(altered, group);
        } catch (const AuthenticationError&) {
            return line(pass, 0);
        } catch (...) {
        }
        return line(fail, 1);
    } catch (...) {
        return line(fail, 1);
    }
}

int interopCheck(const std::vector<std::string>& arguments) {
    constexpr std::string_view fail = "macOS interop failed";
    try {
        if (arguments.size() < 4)
            return line(fail, 1);
        const auto stored = nlohmann::json::parse(readWholeFile(arguments[2])).get<Group>();
        const Group group = Group::make(stored.server, stored.room, stored.token, stored.key);
        const std::string& operation = arguments[3];

        if (operation == "send") {
            API::postClip(group, seal(kInteropTexts[0], group, identifier()));
        } else {
            const auto batch = nlohmann::json::parse(API::readFromStart(group)).get<Batch>();
            std::set<std::string> opened;
            for (const Batch::Item& item : batch.clips)
                opened.insert(openClip(item.envelope, group));
            const std::set<std::string> expected(std::begin(kInteropTexts),
                                                 std::end(kInteropTexts));
            if (opened != expected)
                return line(fail, 1);
        }
        return line("PASS: macOS interop " + operation, 0);
    } catch (...) {
        return line(fail, 1);
    }
}

int relayCheck(const std::string& address) {
    const std::string fail = "Relay verification failed: ";
    try {
        const Group group = API::create(address);
        API::postClip(group, seal(kRelayCheckText, group, identifier()));
        const auto batch = nlohmann::json::parse(API::readFromStart(group)).get<Batch>();
        if (batch.clips.size() != 1 ||
            openClip(batch.clips.front().envelope, group) != kRelayCheckText)
            throw DazarError(std::string(kRoundtripMismatch));
        API::revokeRoom(group);
        return line("PASS: macOS create, encrypted send, receive, decrypt and revoke against relay",
                    0);
    } catch (const std::exception& error) {
        return line(fail + error.what(), 1);
    } catch (...) {
        return line(fail + "Unknown error", 1);
    }
}

double hostCheckSeconds(const std::vector<std::string>& arguments) {
    constexpr double fallback = 30;
    // Far beyond any run; keeps the conversion to a duration in range.
    constexpr double longest = 1e9;
    if (arguments.empty())
        return fallback;
    const std::string& text = arguments.back();
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())))
        return fallback;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || std::isnan(seconds))
        return fallback;
    return std::clamp(seconds, 0.0, longest);
}

int localHostCheck(const std::vector<std::string>& arguments) {
    constexpr const char* ready = "READY: native local host on 8788/8789";
    constexpr const char* fail = "Native local host unavailable";
    // Threads of a stopped host end within about a second (a connection
    // that is still answering, the responder's half-second receive).
    constexpr auto threadsGrace = std::chrono::seconds(2);
    std::shared_ptr<LocalHost> host;
    try {
        host = LocalHost::create(identifier(), "Zephlink transport verification");
    } catch (...) {
        return line(fail, 1);
    }
    if (!host->start())
        return line(fail, 1);
    line(ready, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(hostCheckSeconds(arguments)));
    host->stop();
    host->waitUntilFinished(threadsGrace);
    return 0;
}

} // namespace zephlink::checks

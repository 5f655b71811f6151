#pragma once

#include "clip.h"
#include "envelopes.h"
#include "local_host.h"
#include "raw_http.h"

#include <atomic>
#include <gtest/gtest.h>

namespace zephlink::test {

using namespace std::chrono_literals;

inline const std::string kHealth = "GET /health HTTP/1.1\r\n\r\n";

// A started host on the fixed ports (inside the test's own namespace) whose
// wall clock stands still until the test moves it; always stopped and joined.
class HostTest : public ::testing::Test {
protected:
    std::shared_ptr<std::atomic<std::int64_t>> clock =
        std::make_shared<std::atomic<std::int64_t>>(nowMilliseconds());
    std::shared_ptr<LocalHost> host;

    void SetUp() override {
        host = LocalHost::create(identifier(), "Test host",
                                 LocalHost::Options{[c = clock] { return c->load(); }});
        ASSERT_TRUE(host->start());
    }
    void TearDown() override {
        if (!host)
            return;
        host->stop();
        EXPECT_TRUE(host->waitUntilFinished(5s));
    }

    void advance(std::chrono::milliseconds by) { *clock += by.count(); }
    std::string clipsPath() const { return "/v1/rooms/" + host->group().room + "/clips"; }
    std::pair<std::string, std::string> bearer() const {
        return {"Authorization", "Bearer " + host->group().token};
    }
    RawResponse postClip(const Envelope& envelope, const char* source = nullptr) {
        return transact(httpRequest("POST", clipsPath(), {bearer()}, body(envelope)), source);
    }
    RawResponse pollClips(const std::string& query) {
        return transact(httpRequest("GET", clipsPath() + query, {bearer()}), nullptr, 30s);
    }
    RawResponse askSession(const nlohmann::json& device) {
        return transact(httpRequest("POST", "/v1/local-session", {}, device.dump()));
    }
    Envelope fresh() const { return envelopeAt(clock->load()); }
};

inline nlohmann::json nearbyDevice(const std::string& id = identifier(),
                                   const std::string& name = "Phone") {
    return {{"device", id}, {"name", name}, {"platform", "android"}};
}

} // namespace zephlink::test

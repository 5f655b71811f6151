#pragma once

#include "clip.h"
#include "encoding.h"
#include "envelopes.h"
#include "local_host.h"
#include "raw_http.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace zephlink::test {

using namespace std::chrono_literals;

// Starts a host on the fixed ports (inside the test's own namespace) with a
// clock the test can move forward; always stops it and waits for its threads.
class HostTest : public ::testing::Test {
protected:
    std::shared_ptr<std::atomic<std::int64_t>> offset =
        std::make_shared<std::atomic<std::int64_t>>(0);
    std::shared_ptr<LocalHost> host;

    void SetUp() override {
        host = LocalHost::create(identifier(), "Test host", LocalHost::Options{clock()});
        ASSERT_TRUE(host->start());
    }

    void TearDown() override {
        if (!host)
            return;
        host->stop();
        EXPECT_TRUE(host->waitUntilFinished(5s));
    }

    WallClock clock() const {
        return [offset = offset] { return nowMilliseconds() + offset->load(); };
    }
    std::int64_t now() const { return clock()(); }
    void advance(std::chrono::milliseconds by) { *offset += by.count(); }

    std::string clipsPath() const { return "/v1/rooms/" + host->group().room + "/clips"; }
    std::pair<std::string, std::string> bearer() const {
        return {"Authorization", "Bearer " + host->group().token};
    }

    RawResponse postClip(const Envelope& envelope, const char* source = nullptr) {
        return transact(httpRequest("POST", clipsPath(), {bearer()}, body(envelope)), source);
    }
    RawResponse pollClips(const std::string& query, const char* source = nullptr) {
        return transact(httpRequest("GET", clipsPath() + query, {bearer()}), source, 30s);
    }
    RawResponse askSession(const nlohmann::json& device, const char* source = nullptr) {
        return transact(httpRequest("POST", "/v1/local-session", {}, device.dump()), source);
    }
    Envelope fresh() const { return envelopeAt(now()); }
};

inline nlohmann::json nearbyDevice(const std::string& id = identifier(),
                                   const std::string& name = "Phone") {
    return {{"device", id}, {"name", name}, {"platform", "android"}};
}

} // namespace zephlink::test

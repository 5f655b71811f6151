#include "aes_gcm.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;

TEST(AesGcm, WycheproofVectorsWith256BitKeys96BitNoncesAnd128BitTags) {
    const auto suite = nlohmann::json::parse(
        test::readFile(test::sharedPath("fixtures/wycheproof/aes_gcm_test.json")));
    const auto hex = [](const std::string& text) {
        Bytes out;
        for (std::size_t i = 0; i + 1 < text.size(); i += 2)
            out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        return out;
    };
    int checked = 0;
    for (const auto& group : suite.at("testGroups")) {
        if (group.at("keySize") != 256 || group.at("ivSize") != 96 || group.at("tagSize") != 128)
            continue;
        for (const auto& v : group.at("tests")) {
            const Bytes key = hex(v.at("key")), nonce = hex(v.at("iv")), aad = hex(v.at("aad"));
            Bytes sealed = hex(v.at("ct").get<std::string>() + v.at("tag").get<std::string>());
            if (v.at("result") == "valid") {
                EXPECT_EQ(aesGcmSeal(key, nonce, aad, hex(v.at("msg"))), sealed) << v.at("tcId");
                EXPECT_EQ(aesGcmOpen(key, nonce, aad, sealed), hex(v.at("msg"))) << v.at("tcId");
            } else {
                EXPECT_THROW(aesGcmOpen(key, nonce, aad, sealed), AuthenticationError);
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 66);
    EXPECT_THROW(aesGcmSeal(Bytes(16), Bytes(12), {}, Bytes(1)), CryptoError);
    EXPECT_THROW(aesGcmOpen(Bytes(32), Bytes(16), {}, Bytes(20)), CryptoError);
    EXPECT_THROW(aesGcmOpen(Bytes(32), Bytes(12), {}, Bytes(15)), AuthenticationError);
}

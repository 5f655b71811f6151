// Project Wycheproof AES-GCM vectors with 256-bit keys, 96-bit nonces and
// 128-bit tags, from the shared fixtures.
#include "aes_gcm.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;

namespace {

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace

TEST(AesGcmWycheproof, EveryApplicableVectorGivesItsResult) {
    const std::string contents =
        test::readFile(test::sharedPath("fixtures/wycheproof/aes_gcm_test.json"));
    ASSERT_FALSE(contents.empty()) << "shared fixtures not found beside the checkout";
    const auto suite = nlohmann::json::parse(contents);
    int checked = 0;
    for (const auto& group : suite.at("testGroups")) {
        if (group.at("keySize") != 256 || group.at("ivSize") != 96 || group.at("tagSize") != 128)
            continue;
        for (const auto& v : group.at("tests")) {
            const Bytes key = hex(v.at("key")), nonce = hex(v.at("iv")), aad = hex(v.at("aad"));
            const Bytes message = hex(v.at("msg")), tag = hex(v.at("tag"));
            Bytes sealed = hex(v.at("ct"));
            sealed.insert(sealed.end(), tag.begin(), tag.end());
            const int id = v.at("tcId").get<int>();
            if (v.at("result") == "valid") {
                EXPECT_EQ(aesGcmSeal(key, nonce, aad, message), sealed) << "tcId " << id;
                EXPECT_EQ(aesGcmOpen(key, nonce, aad, sealed), message) << "tcId " << id;
            } else {
                EXPECT_THROW(aesGcmOpen(key, nonce, aad, sealed), AuthenticationError)
                    << "tcId " << id;
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 66);
}

TEST(AesGcm, WrongSizesAreImplementationErrorsAndAShortTagIsNoMatch) {
    EXPECT_THROW(aesGcmSeal(Bytes(16), Bytes(12), {}, Bytes(1)), CryptoError);
    EXPECT_THROW(aesGcmOpen(Bytes(32), Bytes(16), {}, Bytes(20)), CryptoError);
    EXPECT_THROW(aesGcmOpen(Bytes(32), Bytes(12), {}, Bytes(15)), AuthenticationError);
}

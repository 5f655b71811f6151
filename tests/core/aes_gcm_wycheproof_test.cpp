// Project Wycheproof AES-GCM vectors with 256-bit keys, 96-bit nonces and
// 128-bit tags, read from the shared fixtures at run time.
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
        for (const auto& vector : group.at("tests")) {
            const int id = vector.at("tcId").get<int>();
            const Bytes key = hex(vector.at("key"));
            const Bytes nonce = hex(vector.at("iv"));
            const Bytes associated = hex(vector.at("aad"));
            const Bytes message = hex(vector.at("msg"));
            Bytes sealed = hex(vector.at("ct"));
            const Bytes tag = hex(vector.at("tag"));
            sealed.insert(sealed.end(), tag.begin(), tag.end());
            const bool valid = vector.at("result") == "valid";
            if (valid) {
                EXPECT_EQ(aesGcmSeal(key, nonce, associated, message), sealed) << "tcId " << id;
                EXPECT_EQ(aesGcmOpen(key, nonce, associated, sealed), message) << "tcId " << id;
            } else {
                EXPECT_THROW(aesGcmOpen(key, nonce, associated, sealed), AuthenticationError)
                    << "tcId " << id;
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 66);
}

TEST(AesGcm, RefusesWrongSizesAsImplementationErrors) {
    EXPECT_THROW(aesGcmSeal(Bytes(16), Bytes(12), {}, Bytes(1)), CryptoError);
    EXPECT_THROW(aesGcmOpen(Bytes(32), Bytes(16), {}, Bytes(20)), CryptoError);
    EXPECT_THROW(aesGcmOpen(Bytes(32), Bytes(12), {}, Bytes(15)), AuthenticationError);
}

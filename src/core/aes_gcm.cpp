#include "aes_gcm.h"

#include <climits>
#include <memory>
#include <openssl/evp.h>

namespace zephlink {
namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

void check(int ok, const char* what) {
    if (ok != 1)
        throw CryptoError(std::string("AES-GCM failure: ") + what);
}

int length(std::size_t n) {
    if (n > static_cast<std::size_t>(INT_MAX))
        throw CryptoError("AES-GCM failure: input too large");
    return static_cast<int>(n);
}

// Fetched once: an implicit fetch on every message costs more than sealing
// a kilobyte. Never freed; it lives as long as the process.
const EVP_CIPHER* cipher() {
    static const EVP_CIPHER* const fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (fetched == nullptr)
        throw CryptoError("AES-GCM failure: no AES-256-GCM implementation");
    return fetched;
}

CipherContext begin(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                    bool encrypt) {
    if (key.size() != kAesKeyBytes || nonce.size() != kAesNonceBytes)
        throw CryptoError("AES-GCM failure: key must be 32 bytes and nonce 12 bytes");
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
        throw CryptoError("AES-GCM failure: no cipher context");
    // 12 bytes is GCM's default nonce length: key and nonce go in at once.
    static_assert(kAesNonceBytes == 12);
    check(EVP_CipherInit_ex2(context.get(), cipher(), key.data(), nonce.data(), encrypt ? 1 : 0,
                             nullptr),
          "init");
    return context;
}

void authenticate(EVP_CIPHER_CTX* context, std::span<const std::uint8_t> associated) {
    if (associated.empty())
        return;
    int written = 0;
    check(
        EVP_CipherUpdate(context, nullptr, &written, associated.data(), length(associated.size())),
        "associated data");
}

} // namespace

Bytes aesGcmSeal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> associated,
                 std::span<const std::uint8_t> plaintext) {
    CipherContext context = begin(key, nonce, true);
    authenticate(context.get(), associated);
    Bytes out(plaintext.size() + kAesTagBytes);
    int written = 0;
    if (!plaintext.empty())
        check(EVP_EncryptUpdate(context.get(), out.data(), &written, plaintext.data(),
                                length(plaintext.size())),
              "encrypt");
    int tail = 0;
    check(EVP_EncryptFinal_ex(context.get(), out.data() + written, &tail), "finish");
    check(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kAesTagBytes),
                              out.data() + plaintext.size()),
          "tag");
    return out;
}

Bytes aesGcmOpen(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> associated, std::span<const std::uint8_t> sealed) {
    if (sealed.size() < kAesTagBytes)
        throw AuthenticationError();
    const std::size_t textBytes = sealed.size() - kAesTagBytes;
    CipherContext context = begin(key, nonce, false);
    authenticate(context.get(), associated);
    Bytes out(textBytes);
    int written = 0;
    if (textBytes > 0)
        check(EVP_DecryptUpdate(context.get(), out.data(), &written, sealed.data(),
                                length(textBytes)),
              "decrypt");
    // OpenSSL takes a non-const pointer for the expected tag but only reads it.
    check(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kAesTagBytes),
                              const_cast<std::uint8_t*>(sealed.data() + textBytes)),
          "tag");
    int tail = 0;
    if (EVP_DecryptFinal_ex(context.get(), out.data() + written, &tail) != 1)
        throw AuthenticationError();
    return out;
}

} // namespace zephlink

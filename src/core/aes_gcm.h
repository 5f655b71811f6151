#pragma once

#include "encoding.h"

#include <cstdint>
#include <span>
#include <stdexcept>

namespace zephlink {

// AES-256-GCM with a 96-bit nonce and a 128-bit tag appended to the ciphertext.

// The AES-GCM implementation could not run (bad sizes, OpenSSL failure).
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The tag did not verify: wrong key, or altered ciphertext or associated
// data. Deliberately not a DazarError: callers must be able to tell it apart.
class AuthenticationError : public std::runtime_error {
public:
    AuthenticationError() : std::runtime_error("AES-GCM authentication failed") {}
};

inline constexpr std::size_t kAesKeyBytes = 32;
inline constexpr std::size_t kAesNonceBytes = 12;
inline constexpr std::size_t kAesTagBytes = 16;

// Returns ciphertext followed by the tag.
Bytes aesGcmSeal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> associated, std::span<const std::uint8_t> plaintext);

// sealed is ciphertext followed by the tag; throws AuthenticationError when
// the tag does not verify.
Bytes aesGcmOpen(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> associated, std::span<const std::uint8_t> sealed);

} // namespace zephlink

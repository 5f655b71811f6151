#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

namespace msg {
inline constexpr std::string_view invalidGroup = "Invalid group";
} // namespace msg

// Credentials of one device group. Only groups made by `Group::make` (or the
// parsers built on it) are known to satisfy the invariants below.
struct Group {
    std::string server; // normalised clip-server address: scheme://host[:port]
    std::string room;   // 32 lower-case hex characters
    std::string token;  // unpadded base64url of 32 bytes, the bearer token
    std::string key;    // unpadded base64url of 32 bytes, the AES-256 key

    // The validating constructor: normalises the server, checks the rest.
    static Group make(std::string_view server, std::string_view room, std::string_view token,
                      std::string_view key);
    // The invitation link, "zephlink://pair?server=…&room=…&token=…&key=…".
    std::string invitation() const;
    static Group parse(std::string_view link);
    std::string invitationForOtherDevice(std::string_view server) const;

    bool operator==(const Group&) const = default;
};

// One sealed clip as carried by clip servers.
struct Envelope {
    std::int64_t v = 1;
    std::string id;
    std::string origin;
    std::int64_t createdAt = 0; // ms since the Unix epoch
    std::string nonce;          // base64url of 12 bytes
    std::string ciphertext;     // base64url of AES-GCM ciphertext followed by the 16-byte tag

    bool operator==(const Envelope&) const = default;
};

// The plaintext sealed inside an envelope.
struct ClipBody {
    std::string text;
};

// A poll answer. Decoded only.
struct Batch {
    struct Item {
        std::int64_t seq = 0;
        Envelope envelope;
    };
    std::vector<Item> clips;
    std::int64_t cursor = 0;
    bool reset = false;
};

// JSON coding. Decoding checks member presence and JSON types only, ignores
// extra members, and throws nlohmann::json exceptions on failure.
void to_json(nlohmann::json& j, const Group& group);
void from_json(const nlohmann::json& j, Group& group);
void to_json(nlohmann::json& j, const Envelope& envelope);
void from_json(const nlohmann::json& j, Envelope& envelope);
void to_json(nlohmann::json& j, const ClipBody& body);
void from_json(const nlohmann::json& j, ClipBody& body);
void from_json(const nlohmann::json& j, Batch::Item& item);
void from_json(const nlohmann::json& j, Batch& batch);

// Strict member access shared by every decoder in the program.
namespace json_member {
const nlohmann::json& required(const nlohmann::json& object, const char* name);
std::string string(const nlohmann::json& object, const char* name);
std::int64_t integer(const nlohmann::json& object, const char* name);
bool boolean(const nlohmann::json& object, const char* name);
// True when the value is a JSON number with an integral value that fits int64.
bool isInteger(const nlohmann::json& value);
std::int64_t asInteger(const nlohmann::json& value);
} // namespace json_member

} // namespace zephlink

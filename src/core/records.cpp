#include "records.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace zephlink {

using nlohmann::json;

namespace json_member {

const json& required(const json& object, const char* name) {
    if (!object.is_object())
        throw json::type_error::create(
            302, std::string("type must be object, but is ") + object.type_name(), &object);
    return object.at(name);
}

std::string string(const json& object, const char* name) {
    const json& value = required(object, name);
    if (!value.is_string())
        throw json::type_error::create(
            302, std::string("member '") + name + "' must be a string, but is " + value.type_name(),
            &value);
    return value.get<std::string>();
}

bool isInteger(const json& value) {
    if (value.is_number_integer()) {
        return !value.is_number_unsigned() ||
               value.get<std::uint64_t>() <=
                   static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    }
    // An integral value written with a fraction or exponent ("1.0", "1e3")
    // is still that integer to other platforms' decoders; 1.5 is not.
    if (value.is_number_float()) {
        const double d = value.get<double>();
        return std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
               d < 9223372036854775808.0;
    }
    return false;
}

std::int64_t asInteger(const json& value) {
    if (value.is_number_float())
        return static_cast<std::int64_t>(value.get<double>());
    return value.get<std::int64_t>();
}

std::int64_t integer(const json& object, const char* name) {
    const json& value = required(object, name);
    if (!isInteger(value))
        throw json::type_error::create(302,
                                       std::string("member '") + name +
                                           "' must be an integer, but is " + value.type_name(),
                                       &value);
    return asInteger(value);
}

bool boolean(const json& object, const char* name) {
    const json& value = required(object, name);
    if (!value.is_boolean())
        throw json::type_error::create(302,
                                       std::string("member '") + name +
                                           "' must be a boolean, but is " + value.type_name(),
                                       &value);
    return value.get<bool>();
}

} // namespace json_member

void to_json(json& j, const Group& group) {
    j = json{
        {"server", group.server}, {"room", group.room}, {"token", group.token}, {"key", group.key}};
}

void from_json(const json& j, Group& group) {
    group.server = json_member::string(j, "server");
    group.room = json_member::string(j, "room");
    group.token = json_member::string(j, "token");
    group.key = json_member::string(j, "key");
}

void to_json(json& j, const Envelope& envelope) {
    j = json{{"v", envelope.v},           {"id", envelope.id},
             {"origin", envelope.origin}, {"createdAt", envelope.createdAt},
             {"nonce", envelope.nonce},   {"ciphertext", envelope.ciphertext}};
}

void from_json(const json& j, Envelope& envelope) {
    envelope.v = json_member::integer(j, "v");
    envelope.id = json_member::string(j, "id");
    envelope.origin = json_member::string(j, "origin");
    envelope.createdAt = json_member::integer(j, "createdAt");
    envelope.nonce = json_member::string(j, "nonce");
    envelope.ciphertext = json_member::string(j, "ciphertext");
}

void to_json(json& j, const ClipBody& body) {
    j = json{{"text", body.text}};
}

void from_json(const json& j, ClipBody& body) {
    body.text = json_member::string(j, "text");
}

void from_json(const json& j, Batch::Item& item) {
    item.seq = json_member::integer(j, "seq");
    item.envelope = json_member::required(j, "envelope").get<Envelope>();
}

void from_json(const json& j, Batch& batch) {
    const json& clips = json_member::required(j, "clips");
    if (!clips.is_array())
        throw json::type_error::create(
            302, std::string("member 'clips' must be an array, but is ") + clips.type_name(),
            &clips);
    batch.clips = clips.get<std::vector<Batch::Item>>();
    batch.cursor = json_member::integer(j, "cursor");
    batch.reset = json_member::boolean(j, "reset");
}

} // namespace zephlink

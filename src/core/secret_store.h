#pragma once

#include "records.h"

#include <optional>
#include <string_view>

namespace zephlink::SecretStore {

namespace msg {
inline constexpr std::string_view updateFailed = "Unable to update Keychain";
inline constexpr std::string_view saveFailed = "Unable to save in Keychain";
inline constexpr std::string_view clearFailed = "Unable to clear Keychain";
} // namespace msg

inline constexpr const char* kService = "app.zephlink.dazar";
inline constexpr const char* kAccount = "group";

// Stores the group's JSON in the one Secret Service item with service
// "app.zephlink.dazar" and account "group", or deletes that item when given
// no group. A locked or missing keyring is a failure, never a fallback.
void save(const std::optional<Group>& group);

} // namespace zephlink::SecretStore

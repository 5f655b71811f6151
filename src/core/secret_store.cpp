#include "secret_store.h"

#include "errors.h"

#include <libsecret/secret.h>
#include <memory>
#include <nlohmann/json.hpp>

namespace zephlink::SecretStore {
namespace {

// Items are found by their attributes alone, so that an item stored by other
// tools under the same service and account is the same item.
const SecretSchema* schema() {
    static const SecretSchema instance = {"app.zephlink.dazar",
                                          SECRET_SCHEMA_DONT_MATCH_NAME,
                                          {
                                              {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          },
                                          0,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr};
    return &instance;
}

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct ListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

// Every stored item, locked ones included; throws message when the keyring
// cannot be asked.
std::unique_ptr<GList, ListFree> items(std::string_view message) {
    GError* raw = nullptr;
    std::unique_ptr<GList, ListFree> found(
        secret_password_search_sync(schema(), SECRET_SEARCH_ALL, nullptr, &raw, "service", kService,
                                    "account", kAccount, nullptr));
    Error error(raw);
    if (error)
        throw DazarError(std::string(message));
    return found;
}

bool store(const std::string& data) {
    GError* raw = nullptr;
    const gboolean stored = secret_password_store_sync(
        schema(), SECRET_COLLECTION_DEFAULT, "Zephlink group", data.c_str(), nullptr, &raw,
        "service", kService, "account", kAccount, nullptr);
    Error error(raw);
    return stored && !error;
}

} // namespace

void save(const std::optional<Group>& group) {
    if (!group) {
        // No item is as good as a removed one. A locked item is still there
        // and must be deleted for real, so each one is deleted by itself.
        const auto found = items(msg::clearFailed);
        for (GList* it = found.get(); it != nullptr; it = it->next) {
            if (!SECRET_IS_ITEM(it->data))
                throw DazarError(std::string(msg::clearFailed));
            GError* raw = nullptr;
            const gboolean deleted = secret_item_delete_sync(SECRET_ITEM(it->data), nullptr, &raw);
            Error error(raw);
            if (!deleted || error)
                throw DazarError(std::string(msg::clearFailed));
        }
        return;
    }
    const std::string data = nlohmann::json(*group).dump();
    if (items(msg::updateFailed) != nullptr) {
        if (!store(data))
            throw DazarError(std::string(msg::updateFailed));
        return;
    }
    if (!store(data))
        throw DazarError(std::string(msg::saveFailed));
}

} // namespace zephlink::SecretStore

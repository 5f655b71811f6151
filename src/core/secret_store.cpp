#include "secret_store.h"

#include "errors.h"

#include <algorithm>
#include <libsecret/secret.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

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

// The object path of the default collection ("" when there is none): the
// one item kept after a save is ours in it.
std::string defaultCollectionPath() {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    if (service == nullptr)
        return {};
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    std::string path;
    if (collection != nullptr) {
        path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection));
        g_object_unref(collection);
    }
    g_object_unref(service);
    return path;
}

// Our schema's item, and whether it is in collection (a path; "" for any).
bool ours(SecretItem* item, const std::string& collection) {
    const std::string path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
    if (!collection.empty() && path.rfind(collection + "/", 0) != 0)
        return false;
    GHashTable* attributes = secret_item_get_attributes(item);
    const auto* name = static_cast<const char*>(g_hash_table_lookup(attributes, "xdg:schema"));
    const bool match = name != nullptr && std::string_view(name) == schema()->name;
    g_hash_table_unref(attributes);
    return match;
}

// After a save, every other item of the same service and account (another
// tool's, another schema or collection) holds a stale group: deleted. The
// one kept is what store() wrote: ours, in the default collection.
void removeOthers() {
    const auto found = items(msg::updateFailed);
    std::vector<SecretItem*> all;
    for (GList* it = found.get(); it != nullptr; it = it->next) {
        if (!SECRET_IS_ITEM(it->data))
            throw DazarError(std::string(msg::updateFailed));
        all.push_back(SECRET_ITEM(it->data));
    }
    const std::string collection = defaultCollectionPath();
    auto kept = std::find_if(all.begin(), all.end(),
                             [&](SecretItem* item) { return ours(item, collection); });
    if (kept == all.end())
        kept = std::find_if(all.begin(), all.end(),
                            [](SecretItem* item) { return ours(item, std::string()); });
    if (kept == all.end())
        return; // nothing tells which one was written: none is deleted
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it == kept)
            continue;
        GError* raw = nullptr;
        const gboolean deleted = secret_item_delete_sync(*it, nullptr, &raw);
        Error error(raw);
        if (!deleted || error)
            throw DazarError(std::string(msg::updateFailed));
    }
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
        // Stored first, then the others go: a failure never loses the group.
        if (!store(data))
            throw DazarError(std::string(msg::updateFailed));
        removeOthers();
        return;
    }
    if (!store(data))
        throw DazarError(std::string(msg::saveFailed));
}

} // namespace zephlink::SecretStore

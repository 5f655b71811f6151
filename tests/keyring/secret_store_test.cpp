// Against a real Secret Service: gnome-keyring on a private bus (with_keyring.sh).
#include "errors.h"
#include "secret_store.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <nlohmann/json.hpp>

using namespace zephlink;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\nleak:libsecret-1.so\n";
}

namespace {

// Any item of the service and account, whoever stored it.
const SecretSchema* anySchema() {
    static SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "app.zephlink.dazar";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

std::vector<std::string> stored() {
    GList* items = secret_password_search_sync(
        anySchema(), static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
        nullptr, nullptr, "service", "app.zephlink.dazar", "account", "group", nullptr);
    std::vector<std::string> values;
    for (GList* it = items; it != nullptr; it = it->next) {
        SecretValue* value = secret_item_get_secret(SECRET_ITEM(it->data));
        if (value != nullptr) {
            values.emplace_back(secret_value_get_text(value));
            secret_value_unref(value);
        }
    }
    g_list_free_full(items, g_object_unref);
    return values;
}

std::string saving(const std::optional<Group>& group) {
    try {
        SecretStore::save(group);
    } catch (const DazarError& e) {
        return e.message();
    }
    return "saved";
}

void lockTheKeyring() {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    ASSERT_NE(collection, nullptr);
    GList* objects = g_list_append(nullptr, collection);
    secret_service_lock_sync(service, objects, nullptr, nullptr, nullptr);
    g_list_free(objects);
    g_object_unref(collection);
    g_object_unref(service);
}

} // namespace

TEST(SecretStore, ReplacesEveryItemOfTheAccountAndClearsIt) {
    // Another tool's item, in another collection and without our schema.
    ASSERT_EQ(std::system("printf old | secret-tool store --collection=session --label=foreign "
                          "service app.zephlink.dazar account group"),
              0);
    ASSERT_EQ(stored(), std::vector<std::string>{"old"});
    for (const Group& group :
         {test::freshGroup("http://192.168.1.2:8787"), test::freshGroup("https://relay.example")}) {
        SecretStore::save(group);
        const auto values = stored();
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(nlohmann::json::parse(values[0]).size(), 4u);
        EXPECT_EQ(nlohmann::json::parse(values[0]).get<Group>(), group);
    }
    secret_password_clear_sync(anySchema(), nullptr, nullptr, "service", "app.zephlink.dazar",
                               "account", "group", nullptr);
    SecretStore::save(test::freshGroup());
    EXPECT_EQ(stored().size(), 1u) << "saved again after an outside delete";
    EXPECT_EQ(saving(std::nullopt), "saved");
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(saving(std::nullopt), "saved") << "nothing to clear is not an error";
}

// Unlocking needs a prompt that a test cannot answer: each locked case runs
// in a keyring of its own (see CMakeLists.txt).
TEST(LockedKeyring, UpdatingTheStoredItemFails) {
    SecretStore::save(test::freshGroup());
    lockTheKeyring();
    EXPECT_EQ(saving(test::freshGroup()), "Unable to update Keychain");
    EXPECT_EQ(saving(std::nullopt), "Unable to clear Keychain");
}

TEST(LockedKeyring, AddingTheItemFails) {
    lockTheKeyring();
    EXPECT_EQ(saving(test::freshGroup()), "Unable to save in Keychain");
    EXPECT_EQ(saving(std::nullopt), "saved");
}

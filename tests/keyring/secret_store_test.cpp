// Runs against a real Secret Service (gnome-keyring on a private bus, see
// with_keyring.sh).
#include "errors.h"
#include "secret_store.h"
#include "test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <nlohmann/json.hpp>

using namespace zephlink;

// GLib's type system and libsecret's service proxy live until exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\nleak:libsecret-1.so\n";
}

namespace {

const SecretSchema kAnySchema = {"app.zephlink.dazar",
                                 SECRET_SCHEMA_DONT_MATCH_NAME,
                                 {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                 0,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};

// The stored items' secrets, read the way another program would.
std::vector<std::string> storedValues() {
    GError* error = nullptr;
    GList* items = secret_password_search_sync(
        &kAnySchema,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                       SECRET_SEARCH_LOAD_SECRETS),
        nullptr, &error, "service", "app.zephlink.dazar", "account", "group", nullptr);
    EXPECT_EQ(error, nullptr);
    std::vector<std::string> values;
    for (GList* it = items; it != nullptr; it = it->next) {
        SecretValue* value =
            secret_retrievable_retrieve_secret_sync(SECRET_RETRIEVABLE(it->data), nullptr, nullptr);
        if (value != nullptr) {
            values.emplace_back(secret_value_get_text(value));
            secret_value_unref(value);
        }
    }
    g_list_free_full(items, g_object_unref);
    return values;
}

void removeOutside() {
    secret_password_clear_sync(&kAnySchema, nullptr, nullptr, "service", "app.zephlink.dazar",
                               "account", "group", nullptr);
}

std::string failure(const std::optional<Group>& group) {
    try {
        SecretStore::save(group);
    } catch (const DazarError& e) {
        return e.message();
    }
    return "saved";
}

void lockDefaultCollection(bool locked) {
    SecretService* service =
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    ASSERT_NE(collection, nullptr);
    GList* objects = g_list_append(nullptr, collection);
    if (locked)
        secret_service_lock_sync(service, objects, nullptr, nullptr, nullptr);
    else
        secret_service_unlock_sync(service, objects, nullptr, nullptr, nullptr);
    g_list_free(objects);
    g_object_unref(collection);
    g_object_unref(service);
}

class SecretStoreTest : public ::testing::Test {
protected:
    void SetUp() override { removeOutside(); }
    void TearDown() override { removeOutside(); }
};

} // namespace

// Another tool's item for the same service and account, in another
// collection and without the program's schema, is replaced as well.
TEST_F(SecretStoreTest, SavingLeavesOneItemHoldingTheNewGroup) {
    ASSERT_EQ(std::system("printf old | secret-tool store --collection=session --label=foreign "
                          "service app.zephlink.dazar account group"),
              0);
    ASSERT_EQ(storedValues(), std::vector<std::string>{"old"});
    for (const Group& group :
         {test::freshGroup("http://192.168.1.2:8787"), test::freshGroup("https://relay.example")}) {
        SecretStore::save(group);
        const auto values = storedValues();
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(nlohmann::json::parse(values[0]).get<Group>(), group);
    }
}

TEST_F(SecretStoreTest, TheStoredJsonHasTheFourMembers) {
    const Group group = test::freshGroup();
    SecretStore::save(group);
    const auto stored = nlohmann::json::parse(storedValues().at(0));
    EXPECT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored.get<Group>(), group);
}

TEST_F(SecretStoreTest, SavingAfterAnOutsideDeleteAddsItAgain) {
    SecretStore::save(test::freshGroup());
    removeOutside();
    EXPECT_TRUE(storedValues().empty());
    const Group group = test::freshGroup();
    SecretStore::save(group);
    ASSERT_EQ(storedValues().size(), 1u);
}

TEST_F(SecretStoreTest, ClearingRemovesTheItemAndAMissingItemIsFine) {
    SecretStore::save(test::freshGroup());
    SecretStore::save(std::nullopt);
    EXPECT_TRUE(storedValues().empty());
    EXPECT_EQ(failure(std::nullopt), "saved");
}

// Unlocking needs a password prompt, which a test cannot answer: each locked
// case runs in a keyring of its own (see the CMake registration).
TEST(LockedKeyring, UpdatingTheStoredItemFails) {
    removeOutside();
    SecretStore::save(test::freshGroup());
    lockDefaultCollection(true);
    EXPECT_EQ(failure(test::freshGroup()), "Unable to update Keychain");
    EXPECT_EQ(failure(std::nullopt), "Unable to clear Keychain");
}

TEST(LockedKeyring, AddingTheItemFails) {
    removeOutside();
    lockDefaultCollection(true);
    EXPECT_EQ(failure(test::freshGroup()), "Unable to save in Keychain");
    EXPECT_EQ(failure(std::nullopt), "saved") << "nothing to clear is not an error";
}

// Against a real Secret Service: gnome-keyring on a private bus (with_keyring.sh).
#include "errors.h"
#include "secret_store.h"
#include "test_support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <nlohmann/json.hpp>

using namespace zephlink;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\nleak:libsecret-1.so\n";
}

namespace {

const std::string kItem = " service app.zephlink.dazar account group";

// Every item of the service and account, whoever stored it.
std::vector<std::string> stored() {
    FILE* search = popen(("secret-tool search --all" + kItem + " 2>&1").c_str(), "r");
    std::vector<std::string> values;
    char line[4096];
    while (search != nullptr && std::fgets(line, sizeof line, search) != nullptr)
        if (std::string text = line; text.starts_with("secret = "))
            values.push_back(text.substr(9, text.size() - 10));
    pclose(search);
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
    // Another tool's item, in another collection.
    ASSERT_EQ(
        std::system(("printf old | secret-tool store --collection=session --label=foreign" + kItem)
                        .c_str()),
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
    ASSERT_EQ(std::system(("secret-tool clear" + kItem).c_str()), 0);
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

#include <gtest/gtest.h>

#include "store/store_catalogue.h"
#include "store/store_settings.h"

namespace strombel::store {
namespace {

class StoreCatalogueTest : public ::testing::Test {
protected:
    platform::Result<std::vector<library::StoreItem>> decode(std::string_view text) {
        return decodeStoreItems(text, {settings, stock, [](const std::string& id) { return id == "owned"; }});
    }
    StoreSettings settings;
    std::vector<std::string> stock{"ravellenights"};
};

TEST_F(StoreCatalogueTest, EachItemReadsItsMembersStateAndStockFlag) {
    settings.setBaseURL("http://127.0.0.1:1/store");
    auto items = decode(R"([
        {"id": "owned", "title": "Owned", "description": "d", "contents": "c", "icon": "my icon.png",
         "files": ["owned.pack", "extra.wav", "owned.pack"]},
        {"id": "ravellenights", "files": ["RavelleNights.pack"]}])");
    ASSERT_TRUE(items.ok()) << items.error().description();
    ASSERT_EQ(items.value().size(), 2u);
    const auto& owned = items.value()[0];
    EXPECT_EQ(owned.title, "Owned");
    EXPECT_EQ(owned.iconURL, "http://127.0.0.1:1/store/icons/my%20icon.png");
    EXPECT_EQ(owned.contentFiles, (std::vector<std::string>{"owned.pack", "extra.wav"}));
    EXPECT_EQ(owned.contentURLs[1], "http://127.0.0.1:1/store/extra.wav");
    EXPECT_EQ(owned.state, library::StoreItem::kStateInstalled);
    EXPECT_FALSE(owned.stockPack);
    EXPECT_EQ(items.value()[1].state, library::StoreItem::kStateNotInstalled);
    EXPECT_TRUE(items.value()[1].stockPack);
}

TEST_F(StoreCatalogueTest, ItemsThatDoNotValidateAreSkipped) {
    const char* bad[] = {
        R"({"files": ["a.pack"]})",
        R"({"id": 7, "files": ["a.pack"]})",
        R"({"id": "", "files": ["a.pack"]})",
        R"({"id": "../up", "files": ["a.pack"]})",
        R"({"id": "x", "title": ["t"], "files": ["a.pack"]})",
        R"({"id": "x", "icon": "a/b.png", "files": ["a.pack"]})",
        R"({"id": "x", "icon": "/etc/passwd", "files": ["a.pack"]})",
        R"({"id": "x", "files": "a.pack"})",
        R"({"id": "x", "files": ["a.pack", 3]})",
        R"({"id": "x", "files": ["a.pack", "../b.wav"]})",
        R"({"id": "x", "files": ["a.pack", "b\n.wav"]})",
        R"({"id": "x", "files": ["a.wav"]})",
        R"({"id": "x", "files": ["a.pack", "b.pack"]})",
        R"({"id": "x", "files": [".pack"]})",
        R"({"id": "x", "files": ["a.pack", ".pack"]})",
        R"("just text")",
    };
    for (const char* entry : bad) {
        auto items = decode(std::string("[") + entry + R"(, {"id": "good", "files": ["good.pack"]}])");
        ASSERT_TRUE(items.ok()) << entry;
        ASSERT_EQ(items.value().size(), 1u) << entry;
        EXPECT_EQ(items.value()[0].identifier, "good") << entry;
    }
}

TEST_F(StoreCatalogueTest, AnItemIdSeenTwiceKeepsItsFirstEntry) {
    auto items = decode(R"([{"id": "a", "title": "first", "files": ["a.pack"]},
                            {"id": "a", "title": "second", "files": ["a.pack"]}])");
    ASSERT_TRUE(items.ok());
    ASSERT_EQ(items.value().size(), 1u);
    EXPECT_EQ(items.value()[0].title, "first");
}

TEST_F(StoreCatalogueTest, AWholeCatalogueThatIsNotAListFails) {
    struct Case {
        std::string text;
        int64_t code;
    } cases[] = {
        {"", StoreErrorNotJson},
        {"[1,", StoreErrorNotJson},
        {"{}", StoreErrorNotAList},
        {"{\"items\": []}", StoreErrorNotAList},
        {"[" + std::string(kMaximumCatalogueSize, ' ') + "]", StoreErrorTooLarge},
    };
    for (const Case& c : cases) {
        auto items = decode(c.text);
        ASSERT_FALSE(items.ok()) << c.text.substr(0, 20);
        EXPECT_EQ(items.error().domain, kStoreErrorDomain);
        EXPECT_EQ(items.error().code, c.code) << c.text.substr(0, 20);
    }
}

TEST(StoreSettingsTest, TheEnvironmentPointsTheStoreElsewhere) {
    const StoreSettings builtIn;
    EXPECT_NE(builtIn.baseURL.find(".invalid/"), std::string::npos);
    setenv("STROMBEL_STORE_URL", "http://127.0.0.1:9/s", 1);
    setenv("STROMBEL_STORE_USER", "u", 1);
    setenv("STROMBEL_STORE_PASSWORD", "p", 1);
    StoreSettings settings = StoreSettings::fromEnvironment();
    EXPECT_EQ(settings.baseURL, "http://127.0.0.1:9/s/");
    EXPECT_EQ(settings.iconBaseURL, "http://127.0.0.1:9/s/icons/");
    EXPECT_EQ(settings.username, "u");
    EXPECT_EQ(settings.password, "p");
    setenv("STROMBEL_STORE_ICON_URL", "http://127.0.0.1:9/pictures", 1);
    EXPECT_EQ(StoreSettings::fromEnvironment().iconBaseURL, "http://127.0.0.1:9/pictures/");
    for (const char* name : {"STROMBEL_STORE_URL", "STROMBEL_STORE_USER", "STROMBEL_STORE_PASSWORD", "STROMBEL_STORE_ICON_URL"})
        unsetenv(name);
}

}  // namespace
}  // namespace strombel::store

// The exchange client against the stand-in peer, a process of its own on
// 127.0.0.1: status, upload, contents and items, and every hostile mode.

#include "editor/audio_exchange_client.h"

#include <gtest/gtest.h>

#include <optional>

#include "editor/audio_files.h"
#include "exchange_peer.h"
#include "exchange_test_support.h"
#include "support/temp_dir.h"
#include "wave_files.h"

namespace strombel::editor {
namespace {

using strombel::testing::ExchangePeer;
using strombel::testing::fileBytes;
using strombel::testing::TempDir;

constexpr uint64_t kSlice = 50 * platform::kNanosPerMillisecond;

class AudioExchangeClientTest : public ::testing::Test {
protected:
    std::optional<bool> status(AudioExchangeClient& client) {
        std::optional<bool> running;
        client.checkStatus([&](bool answer) { running = answer; });
        EXPECT_TRUE(world.pumpUntil([&] { return running.has_value(); }, kSlice));
        return running;
    }
    std::pair<std::vector<ExchangeItem>, std::string> contents(AudioExchangeClient& client) {
        std::optional<std::pair<std::vector<ExchangeItem>, std::string>> answer;
        client.fetchContents([&](std::vector<ExchangeItem> items, std::string error) { answer.emplace(items, error); });
        EXPECT_TRUE(world.pumpUntil([&] { return answer.has_value(); }, kSlice));
        return answer.value_or(std::pair<std::vector<ExchangeItem>, std::string>{});
    }
    std::pair<std::vector<uint8_t>, std::string> item(AudioExchangeClient& client, const ExchangeItem& item) {
        std::optional<std::pair<std::vector<uint8_t>, std::string>> answer;
        client.fetchItem(item, [&](std::vector<uint8_t> bytes, std::string error) { answer.emplace(bytes, error); });
        EXPECT_TRUE(world.pumpUntil([&] { return answer.has_value(); }, kSlice));
        return answer.value_or(std::pair<std::vector<uint8_t>, std::string>{});
    }

    strombel::testing::ExchangeLoop world;
    TempDir temp;
};

TEST_F(AudioExchangeClientTest, SendsAFileToThePeerAndPastesWhatItOffers) {
    std::filesystem::create_directories(temp / "peer");
    ExchangePeer peer(temp / "peer");
    ASSERT_NE(peer.port(), 0);
    AudioExchangeClient client(peer.port(), world.network);
    EXPECT_EQ(status(client), true);

    const auto tone = strombel::testing::sineSamples(440, 44100, 5000, 2);
    ASSERT_TRUE(strombel::testing::writeWave(temp / "pattern.wav", tone, 2));
    std::optional<std::string> uploaded;
    client.upload(temp / "pattern.wav", "Pattern 1 & more", [&](std::string error) { uploaded = error; });
    ASSERT_TRUE(world.pumpUntil([&] { return uploaded.has_value(); }, kSlice));
    EXPECT_EQ(*uploaded, "");
    EXPECT_EQ(fileBytes(temp / "peer" / "upload-1.wav"), fileBytes(temp / "pattern.wav"));
    EXPECT_EQ(fileBytes(temp / "peer" / "upload-1.name"), "Pattern 1 & more");

    auto [items, error] = contents(client);
    EXPECT_EQ(error, "");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "Pattern 1 & more");
    EXPECT_EQ(items[0].path, "/items/upload-1.wav");
    auto [bytes, itemError] = item(client, items[0]);
    EXPECT_EQ(itemError, "");
    std::filesystem::create_directories(temp / "export");
    platform::Result<std::filesystem::path> pasted = writePastedAudio(bytes, temp / "export");
    ASSERT_TRUE(pasted.ok()) << pasted.error().message();
    EXPECT_EQ(strombel::testing::readWave(*pasted), tone);
}

TEST_F(AudioExchangeClientTest, NoPeerMeansNoExchangeAndASilentOneTimesOut) {
    {
        // A port nobody listens on: the peer just ended.
        int freePort = 0;
        {
            ExchangePeer gone(temp.path());
            freePort = gone.port();
        }
        AudioExchangeClient client(freePort, world.network);
        EXPECT_EQ(status(client), false);
    }
    ExchangePeer silent(temp.path(), "silent");
    ASSERT_NE(silent.port(), 0);
    AudioExchangeClient client(silent.port(), world.network);
    EXPECT_EQ(status(client), false);
    EXPECT_EQ(contents(client).second, "the audio exchange does not answer");
}

TEST_F(AudioExchangeClientTest, PortZeroNamesNoExchangeAndAsksNothing) {
    AudioExchangeClient client(ExchangeSettings{0, &world.network});
    // Every answer comes at once, without a turn of the loop: nothing went out.
    std::optional<bool> running;
    client.checkStatus([&](bool answer) { running = answer; });
    EXPECT_EQ(running, false);
    std::optional<std::string> contentsError, uploadError, itemError;
    client.fetchContents([&](std::vector<ExchangeItem> items, std::string error) {
        EXPECT_TRUE(items.empty());
        contentsError = error;
    });
    client.upload(temp / "any.wav", "any", [&](std::string error) { uploadError = error; });
    client.fetchItem({"a", "/items/a.wav", 100}, [&](std::vector<uint8_t>, std::string error) { itemError = error; });
    EXPECT_EQ(contentsError, AudioExchangeClient::kNotRunning);
    EXPECT_EQ(uploadError, AudioExchangeClient::kNotRunning);
    EXPECT_EQ(itemError, AudioExchangeClient::kNotRunning);
}

TEST_F(AudioExchangeClientTest, HostilePeersEndInAMessageAndNoBytes) {
    const auto tone = strombel::testing::sineSamples(440, 44100, 5000, 1);
    ASSERT_TRUE(strombel::testing::writeWave(temp / "loop.wav", tone, 1));
    struct Case {
        const char* mode;
        size_t items;              // what the list keeps
        const char* listMessage;   // what the list says
        const char* itemMessage;   // what fetching the first item kept says
    } cases[] = {
        {"traversal", 1, "3 items of the audio exchange cannot be fetched", ""},
        {"huge", 1, "1 item of the audio exchange cannot be fetched", "the audio exchange sent more than it announced"},
        {"notjson", 0, "the audio exchange sent something that is not a list", nullptr},
        {"biglist", 0, "the audio exchange sent a list that is too long", nullptr},
        {"notaudio", 1, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ExchangePeer peer(temp.path(), c.mode);
        ASSERT_NE(peer.port(), 0);
        AudioExchangeClient client(peer.port(), world.network);
        auto [items, error] = contents(client);
        EXPECT_EQ(items.size(), c.items);
        EXPECT_EQ(error, c.listMessage);
        for (const ExchangeItem& kept : items) EXPECT_TRUE(AudioExchangeClient::isSafeItemPath(kept.path));
        if (!c.itemMessage) continue;
        auto [bytes, itemError] = item(client, items.at(0));
        EXPECT_EQ(itemError, c.itemMessage);
        if (itemError.empty()) {
            const platform::Result<void> checked = checkPastedAudio(bytes);
            EXPECT_EQ(checked ? std::string() : checked.error().message(),
                      std::string(c.mode) == "notaudio" ? "this is not audio" : "");
        } else {
            EXPECT_TRUE(bytes.empty());
        }
    }
}

TEST(AudioExchangeItemPaths, OnlyPathsThatStayOnTheServerAreFetched) {
    for (const char* good : {"/items/1.wav", "/a/b/c?x=1", "/..wav", "/a..b/c"})
        EXPECT_TRUE(AudioExchangeClient::isSafeItemPath(good)) << good;
    for (const char* bad : {"", "items/1.wav", "//evil.test/x", "/../x", "/a/../../x", "/a/..", "/a\\..\\x",
                            "/a b", "/a%2e%2e/x", "/a\n", "http://evil.test/x"})
        EXPECT_FALSE(AudioExchangeClient::isSafeItemPath(bad)) << bad;
}

}  // namespace
}  // namespace strombel::editor

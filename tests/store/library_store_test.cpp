#include <gtest/gtest.h>

#include "support/recording_logger.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "http/http_request.h"
#include "store/store_test_support.h"
#include "support/test_mounts.h"

namespace strombel::testing {
namespace {

using Phase = library::StoreItemProgress::Phase;

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

class PackStoreTest : public ::testing::Test {
protected:
    /// Serves a pack "deepkit" of three samples.
    void serveDeepKit() {
        server().put("deepkit.pack", packText("deepkit", {"kick.wav", "snare.wav", "hat.wav"}, "Deep Kit"));
        for (const char* file : {"kick.wav", "snare.wav", "hat.wav"}) server().put(file, waveBytes());
    }
    StoreServer& server() { return world.server(); }
    std::vector<std::string> downloadedFiles() {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(world.downloads(), error))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool stagingIsEmpty() {
        std::error_code error;
        const auto staging = world.world().root() / "Library" / "Caches" / "StoreDownloads";
        return !std::filesystem::exists(staging, error) || std::filesystem::is_empty(staging, error) ||
               std::all_of(std::filesystem::directory_iterator(staging), std::filesystem::directory_iterator(),
                           [](const auto&) { return false; });
    }

    StoreWorld world;
};

TEST_F(PackStoreTest, TheCatalogueLoadsAtLaunchWithStatesAndStockFlags) {
    serveDeepKit();
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}, "deepkit.png") + ", " +
                          catalogueEntry("groovekitpreview", {"GK-Preview.pack"}) + ", " +
                          R"({"title": "no id", "files": ["x.pack"]}, )" +
                          R"({"id": "sneaky", "files": ["../x.pack"]}, )" +
                          R"({"id": "badicon", "icon": "../i.png", "files": ["x.pack"]}, )" +
                          R"({"id": "numbers", "title": 5, "files": ["x.pack"]}, )" +
                          R"({"id": "nopack", "files": ["a.wav"]}, )" + R"({"id": "twopacks", "files": ["a.pack", "b.pack"]}])");
    ASSERT_TRUE(world.launchAndLoad());

    const auto& items = world.observer().items;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].identifier, "deepkit");
    EXPECT_EQ(items[0].title, "deepkit title");
    EXPECT_EQ(items[0].descriptionText, "About deepkit");
    EXPECT_EQ(items[0].state, library::StoreItem::kStateNotInstalled);
    EXPECT_FALSE(items[0].stockPack);
    EXPECT_EQ(items[0].iconURL, world.settings().iconBaseURL + "deepkit.png");
    EXPECT_EQ(items[0].contentURLs, std::vector<std::string>{world.settings().baseURL + "deepkit.pack"});
    EXPECT_EQ(items[1].identifier, "groovekitpreview");
    EXPECT_EQ(items[1].state, library::StoreItem::kStateInstalled);
    EXPECT_TRUE(items[1].stockPack);
    EXPECT_EQ(world.store().progressOfStoreItem("groovekitpreview").phase, Phase::installed);
    ASSERT_NE(world.store().storeItems(), nullptr);
    EXPECT_EQ(world.store().storeItems()->size(), 2u);
}

TEST_F(PackStoreTest, ASecondFetchWhileOneRunsJoinsIt) {
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}) + "]");
    server().setDelay(std::chrono::milliseconds(50));
    world.launch();  // fetches
    world.library().fetchStoreItems();
    world.library().fetchStoreItems();
    ASSERT_TRUE(world.pumpUntil([&] { return world.observer().loaded > 0; }));
    world.pumpUntil([&] { return !world.store().isLoadingStoreItems(); });
    EXPECT_EQ(world.observer().loaded, 1);
    EXPECT_EQ(server().requestCount("ItemsList.json"), 1u);
}

TEST_F(PackStoreTest, InstallingPutsPackSamplesAndBanksIntoTheLibrary) {
    serveDeepKit();
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    const size_t banksBefore = world.library().soundbanks().size();

    const auto progress = world.install("deepkit");
    EXPECT_EQ(progress.phase, Phase::installed) << progress.failure;
    ASSERT_TRUE(world.pumpUntil([&] { return world.observer().completed == 1; }));

    auto& library = world.library();
    EXPECT_TRUE(library.soundpackWithIdExists("deepkit"));
    const auto banks = library.soundbanks();
    ASSERT_EQ(banks.size(), banksBefore + 1);
    EXPECT_EQ(banks.back()->name(), "Deep Kit bank");
    const auto pads = library.samplePathsOfSoundbank(banks.size() - 1);
    EXPECT_EQ(pads[0], "Library/Caches/downloads/kick.wav");
    EXPECT_EQ(pads[1], "Library/Caches/downloads/snare.wav");
    EXPECT_EQ(pads[2], "Library/Caches/downloads/hat.wav");
    EXPECT_EQ(downloadedFiles(), (std::vector<std::string>{"hat.wav", "kick.wav", "snare.wav"}));
    EXPECT_TRUE(stagingIsEmpty());

    const auto& events = world.observer().events;
    EXPECT_TRUE(contains(events, "downloaded deepkit.pack"));
    EXPECT_TRUE(contains(events, "downloaded kick.wav"));
    EXPECT_EQ(events.back(), "completed");
    const auto done = world.store().progressOfStoreItem("deepkit");
    EXPECT_EQ(done.filesDone, 4u);
    EXPECT_EQ(done.filesTotal, 4u);
    EXPECT_EQ(world.store().storeItems()->front().state, library::StoreItem::kStateInstalled);
    // Installed once: asking again does nothing.
    EXPECT_FALSE(world.store().downloadStoreItem("deepkit"));
}

TEST_F(PackStoreTest, NeverMoreThanFourDownloadsAtOnceAndAFailingItemLeavesTheOthersGoing) {
    std::vector<std::string> many;
    for (int i = 0; i < 10; ++i) {
        many.push_back("s" + std::to_string(i) + ".wav");
        server().put(many.back(), waveBytes());
    }
    server().put("many.pack", packText("many", many));
    server().put("broken.pack", packText("broken", {"b0.wav", "missing.wav"}));
    server().put("b0.wav", waveBytes());
    server().put("missing.wav", StoreServer::File{"", 404, 0, true});
    server().setCatalogue("[" + catalogueEntry("many", {"many.pack"}) + ", " + catalogueEntry("broken", {"broken.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    server().setDelay(std::chrono::milliseconds(20));

    ASSERT_TRUE(world.store().downloadStoreItem("many"));
    ASSERT_TRUE(world.store().downloadStoreItem("broken"));
    // The 404 is held until b0.wav is in, so that no other download of the
    // failing item runs when it fails. One that did would be cancelled and its
    // place given at once to the next of the queue, while the server, which
    // counts an answer until its delay is over, still counted the cancelled one:
    // five at once that the client never had. So every answer the server counts
    // is one the client is waiting for.
    ASSERT_TRUE(world.pumpUntil([&] { return contains(world.observer().events, "downloaded b0.wav"); }));
    server().openGate();
    ASSERT_TRUE(world.pumpUntil([&] {
        return world.store().progressOfStoreItem("many").phase != Phase::downloading &&
               world.store().progressOfStoreItem("broken").phase != Phase::downloading;
    }));
    EXPECT_EQ(world.store().progressOfStoreItem("many").phase, Phase::installed);
    const auto broken = world.store().progressOfStoreItem("broken");
    EXPECT_EQ(broken.phase, Phase::failed);
    EXPECT_NE(broken.failure.find("missing.wav: the store answered with HTTP status 404"), std::string::npos)
        << broken.failure;
    EXPECT_LE(server().maximumConcurrent(), 4u);
    EXPECT_TRUE(world.library().soundpackWithIdExists("many"));
    EXPECT_FALSE(world.library().soundpackWithIdExists("broken"));
    EXPECT_TRUE(contains(world.observer().events, "failed missing.wav"));
    // A failed item can be tried again once the store mends it.
    server().put("missing.wav", waveBytes());
    const auto again = world.install("broken");
    EXPECT_EQ(again.phase, Phase::installed) << again.failure;
}

TEST_F(PackStoreTest, APackInstalledMeanwhileKeepsItsSampleFromASecondPackDownloadedBesideIt) {
    // Both packs name "shared.wav"; "alpha" waits for its other sample while
    // "beta" comes in whole and takes the file first.
    server().put("alpha.pack", packText("alpha", {"shared.wav", "a.wav"}));
    server().put("beta.pack", packText("beta", {"shared.wav", "b.wav"}));
    server().put("shared.wav", waveBytes());
    server().put("a.wav", StoreServer::File{waveBytes(), 200, 0, true});
    server().put("b.wav", waveBytes());
    server().setCatalogue("[" + catalogueEntry("alpha", {"alpha.pack"}) + ", " + catalogueEntry("beta", {"beta.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_TRUE(world.store().downloadStoreItem("alpha"));
    ASSERT_TRUE(world.pumpUntil([&] { return server().requestCount("a.wav") == 1; }));
    ASSERT_TRUE(world.store().downloadStoreItem("beta"));
    ASSERT_TRUE(world.pumpUntil([&] { return world.store().progressOfStoreItem("beta").phase == Phase::installed; }));
    const std::string withBeta = world.snapshot();

    server().openGate();
    ASSERT_TRUE(world.pumpUntil([&] { return world.store().progressOfStoreItem("alpha").phase != Phase::downloading; }));
    const auto alpha = world.store().progressOfStoreItem("alpha");
    EXPECT_EQ(alpha.phase, Phase::failed) << "installed as if it owned beta's sample";
    EXPECT_NE(alpha.failure.find("shared.wav would replace a sample of the pack \"beta\""), std::string::npos)
        << alpha.failure;
    // The observers hear the failure as the item's end: its last file is not
    // told as downloaded after it.
    const auto& events = world.observer().events;
    const auto failed = std::find(events.begin(), events.end(), "failed shared.wav");
    ASSERT_NE(failed, events.end());
    EXPECT_EQ(std::find(failed, events.end(), "downloaded a.wav"), events.end());
    world.pumpUntil([&] { return world.store().networkQueue().requestsCount() == 0; });
    EXPECT_EQ(world.snapshot(), withBeta);
    EXPECT_TRUE(world.pumpUntil([&] { return stagingIsEmpty(); }));
}

TEST_F(PackStoreTest, ACheckOfAFailedAttemptThatAnswersLateLeavesTheNextAttemptAlone) {
    server().put("broken.pack", packText("broken", {"b0.wav", "missing.wav"}));
    server().put("b0.wav", waveBytes());
    server().put("missing.wav", StoreServer::File{"", 404, 0, true});
    server().setCatalogue("[" + catalogueEntry("broken", {"broken.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    // The sample checks wait until the test lets them go.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    world.store().checkQueue().async([released] { released.wait(); });

    ASSERT_TRUE(world.store().downloadStoreItem("broken"));
    ASSERT_TRUE(world.pumpUntil([&] {
        return server().requestCount("b0.wav") == 1 && world.store().networkQueue().requestsCount() == 1;
    }));
    server().openGate();  // missing.wav fails the first attempt while b0.wav's check waits
    ASSERT_TRUE(world.pumpUntil([&] { return world.store().progressOfStoreItem("broken").phase == Phase::failed; }));

    server().put("missing.wav", waveBytes());
    ASSERT_TRUE(world.store().downloadStoreItem("broken"));
    release.set_value();  // the first attempt's check answers now, its file gone with that attempt
    ASSERT_TRUE(world.pumpUntil([&] { return world.store().progressOfStoreItem("broken").phase != Phase::downloading; }));
    const auto again = world.store().progressOfStoreItem("broken");
    EXPECT_EQ(again.phase, Phase::installed) << again.failure;
    EXPECT_TRUE(world.library().soundpackWithIdExists("broken"));
}

// ---- What bad input gets ----

struct BadPack {
    const char* name;
    std::function<void(StoreServer&, store::StoreSettings&)> serve;
    const char* failure;  // a piece of the reason shown
};
void PrintTo(const BadPack& bad, std::ostream* out) { *out << bad.name; }

class BadPackTest : public PackStoreTest, public ::testing::WithParamInterface<BadPack> {};

TEST_P(BadPackTest, FailsTheItemWithAReasonAndChangesNothing) {
    // A pack the user already has, whose files must stay as they are.
    server().put("mine.pack", packText("mine", {"mine.wav"}));
    server().put("mine.wav", waveBytes(1000));
    // The bad item's good parts, which the case spoils.
    server().put("bad.pack", packText("bad", {"one.wav", "two.wav"}));
    server().put("one.wav", waveBytes());
    server().put("two.wav", waveBytes());
    GetParam().serve(server(), world.settings());
    server().setCatalogue("[" + catalogueEntry("mine", {"mine.pack"}) + ", " + catalogueEntry("bad", {"bad.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_EQ(world.install("mine").phase, Phase::installed);
    world.pumpUntil([&] { return world.observer().completed == 1; });
    const std::string before = world.snapshot();

    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    const auto progress = world.install("bad");
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(progress.phase, Phase::failed);
    EXPECT_NE(progress.failure.find(GetParam().failure), std::string::npos) << progress.failure;
    // The log says it as the screen does, without the error's inner chain.
    EXPECT_TRUE(contains(lines, "store: could not install the pack bad: " + progress.failure))
        << ::testing::PrintToString(lines);
    world.pumpUntil([&] { return world.observer().completed == 2; });
    EXPECT_EQ(world.snapshot(), before);
    // The item's other downloads are cancelled on the network thread, which
    // removes their part-written files a moment after the failure is told.
    EXPECT_TRUE(world.pumpUntil([&] { return stagingIsEmpty(); }));
    EXPECT_FALSE(std::filesystem::exists(world.world().root() / "x.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.world().root() / "Library" / "x.wav"));
}

INSTANTIATE_TEST_SUITE_P(
    Downloads, BadPackTest,
    ::testing::Values(
        BadPack{"PackMissing", [](StoreServer& s, store::StoreSettings&) { s.remove("bad.pack"); }, "HTTP status 404"},
        BadPack{"SampleServerError",
                [](StoreServer& s, store::StoreSettings&) { s.put("two.wav", StoreServer::File{"oops", 500}); },
                "two.wav: the store answered with HTTP status 500"},
        BadPack{"SampleShorterThanAnnounced",
                [](StoreServer& s, store::StoreSettings&) { s.put("two.wav", StoreServer::File{waveBytes(), 200, 100}); },
                "two.wav could not be fetched"},
        BadPack{"SampleEmpty", [](StoreServer& s, store::StoreSettings&) { s.put("two.wav", ""); }, "two.wav arrived empty"},
        BadPack{"SamplePastTheLimit",
                [](StoreServer& s, store::StoreSettings& settings) {
                    settings.maximumFileSize = 20000;
                    s.put("two.wav", waveBytes(20000));
                },
                "two.wav is larger than 19.5 KB"},
        BadPack{"SampleNotAudio", [](StoreServer& s, store::StoreSettings&) { s.put("two.wav", "this is no sound"); },
                "two.wav is not a sound"},
        BadPack{"SampleOfFourChannels", [](StoreServer& s, store::StoreSettings&) { s.put("two.wav", waveBytes(100, 4)); },
                "two.wav is not a sound the program can play: the audio has more than two channels"},
        BadPack{"SampleCutShort",
                [](StoreServer& s, store::StoreSettings&) {
                    // The header claims 88,200 data bytes; 29,370 are there.
                    s.put("two.wav", waveBytes(44100).substr(0, 44 + 29370));
                },
                "two.wav is not a sound the program can play: the WAVE file is cut short"},
        BadPack{"PackNotJson", [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", "{not json"); },
                "bad.pack is not a usable pack"},
        BadPack{"PackOfAnotherId",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("mine", {"one.wav"})); },
                "bad.pack is the pack mine, not bad"},
        BadPack{"PackClaimsBundledSamples",
                [](StoreServer& s, store::StoreSettings&) {
                    s.put("bad.pack", R"({"id": "bad", "bundled": "YES", "banks": [{"name": "b", "sounds": [{"file": "one.wav"}]}]})");
                },
                "program's own folder"},
        BadPack{"SampleNameClimbsOut",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("bad", {"../../x.wav"})); },
                "not a plain file name"},
        BadPack{"SampleNameHasAFolder",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("bad", {"Library/x.wav"})); },
                "not a plain file name"},
        BadPack{"SampleNameIsAbsolute",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("bad", {"/tmp/x.wav"})); },
                "not a plain file name"},
        BadPack{"SampleNameHasAControlCharacter",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("bad", {"x\\u0001.wav"})); },
                "not a plain file name"},
        BadPack{"SampleNameHasANul",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("bad", {"x\\u0000.wav"})); },
                "not a usable pack"},
        BadPack{"SampleOfAnotherPack",
                [](StoreServer& s, store::StoreSettings&) { s.put("bad.pack", packText("bad", {"one.wav", "mine.wav"})); },
                "mine.wav would replace a sample of the pack \"mine\""},
        BadPack{"CredentialsRefused",
                [](StoreServer& s, store::StoreSettings&) { s.put("two.wav", StoreServer::File{"", 401}); },
                "refused the credentials"}),
    [](const ::testing::TestParamInfo<BadPack>& info) { return std::string(info.param.name); });

TEST_F(PackStoreTest, AServerStreamingWithoutEndIsStoppedAtTheLimitAndNothingIsStored) {
    constexpr uint64_t kLimit = 1024 * 1024;
    world.settings().maximumFileSize = kLimit;
    server().put("bad.pack", packText("bad", {"one.wav", "two.wav"}));
    server().put("one.wav", waveBytes());
    server().put("two.wav", StoreServer::File{std::string(64 * 1024, 'x'), 200, 0, false, /*endless=*/true});
    server().setCatalogue("[" + catalogueEntry("bad", {"bad.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    const std::string before = world.snapshot();

    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    const auto progress = world.install("bad");
    logging::Log::flushLog();
    const auto lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(progress.phase, Phase::failed);
    EXPECT_EQ(progress.failure, "two.wav is larger than 1 MB");
    // Said once, in the words shown: not the client's own message again beside it.
    size_t mentions = 0;
    for (const std::string& line : lines)
        for (size_t at = line.find("larger than"); at != std::string::npos; at = line.find("larger than", at + 1)) ++mentions;
    EXPECT_EQ(mentions, 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(world.snapshot(), before);
    EXPECT_TRUE(world.pumpUntil([&] { return stagingIsEmpty(); }));
    // The client hung up at the limit: the server saw its answer end, having
    // handed its socket no more than the limit and what the sockets buffer.
    ASSERT_TRUE(world.pumpUntil([&] { return server().endlessAnswersEnded() == 1; }));
    EXPECT_GE(server().endlessBytesSent(), kLimit);
    EXPECT_LT(server().endlessBytesSent(), kLimit + 16 * 1024 * 1024);
}

TEST_F(PackStoreTest, ACatalogueOrIconThatTricklesInIsGivenUpAtItsLimitOrItsMinimumSpeed) {
    struct Case {
        const char* name;
        bool icon;
        uint64_t minimumBytesPerSecond;
        int secondsToFail;
    } cases[] = {
        {"catalogue, the whole request's limit", false, 0, 8},
        {"catalogue, the minimum speed", false, 100, 5},
        {"icon, the whole request's limit", true, 0, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreWorld fresh;
        const std::string catalogue = "[" + catalogueEntry("deepkit", {"deepkit.pack"}, "deepkit.png") + "]";
        fresh.server().put("ItemsList.json", StoreServer::File{catalogue, 200, 0, false, false, !c.icon});
        fresh.server().put("icons/deepkit.png", StoreServer::File{std::string(4096, 'p'), 200, 0, false, false, true});
        fresh.settings().catalogueTimeLimitSeconds = 8;
        fresh.settings().iconTimeLimitSeconds = 6;
        fresh.settings().minimumBytesPerSecond = c.minimumBytesPerSecond;
        fresh.settings().minimumSpeedSeconds = 5;
        bool iconEnded = false;
        std::vector<uint8_t> icon{1};
        if (c.icon) {
            ASSERT_TRUE(fresh.launchAndLoad());
            ASSERT_EQ(fresh.observer().items.size(), 1u);
            fresh.store().fetchStoreItemIcon(fresh.observer().items[0], [&](std::vector<uint8_t> bytes) {
                icon = std::move(bytes);
                iconEnded = true;
            });
        } else {
            fresh.launch();
        }
        auto ended = [&] { return c.icon ? iconEnded : fresh.observer().loadingError.has_value(); };
        // Time counts from when the request went out.
        const std::string asked = c.icon ? "icons/deepkit.png" : "ItemsList.json";
        ASSERT_TRUE(fresh.pumpUntil([&] { return fresh.server().requestCount(asked) == 1; }));
        // A byte a second: never silent for long, never done either.
        for (int second = 1; second < c.secondsToFail; ++second) {
            fresh.world().wait(1.0);
            fresh.server().letOneByteTrickle();
            ASSERT_TRUE(fresh.pumpUntil([&] { return fresh.server().tricklingBytesSent() == size_t(second) || ended(); }));
            ASSERT_FALSE(ended()) << "given up after " << second << " s";
        }
        fresh.world().wait(1.0);
        fresh.server().letOneByteTrickle();
        ASSERT_TRUE(fresh.pumpUntil(ended));
        if (c.icon) {
            EXPECT_TRUE(icon.empty());
        } else {
            EXPECT_NE(fresh.observer().loadingError->message().find("timed out"), std::string::npos)
                << fresh.observer().loadingError->message();
        }
    }
}

TEST_F(PackStoreTest, CredentialsRefusedForTheCatalogueAreSaidSo) {
    server().setCatalogue("[]");
    world.settings().password = "wrong";
    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_TRUE(world.observer().loadingError.has_value());
    EXPECT_EQ(world.observer().loadingError->code, store::StoreErrorCredentialsRefused);
    EXPECT_EQ(world.store().storeItems(), nullptr);
}

TEST_F(PackStoreTest, CredentialsGoOnlyWhereTheUserSetThem) {
    struct Case {
        const char* name;
        bool userSetThem;
        bool serverAsks;
        std::string sent;  // every request's Authorization header
    } cases[] = {
        {"none set, none asked", false, false, ""},
        {"set in the environment", true, true, "Basic ZHJ1bW1lcjpzM2NyZXQ="},
        {"none set, but asked", false, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreWorld fresh;
        fresh.server().setCredentialsRequired(c.serverAsks);
        fresh.server().put("deepkit.pack", packText("deepkit", {"kick.wav"}, "Deep Kit"));
        fresh.server().put("kick.wav", waveBytes());
        fresh.server().put("icons/deepkit.png", "png");
        fresh.server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}, "deepkit.png") + "]");
        if (c.userSetThem) {
            setenv("STROMBEL_STORE_USER", kStoreUser, 1);
            setenv("STROMBEL_STORE_PASSWORD", kStorePassword, 1);
        }
        fresh.settings() = store::StoreSettings::fromEnvironment();
        unsetenv("STROMBEL_STORE_USER");
        unsetenv("STROMBEL_STORE_PASSWORD");
        fresh.settings().setBaseURL(fresh.server().baseURL());
        ASSERT_TRUE(fresh.launchAndLoad());
        if (c.serverAsks && !c.userSetThem) {
            ASSERT_TRUE(fresh.observer().loadingError.has_value());
            EXPECT_EQ(fresh.observer().loadingError->code, store::StoreErrorCredentialsRefused);
            EXPECT_NE(fresh.observer().loadingError->message().find("STROMBEL_STORE_USER"), std::string::npos)
                << "the user learns how to give them: " << fresh.observer().loadingError->message();
        } else {
            ASSERT_EQ(fresh.observer().items.size(), 1u);
            EXPECT_EQ(fresh.install("deepkit").phase, Phase::installed);
            bool iconCame = false;
            fresh.store().fetchStoreItemIcon(fresh.observer().items[0], [&](std::vector<uint8_t>) { iconCame = true; });
            ASSERT_TRUE(fresh.pumpUntil([&] { return iconCame; }));
        }
        const auto sent = fresh.server().authorizations();
        ASSERT_FALSE(sent.empty());
        for (const std::string& header : sent) EXPECT_EQ(header, c.sent);
    }
}

TEST_F(PackStoreTest, WithoutAStoreServerNothingIsAskedAndTheLoadingFails) {
    world.settings() = store::StoreSettings();  // the built-in ".invalid" address
    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_TRUE(world.observer().loadingError.has_value());
    EXPECT_EQ(world.observer().loadingError->code, store::StoreErrorUnreachable);
    EXPECT_NE(world.observer().loadingError->message().find("--store-url"), std::string::npos);
    EXPECT_FALSE(world.store().isLoadingStoreItems());
}

TEST_F(PackStoreTest, TheServerStoppingMidInstallFailsTheItem) {
    serveDeepKit();
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    const std::string before = world.snapshot();
    server().stop();
    const auto progress = world.install("deepkit");
    EXPECT_EQ(progress.phase, Phase::failed);
    EXPECT_NE(progress.failure.find("could not be fetched"), std::string::npos) << progress.failure;
    EXPECT_EQ(world.snapshot(), before);
}

struct BadCatalogue {
    const char* name;
    std::function<void(StoreServer&)> serve;
    int64_t code;
};
void PrintTo(const BadCatalogue& bad, std::ostream* out) { *out << bad.name; }

class BadCatalogueTest : public PackStoreTest, public ::testing::WithParamInterface<BadCatalogue> {};

TEST_P(BadCatalogueTest, FailsTheLoadingAndKeepsTheEarlierCatalogue) {
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_EQ(world.observer().loaded, 1);
    GetParam().serve(server());
    world.library().fetchStoreItems();
    ASSERT_TRUE(world.pumpUntil([&] { return world.observer().loadingError.has_value(); }));
    EXPECT_EQ(world.observer().loadingError->code, GetParam().code) << world.observer().loadingError->description();
    ASSERT_NE(world.store().storeItems(), nullptr);
    EXPECT_EQ(world.store().storeItems()->size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, BadCatalogueTest,
    ::testing::Values(BadCatalogue{"NotJson", [](StoreServer& s) { s.setCatalogue("[{"); }, store::StoreErrorNotJson},
                      BadCatalogue{"NotAList", [](StoreServer& s) { s.setCatalogue("{\"id\": 1}"); },
                                   store::StoreErrorNotAList},
                      BadCatalogue{"AboveOneMebibyte",
                                   [](StoreServer& s) { s.setCatalogue("[" + std::string(1024 * 1024, ' ') + "]"); },
                                   store::StoreErrorTooLarge},
                      BadCatalogue{"ServerError",
                                   [](StoreServer& s) { s.put("ItemsList.json", StoreServer::File{"down", 503}); },
                                   store::StoreErrorHttpStatus},
                      BadCatalogue{"ServerGone", [](StoreServer& s) { s.stop(); }, store::StoreErrorUnreachable}),
    [](const ::testing::TestParamInfo<BadCatalogue>& info) { return std::string(info.param.name); });

TEST_F(PackStoreTest, ADeletedSampleFileOfAnInstalledPackComesBackOncePerRun) {
    serveDeepKit();
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_EQ(world.install("deepkit").phase, Phase::installed);
    const std::string installed = world.snapshot();
    std::filesystem::remove(world.downloads() / "snare.wav");
    EXPECT_EQ(server().requestCount("snare.wav"), 1u);

    ASSERT_TRUE(world.launchAndLoad());
    ASSERT_TRUE(world.pumpUntil([&] { return std::filesystem::exists(world.downloads() / "snare.wav"); }));
    world.pumpUntil([&] { return world.store().networkQueue().requestsCount() == 0; });
    EXPECT_EQ(server().requestCount("snare.wav"), 2u);
    EXPECT_EQ(server().requestCount("kick.wav"), 1u);
    EXPECT_EQ(world.snapshot(), installed);

    // Once per run: a second catalogue in the same run does not look again.
    std::filesystem::remove(world.downloads() / "snare.wav");
    world.library().fetchStoreItems();
    ASSERT_TRUE(world.pumpUntil([&] { return world.observer().loaded == 3; }));
    world.pumpUntil([&] { return world.store().networkQueue().requestsCount() == 0; });
    EXPECT_EQ(server().requestCount("snare.wav"), 2u);
}

TEST_F(PackStoreTest, AFullDiskIsReported) {
    std::string why;
    auto caches = TestMount::tmpfs(world.world().root() / "Library" / "Caches", 256 * 1024, why);
    if (!caches) GTEST_SKIP() << "cannot mount a small file system here: " << why;
    server().put("big.pack", packText("big", {"big.wav"}));
    server().put("big.wav", waveBytes(200000));  // 400 kB
    server().setCatalogue("[" + catalogueEntry("big", {"big.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    const std::string before = world.snapshot();
    const auto progress = world.install("big");
    EXPECT_EQ(progress.phase, Phase::failed);
    EXPECT_NE(progress.failure.find("does not fit on the disk"), std::string::npos) << progress.failure;
    EXPECT_EQ(world.snapshot(), before);
}

TEST_F(PackStoreTest, ALibraryDestroyedMidDownloadHearsNothingMore) {
    serveDeepKit();
    server().setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}) + "]");
    ASSERT_TRUE(world.launchAndLoad());
    server().setDelay(std::chrono::milliseconds(30));
    world.store().downloadStoreItem("deepkit");
    ASSERT_TRUE(world.pumpUntil([&] { return server().requestCount("kick.wav") > 0; }));
    const size_t heard = world.observer().events.size();
    world.quit();
    world.world().loop().runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    world.world().loop().runPending();
    EXPECT_EQ(world.observer().events.size(), heard);
}

TEST_F(PackStoreTest, TheStoreCacheIsTheDefaultWhileTheStoreLives) {
    server().setCatalogue("[]");
    ASSERT_TRUE(world.launchAndLoad());
    EXPECT_EQ(http::HttpRequest::defaultCache(), world.store().downloadCache());
    EXPECT_FALSE(world.store().networkQueue().shouldCancelAllRequestsOnFailure());
    world.quit();
    EXPECT_EQ(http::HttpRequest::defaultCache(), nullptr);
}

}  // namespace
}  // namespace strombel::testing

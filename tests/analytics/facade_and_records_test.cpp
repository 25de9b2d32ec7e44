// The facade's checks and texts, the session's limits and the record formats.

#include <zlib.h>

#include <atomic>
#include <random>
#include <thread>

#include "analytics_test_support.h"
#include "envelope_reader.h"

namespace strombel::analytics::testing {
namespace {

using P = UsageProtocolData;

class FacadeTest : public AnalyticsTest {
protected:
    void start() {
        Usage::setServerURL("http://127.0.0.1:9/aas.do");  // nothing listens; uploads fail and stay
        Usage::startSession("key");
        settle();
    }
    UsageSession& session() {
        UsageSession* live = nullptr;
        UsageSession::currentSession()->withSession([&](UsageSession* s) { live = s; });
        return *live;
    }
    void advanceMillis(uint64_t millis) { clock.advance(millis * platform::kNanosPerMillisecond); }
};

TEST_F(FacadeTest, ArgumentsThatAreNotTextsAreRefusedWithTheClientsMessages) {
    start();
    struct Case {
        std::function<void()> call;
        std::string message;
    } cases[] = {
        {[] { Usage::logEvent(json::Value(42)); }, "Usage: Event not logged -- eventName must be of NSString type."},
        {[] { Usage::endTimedEvent(json::Value(), json::Value()); }, "Usage: Event not logged -- eventName must be of NSString type."},
        {[] { Usage::setGender(json::Value(1)); }, "Usage: setGender failed -- gender must be of NSString type."},
        {[] { Usage::addOrigin(json::Value(), "1"); }, "Usage: Origin not added -- originName must be of NSString type."},
        {[] { Usage::addOrigin("a", json::Value(2)); }, "Usage: Origin not added -- originVersion must be of NSString type."},
        {[] { Usage::logError(json::Value(3), "m", std::optional<platform::Error>()); }, "Usage: Error not logged -- errorId must be of NSString type."},
        {[] { Usage::logError("e", json::Value(), std::optional<UsageException>()); }, "Usage: Error not logged -- message must be of NSString type."},
    };
    for (const Case& test : cases) {
        clearLines();
        test.call();
        EXPECT_TRUE(logged(test.message)) << test.message;
    }
    settle();
    EXPECT_TRUE(session().eventCounts.empty());
    EXPECT_TRUE(session().errors.empty());
    EXPECT_TRUE(UsageGlobalVariableStorage::sharedInstance()->originSets().empty());
}

TEST_F(FacadeTest, AClosedGateNamesTheOperationAndDoesNothing) {
    start();
    Usage::setSendUsageInfoEnabled(false);
    json::Value parameters = json::Value::object({{"pad", json::Value("1")}});
    struct Case {
        std::function<void()> call;
        std::string operation;
    } cases[] = {
        {[] { Usage::logEvent("Play"); }, "+[Usage logEvent:]"},
        {[&] { Usage::logEvent("Play", parameters); }, "+[Usage logEvent:withParameters:]"},
        {[] { Usage::logEvent("Play", true); }, "+[Usage logEvent:timed:]"},
        {[&] { Usage::logEvent("Play", parameters, true); }, "+[Usage logEvent:withParameters:timed:]"},
        {[] { Usage::addOrigin("drums", "1"); }, "+[Usage addOrigin:withVersion:]"},
        {[&] { Usage::addOrigin("drums", "1", parameters); }, "+[Usage addOrigin:withVersion:withParameters:]"},
        {[] { Usage::pauseSession(); }, "+[Usage pauseSession]"},
    };
    for (const Case& test : cases) {
        clearLines();
        test.call();
        EXPECT_EQ(lines(), std::vector<std::string>{"Usage: " + test.operation + " disabled."});
    }
    Usage::setSendUsageInfoEnabled(true);
    settle();
    EXPECT_TRUE(session().eventCounts.empty());
    EXPECT_FALSE(session().isPaused());
    EXPECT_TRUE(UsageGlobalVariableStorage::sharedInstance()->originSets().empty());
}

TEST_F(FacadeTest, ASecondStartOnlyLogsAndTheFirstSessionStands) {
    start();
    UsageDate first = session().startTime;
    advanceMillis(5000);
    Usage::startSession("other");
    settle();
    EXPECT_TRUE(logged("Usage: startSession has been called already. It should only be called once. Returning."));
    EXPECT_EQ(session().startTime, first);
    EXPECT_EQ(session().apiKey, "key");
}

TEST_F(FacadeTest, AppVersionAgeAndGenderFollowTheirRules) {
    Usage::setAppVersion("1.0");
    start();
    Usage::setAppVersion("2.0");
    EXPECT_TRUE(logged("Usage: Please call setAppVersion before startSession."));
    EXPECT_EQ(UsageGlobalVariableStorage::sharedInstance()->appVersion(), "1.0");

    Usage::setAge(30);
    settle();
    std::optional<UsageDate> birth = session().age;
    ASSERT_TRUE(birth.has_value());
    for (int age : {0, 151}) {
        Usage::setAge(age);
        settle();
        EXPECT_EQ(UsageGlobalVariableStorage::sharedInstance()->age.load(), age);
        EXPECT_EQ(session().age, birth) << age;
    }
    for (auto [text, gender] : std::vector<std::pair<std::string, int>>{{"m", 1}, {"f", 0}, {"x", -1}, {"M", -1}}) {
        Usage::setGender(text);
        settle();
        EXPECT_EQ(session().gender, gender) << text;
    }
}

TEST_F(FacadeTest, BecomingActiveResumesWithinTheContinueTimeAndStartsAnewAfterIt) {
    start();
    struct Case {
        int32_t continueSeconds;
        uint64_t pausedMillis;
        bool resumes;
    } cases[] = {{10, 10'000, true}, {10, 10'001, false}, {2'000'000'000, 3'000'000, true}};
    for (const Case& test : cases) {
        Usage::setSessionContinueSeconds(test.continueSeconds);
        UsageDate before = session().startTime;
        center.post(platform::kApplicationWillResignActiveNotification);
        settle();
        advanceMillis(test.pausedMillis);
        center.post(platform::kApplicationDidBecomeActiveNotification);
        settle();
        EXPECT_EQ(session().startTime == before, test.resumes) << test.continueSeconds << " s, " << test.pausedMillis << " ms";
        EXPECT_FALSE(session().isPaused());
    }
}

TEST_F(FacadeTest, BecomingActiveWithoutAPauseResumes) {
    start();
    UsageDate before = session().startTime;
    advanceMillis(60'000);
    Usage::applicationDidBecomeActive();
    settle();
    EXPECT_EQ(session().startTime, before);
}

TEST_F(FacadeTest, AStartAfterShutdownRegistersNoSecondSetOfObservers) {
    start();
    Usage::shutdown();
    Usage::setServerURL("http://127.0.0.1:9/aas.do");
    Usage::startSession("key");
    settle();
    Usage::setSessionReportsOnPauseEnabled(false);
    clearLines();
    center.post(platform::kApplicationWillResignActiveNotification);
    settle();
    auto all = lines();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string& line) {
                  return line.rfind("UsageSession: Pause session with pauseTime[", 0) == 0;
              }),
              1);
}

TEST_F(FacadeTest, AfterShutdownNothingOpensASessionUntilTheNextStart) {
    Usage::setAppVersion("1.0");
    start();
    Usage::shutdown();
    // The observers stay: a pause longer than the continue time, then becoming
    // active, would open a new session if they still acted.
    center.post(platform::kApplicationWillResignActiveNotification);
    advanceMillis(60'000);
    center.post(platform::kApplicationWillEnterForegroundNotification);
    center.post(platform::kApplicationDidBecomeActiveNotification);
    settle();
    EXPECT_EQ(UsageSession::currentSession(), nullptr);
    EXPECT_FALSE(UsageGlobalVariableStorage::sharedInstance()->pauseTime().has_value());

    clearLines();
    Usage::setAppVersion("2.0");
    EXPECT_FALSE(logged("Usage: Please call setAppVersion before startSession."));
    start();
    EXPECT_EQ(session().appVersion, "2.0");
}

TEST_F(FacadeTest, LaunchOptionValuesOfEveryKindAreKeptAsTexts) {
    // A boolean is a number here, as under the URL key, where it reads "1".
    Usage::setLaunchOptions(json::Value::object({{"UIApplicationLaunchOptionsURLKey", json::Value(true)}}));
    Usage::setLaunchOptions(json::Value::object({
        {"background", json::Value(true)},
        {"retries", json::Value(2)},
        {"tags", json::Value::array({json::Value(false), json::Value("x"), json::Value::object({})})},
        {"nothing", json::Value()},
    }));
    std::map<std::string, std::vector<std::string>> expected{
        {"UIApplicationLaunchOptionsURLKey", {"1"}},
        {"background", {"1"}},
        {"retries", {"2"}},
        {"tags", {"0", "x"}},
    };
    EXPECT_EQ(UsageGlobalVariableStorage::sharedInstance()->launchOptions(), expected);
}

TEST_F(FacadeTest, AnErrorWithCrashReportingTurnedOnAfterTheStartSaysWhyItHasNoReport) {
    start();  // crash reporting is off: no crash reporter is made
    Usage::setCrashReportingEnabled(true);
    Usage::logError("E1", "the disk is full", std::optional<platform::Error>());
    settle();
    EXPECT_TRUE(loggedStartingWith("UsageSession: Failed to generate crash report: "));
    ASSERT_EQ(session().errors.size(), 1u);
    EXPECT_TRUE(session().errors[0].reportData.empty());
}

TEST_F(FacadeTest, ViewsInQuickSuccessionCountOneInEveryThirdOfASecond) {
    start();
    // Views 0.2 s apart: each is measured from the last one counted.
    for (int view = 0; view < 7; ++view) {
        Usage::logPageView();
        settle();
        advanceMillis(200);
    }
    EXPECT_EQ(session().pageViewCount, 4) << "at 0, 0.4, 0.8 and 1.2 s";
}

TEST_F(FacadeTest, OptingOutTwiceEndsTheSessionOnce) {
    start();
    Usage::setUsageOptOut(true);
    settle();
    EXPECT_TRUE(Usage::hasUserOptedOut());
    EXPECT_FALSE(UsageGlobalVariableStorage::sharedInstance()->optOutSessionPending.load()) << "the send took it";
    clearLines();
    Usage::setUsageOptOut(true);
    settle();
    EXPECT_FALSE(loggedStartingWith("UsageSession: Finish session"));
}

TEST_F(FacadeTest, PausingABackgroundSessionOnlyHappensInTheBackground) {
    start();
    for (auto state : {platform::Application::kActive, platform::Application::kInactive}) {
        application.setApplicationState(state);
        Usage::pauseBackgroundSession();
        settle();
        EXPECT_FALSE(session().isPaused());
    }
    application.setApplicationState(platform::Application::kBackground);
    Usage::pauseBackgroundSession();
    settle();
    EXPECT_TRUE(session().isPaused());
}

TEST_F(FacadeTest, SessionLimitsOnNamesEventsParametersAndErrors) {
    start();
    UsageSession& live = session();
    UsageSession::currentSession()->withSession([&](UsageSession*) {
        for (int i = 0; i < 100; ++i) live.recordEvent("name" + std::to_string(i), json::Value(), false);
        live.recordEvent("name100", json::Value(), false);
    });
    EXPECT_EQ(live.eventCounts.count("name100"), 0u);
    EXPECT_FALSE(live.eventLogComplete);
    UsageSession::currentSession()->withSession([&](UsageSession*) {
        for (int i = 0; i < 950; ++i) live.recordEvent("name1", json::Value(), false);
    });
    EXPECT_EQ(live.eventLog.size(), 1000u);
    EXPECT_EQ(live.eventCounts["name1"], 951) << "counted even when not kept";

    json::ObjectBuilder eleven;
    for (int i = 0; i < 11; ++i) eleven.set("p" + std::to_string(i), json::Value(i));
    UsageSession::currentSession()->withSession([&](UsageSession*) {
        live.eventLog.clear();
        live.eventCounts.clear();
        live.recordEvent("big", eleven.build(), false);
        json::ObjectBuilder ten;
        for (int i = 0; i < 10; ++i) ten.set("p" + std::to_string(i), json::Value(i));
        live.recordEvent("timed", ten.build(), true);
        live.endTimedEvent("timed", json::Value::object({{"extra", json::Value("x")}}));
        for (int i = 0; i < 12; ++i) live.recordError("E", "m", std::nullopt, 1, {});
    });
    EXPECT_EQ(live.eventCounts.count("big"), 0u);
    ASSERT_EQ(live.eventLog.size(), 1u);
    EXPECT_EQ(live.eventLog[0].parameters.size(), 10u) << "a merge to 11 keeps the old parameters";
    EXPECT_FALSE(live.eventLog[0].parameters.contains("extra"));
    EXPECT_TRUE(live.eventLog[0].ended.has_value());
    EXPECT_EQ(live.errors.size(), 10u);
    EXPECT_EQ(live.totalErrorCount, 12);
}

TEST_F(FacadeTest, CrashDataAddsATypeThreeErrorAfterTheHighestId) {
    start();
    UsageSession& live = session();
    std::optional<Bytes> record;
    UsageSession::currentSession()->withSession([&](UsageSession*) {
        live.errors.clear();
        live.totalErrorCount = 5;
        for (int id : {4, 9}) {
            UsageError error = UsageError::errorWithString("E", "m", std::nullopt, 1, {}, live.startTime);
            error.errorID = id;
            live.errors.push_back(error);
        }
        live.crashReportData = {'c', 'r', 'a', 's', 'h'};
        record = live.data();
    });
    ASSERT_TRUE(record);
    std::string bytes(record->begin(), record->end());
    ByteReader in(bytes);
    SessionRecord decoded = readSession(in);
    EXPECT_EQ(decoded.totalErrors, 6);
    ASSERT_EQ(decoded.errors.size(), 3u);
    EXPECT_EQ(decoded.errors[2].id, 10);
    EXPECT_EQ(decoded.errors[2].type, 3);
    EXPECT_EQ(decoded.errors[2].report, "crash");
}

TEST_F(FacadeTest, FiftySavedSessionsKeepTheNewest) {
    start();
    UsageSession::currentSession()->withSession([&](UsageSession*) {
        std::vector<Bytes> records;
        for (int i = 0; i < 50; ++i) records.push_back(Bytes{static_cast<uint8_t>(i)});
        UsageSession::setSavedSessions(records);
        UsageSession::addToSavedSessions(session());
        std::vector<Bytes> saved = UsageSession::savedSessions();
        ASSERT_EQ(saved.size(), 50u);
        EXPECT_EQ(saved.front(), Bytes{1}) << "the oldest went";
        EXPECT_GT(saved.back().size(), 1u) << "the new record is last";
    });
}

TEST_F(FacadeTest, TrackedValuesAreChangedOnceThenUnchanged) {
    start();
    UsageSession::currentSession()->withSession([&](UsageSession*) {
        EXPECT_EQ(UsageSession::updateIfTrackedAndChangedPropertyValue("de_DE", "device.locale"), 1);
        EXPECT_EQ(UsageSession::updateIfTrackedAndChangedPropertyValue("de_DE", "device.locale"), 2);
        EXPECT_EQ(UsageSession::updateIfTrackedAndChangedPropertyValue("fr_FR", "device.locale"), 1);
        EXPECT_EQ(UsageSession::updateIfTrackedAndChangedPropertyValue("x", "memory.total"), 0);
    });
}

// ---- Record formats ----

TEST(UsageProtocolDataTest, PrimitiveEncodingsAreBigEndian) {
    struct Case {
        std::function<void(Bytes&)> write;
        Bytes expected;
    } cases[] = {
        {[](Bytes& d) { P::appendBoolean(true, d); }, {1}},
        {[](Bytes& d) { P::appendByte(-1, d); }, {0xFF}},
        {[](Bytes& d) { P::appendUshort(0x12345, d); }, {0x23, 0x45}},
        {[](Bytes& d) { P::appendInt(-2, d); }, {0xFF, 0xFF, 0xFF, 0xFE}},
        {[](Bytes& d) { P::appendLong(0x0102030405060708, d); }, {1, 2, 3, 4, 5, 6, 7, 8}},
        {[](Bytes& d) { P::appendFloat(1.0f, d); }, {0x3F, 0x80, 0, 0}},
        {[](Bytes& d) { P::appendDouble(-2.0, d); }, {0xC0, 0, 0, 0, 0, 0, 0, 0}},
        {[](Bytes& d) { P::appendTimestamp(1.2345, d); }, {0, 0, 0, 0, 0, 0, 0x04, 0xD2}},
        {[](Bytes& d) { P::appendString("ab", d); }, {0, 2, 'a', 'b'}},
        {[](Bytes& d) { P::appendTinyData(Bytes{9}, d); }, {1, 9}},
        {[](Bytes& d) { P::appendShortData(Bytes{9}, d); }, {0, 1, 9}},
        {[](Bytes& d) { P::appendLargeData(Bytes{9}, d); }, {0, 0, 0, 1, 9}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Bytes data;
        cases[i].write(data);
        EXPECT_EQ(data, cases[i].expected) << "case " << i;
    }
}

TEST(UsageProtocolDataTest, StringsAreCutAt255UnitsWithoutSplittingAPair) {
    struct Case {
        std::string text;
        size_t bytes;
    } cases[] = {
        {std::string(300, 'a'), 255},
        {std::string(255, 'a'), 255},
        {[] { std::string t; for (int i = 0; i < 10; ++i) t += "\xE2\x82\xAC"; return t; }(), 30},
        // 254 ASCII units and a character of two units: the pair is left out whole.
        {std::string(254, 'a') + "\xF0\x9F\xA5\x81" + "b", 254},
        {std::string(253, 'a') + "\xF0\x9F\xA5\x81" + "b", 257},
    };
    for (const Case& test : cases) {
        Bytes data;
        P::appendString(test.text, data);
        ASSERT_GE(data.size(), 2u);
        EXPECT_EQ(size_t(data[0]) << 8 | data[1], test.bytes);
        EXPECT_EQ(data.size(), test.bytes + 2);
    }
}

TEST(UsageProtocolDataTest, ReadsOutsideTheDataAreMalformed) {
    Bytes data{0x01, 0x1E, 0, 0, 0, 7};
    EXPECT_EQ(P::getInt16FromData(data, 0), 0x011E);
    EXPECT_EQ(P::getInt32FromData(data, 2), 7);
    for (int64_t index : {-1, 5, 6, 100}) {
        try {
            P::getInt16FromData(data, index);
            ADD_FAILURE() << index;
        } catch (const UsageException& exception) {
            EXPECT_EQ(exception.name(), "Malformed data");
        }
    }
    EXPECT_THROW(P::getInt32FromData(data, 3), UsageException);
}

TEST(UsageChecksumTest, EqualsZlibsCrc32AtEveryLengthAndAlignment) {
    std::mt19937 random(7);
    Bytes data(70000 + 16);
    for (auto& byte : data) byte = static_cast<uint8_t>(random());
    // Lengths around the folding's steps (16 and 64 bytes), from every alignment.
    for (size_t size : {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 1000, 4096, 65537}) {
        for (size_t offset = 0; offset < 16; offset += 5) {
            std::span<const uint8_t> bytes(data.data() + offset, size);
            uLong expected = crc32(0, bytes.data(), static_cast<uInt>(size));
            EXPECT_EQ(UsageUtil::dataChecksum(bytes), expected) << size << " at " << offset;
            EXPECT_EQ(usageCrc32Portable(bytes), expected) << size << " at " << offset;
            // Continued from an earlier checksum.
            uint32_t half = usageCrc32(bytes.first(size / 3));
            EXPECT_EQ(usageCrc32(bytes.subspan(size / 3), half), expected) << size << " at " << offset;
        }
    }
    EXPECT_EQ(UsageUtil::dataChecksum(Bytes{}), 0u);
}

TEST(KeyedArchiveTest, RoundTripsAndRefusesDamage) {
    ArchiveValue::Object object{"UsageEvent", {}};
    object.fields.emplace("name", ArchiveValue("Play"));
    object.fields.emplace("started", ArchiveValue(ArchiveDate{12.5}));
    object.fields.emplace("list", ArchiveValue(ArchiveValue::Array{ArchiveValue(1), ArchiveValue(Bytes{1, 2})}));
    ArchiveValue value(object);
    Bytes encoded = KeyedArchive::encode(value);
    EXPECT_EQ(KeyedArchive::decode(encoded), value);
    for (size_t i = 0; i < encoded.size(); ++i) {
        Bytes damaged = encoded;
        damaged[i] ^= 0x40;
        EXPECT_FALSE(KeyedArchive::decode(damaged)) << i;
    }
    EXPECT_FALSE(KeyedArchive::decode(Bytes(encoded.begin(), encoded.end() - 1)));
}

TEST_F(FacadeTest, ADamagedArchiveFileIsDeletedAndReadsAsAbsent) {
    std::filesystem::create_directories(usageFiles());
    std::filesystem::path file = usageFiles() / "random.archive";
    Bytes noise(200);
    std::mt19937 random(3);
    for (auto& byte : noise) byte = static_cast<uint8_t>(random());
    ASSERT_TRUE(UsageUtil::writeFileWhole(file, noise));
    EXPECT_FALSE(UsageUtil::safeUnarchiveObjectWithFile(file));
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(FacadeTest, ListsLongerThanTheirCountAllowsAreCutSoCountAndItemsAgree) {
    start();
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    for (int i = 0; i < 65600; ++i) storage->setLaunchOption("k" + std::to_string(i), {"v"});
    std::optional<Bytes> envelope;
    UsageSession::currentSession()->withSession([&](UsageSession* live) { envelope = live->dataForSessions({}); });
    ASSERT_TRUE(envelope);
    Envelope decoded = readEnvelope(std::string(envelope->begin(), envelope->end()));
    EXPECT_EQ(decoded.launchOptions.size(), 65535u);
    EXPECT_EQ(decoded.checksum, decoded.computedChecksum);
}

TEST_F(FacadeTest, SettingsWrittenOnManyThreadsWhileEnvelopesAreBuiltStayWhole) {
    start();
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 4; ++writer) {
        writers.emplace_back([&, writer] {
            for (int i = 0; !done.load(); ++i) {
                std::string tag = std::to_string(writer) + "-" + std::to_string(i % 64);
                Usage::setLaunchOptions(json::Value::object({{"option" + tag, json::Value("value" + tag)}}));
                Usage::addOrigin("origin" + tag, "1." + tag);
                Usage::setUserID("user" + tag);
                Usage::setGender(i % 2 ? "m" : "f");
            }
        });
    }
    for (int round = 0; round < 100; ++round) {
        std::optional<Bytes> envelope;
        UsageSession::currentSession()->withSession([&](UsageSession* live) { envelope = live->dataForSessions({}); });
        ASSERT_TRUE(envelope);
        Envelope decoded;
        ASSERT_NO_THROW(decoded = readEnvelope(std::string(envelope->begin(), envelope->end()))) << round;
        EXPECT_EQ(decoded.checksum, decoded.computedChecksum);
    }
    done.store(true);
    for (std::thread& writer : writers) writer.join();
    EXPECT_LE(UsageGlobalVariableStorage::sharedInstance()->launchOptions().size(), 4u * 64u);
}

TEST_F(FacadeTest, OriginsAndFileCachePrefixes) {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    std::vector<std::pair<std::string, std::string>> nine, ten;
    for (int i = 0; i < 9; ++i) nine.emplace_back("p" + std::to_string(i), "v");
    ten = nine;
    ten.emplace_back("p9", "v");
    EXPECT_TRUE(storage->recordOrigin("a", "1", nine));
    EXPECT_FALSE(storage->recordOrigin("b", "1", ten));
    EXPECT_TRUE(storage->recordOrigin("c", "1", {}));
    EXPECT_TRUE(storage->recordOrigin("a", "2", {}));
    auto origins = storage->originSets();
    ASSERT_EQ(origins.size(), 2u);
    EXPECT_EQ(origins.back().originName, "a");
    EXPECT_EQ(origins.back().parameters.front().second, "2");

    UsageFileCache cache("key", "140");
    for (std::string prefix : {"../x", "a/b", ".."}) EXPECT_FALSE(cache.save(ArchiveValue(1), prefix)) << prefix;
    EXPECT_TRUE(logged("UsageFileCache: object[1] cannot be saved to disk")) << "the object, not its prefix";
    ASSERT_TRUE(cache.save(ArchiveValue(7), "ok"));
    EXPECT_EQ(cache.get("ok"), ArchiveValue(7));
    // The application's key is part of the name too: with a folder of the first
    // part's name there, the file would land two folders up.
    std::filesystem::create_directories(usageFiles() / "usageCache_ok_x");
    UsageFileCache hostile("x/../../../precious", "140");
    EXPECT_FALSE(hostile.save(ArchiveValue(1), "ok"));
    EXPECT_FALSE(std::filesystem::exists(root() / "Library" / "precious_140.archive"));
}

TEST_F(FacadeTest, CookieMapRules) {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    for (int i = 0; i < 1000; ++i) storage->updateCookie("k" + std::to_string(i), {1});
    EXPECT_FALSE(UsageUtil::updateIfChangedCookieValue({1}, "new"));
    EXPECT_EQ(storage->persistentCookiesMap().size(), 1000u);
    EXPECT_FALSE(UsageUtil::updateIfChangedCookieValue({1}, "k1"));
    EXPECT_TRUE(UsageUtil::updateIfChangedCookieValue({2}, "k1"));
    EXPECT_TRUE(UsageUtil::updateIfChangedCookieValue({}, "k1"));
    EXPECT_EQ(storage->persistentCookiesMap().count("k1"), 0u);
}

}  // namespace
}  // namespace strombel::analytics::testing

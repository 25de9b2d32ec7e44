// The session's current-session file and archive, and the client's helpers: its
// log level and agent version, digests and URL texts, network status and
// heart-beat, and its server addresses.

#include <sys/inotify.h>
#include <unistd.h>

#include <future>

#include "analytics_test_support.h"
#include "envelope_reader.h"

namespace strombel::analytics::testing {
namespace {

using namespace platform::reachability_flags;

class SessionFileTest : public AnalyticsTest {
protected:
    void start() {
        Usage::setServerURL("http://127.0.0.1:9/aas.do");  // nothing listens; uploads fail and stay
        Usage::startSession("key");
        settle();
    }
    UsageImpl& queue() { return *UsageSession::currentSession(); }
    // Holds the analytics queue until the returned promise is kept.
    std::promise<void> holdQueue() {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        queue().queue().async([released] { released.wait(); });
        return release;
    }
    // Times the current-session file was put in place since the watch began.
    int currentFileWrites(int watch) {
        const std::string name = UsageSession::currentSessionFilePath().filename().string();
        int writes = 0;
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t length; (length = ::read(watch, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len && name == event->name) ++writes;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return writes;
    }
};

TEST_F(SessionFileTest, ABurstOfErrorsIsWrittenOnceAndAnEndedSessionsFileStaysGone) {
    start();
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, usageFiles().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE), 0);

    std::promise<void> release = holdQueue();
    for (int i = 0; i < 50; ++i) Usage::logError("E" + std::to_string(i), "the disk is full", std::optional<platform::Error>());
    release.set_value();
    settle();
    EXPECT_EQ(currentFileWrites(watch), 1);
    std::optional<ArchiveValue> kept = UsageUtil::safeUnarchiveObjectWithFile(UsageSession::currentSessionFilePath());
    ASSERT_TRUE(kept);
    std::unique_ptr<UsageSession> written = UsageSession::fromArchive(*kept);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->totalErrorCount, 50) << "the file holds every error logged before its write";
    EXPECT_EQ(written->errors.size(), 10u);

    // An error just before the end: the write it leaves waiting finds the session ended.
    release = holdQueue();
    Usage::logError("late", "m", std::optional<platform::Error>());
    queue().endSessionAsync();
    release.set_value();
    settle();
    EXPECT_FALSE(std::filesystem::exists(UsageSession::currentSessionFilePath()));
    ::close(watch);
}

TEST_F(SessionFileTest, ArchivingKeepsTheEventsFromBeforeTheResumeAndHandsOnTheRest) {
    AnalyticsServer server;
    Usage::setServerURL(server.url());
    Usage::setSessionReportsOnPauseEnabled(false);  // archived sessions go with the next start's envelope
    Usage::startSession("key");
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 1; }));
    auto second = [&] { clock.advance(platform::kNanosPerSecond); };
    center.post(platform::kApplicationWillResignActiveNotification);
    settle();
    second();
    Usage::logEvent("Paused");
    settle();
    for (int i = 0; i < 20; ++i) second();
    center.post(platform::kApplicationWillEnterForegroundNotification);
    Usage::logEvent("AtTheResume");  // at the very moment: not before it
    settle();
    clock.advance(platform::kNanosPerMillisecond);
    Usage::logEvent("AfterTheResume");
    settle();
    clock.advance(platform::kNanosPerMillisecond);
    UsageDate resumedAt = 0;
    UsageSession::currentSession()->withSession([&](UsageSession* live) { resumedAt = *live->resumeTime; });
    center.post(platform::kApplicationDidBecomeActiveNotification);  // past the continue time: a new session
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 2; }));
    ASSERT_TRUE(waitForUploadsToEnd());

    Envelope sent = readEnvelope(server.bodies()[1]);
    ASSERT_EQ(sent.sessions.size(), 1u);
    std::vector<std::string> archived;
    for (const EventRecord& event : sent.sessions[0].events) archived.push_back(event.name);
    EXPECT_EQ(archived, std::vector<std::string>{"Paused"});
    UsageSession::currentSession()->withSession([&](UsageSession* live) {
        std::vector<std::string> handedOn;
        for (const UsageEvent& event : live->eventLog) handedOn.push_back(event.name);
        EXPECT_EQ(handedOn, (std::vector<std::string>{"AtTheResume", "AfterTheResume"}));
        EXPECT_EQ(live->startTime, resumedAt) << "the new session starts with its first event";
    });
}

// ---- The facade's helpers ----

TEST_F(SessionFileTest, LogLevelsAndTheAgentVersion) {
    struct Case {
        int32_t level;
        bool debugShown;
        bool warningShown;
    } cases[] = {{0, false, false}, {1, false, true}, {2, true, true}, {3, true, true}};
    for (const Case& c : cases) {
        clearLines();
        Usage::setLogLevel(c.level);
        UsageUtil::log(2, "debug line");
        UsageUtil::log(1, "warning line");
        EXPECT_EQ(logged("debug line"), c.debugShown) << c.level;
        EXPECT_EQ(logged("warning line"), c.warningShown) << c.level;
    }
    Usage::setDebugLogEnabled(true);
    EXPECT_EQ(UsageUtil::logLevel(), 2);
    Usage::setDebugLogEnabled(false);
    EXPECT_EQ(UsageUtil::logLevel(), 1);

    EXPECT_EQ(Usage::getUsageAgentVersion(), "Usage_iOS_140_5.4.0");
    EXPECT_EQ(UsageSession::getAgentVersionWithBuild(), "Usage_iOS_140_5.4.0");
    EXPECT_EQ(UsageSession::getAgentVersion(), "140");
    start();
    EXPECT_TRUE(logged("Usage: Starting session on Agent Version [Usage_iOS_140_5.4.0] "));
}

// ---- Digests, URL texts and small helpers ----

TEST(UsageUtilHelpersTest, DigestsUrlTextsAndSmallHelpers) {
    const std::string abc = "abc";
    const Bytes abcBytes(abc.begin(), abc.end());
    EXPECT_EQ(UsageUtil::hashDataToHexString(UsageUtil::hashData(abcBytes)), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(UsageUtil::md5String(abc), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(UsageUtil::md5String(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(UsageUtil::hashDataToHexString(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");

    EXPECT_EQ(UsageUtil::encodeToPercentEscapeString("a b!*'();:@&=+$,/?%#[]~é"),
              "a%20b%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D~%C3%A9");
    EXPECT_EQ(UsageUtil::decodeFromPercentEscapeString("a%20b%2Fc%C3%A9"), "a b/cé");

    std::string header, keyValues;
    auto pairs = UsageUtil::createParamKeysDictFromUrlParams("app://open?pad=3&bank=drums&pad=4?x", &header, &keyValues);
    ASSERT_TRUE(pairs);
    EXPECT_EQ(header, "app://open");
    EXPECT_EQ(keyValues, "pad=3&bank=drums&pad=4?x");
    EXPECT_EQ(*pairs, (std::map<std::string, std::string>{{"pad", "4?x"}, {"bank", "drums"}}));
    EXPECT_FALSE(UsageUtil::createParamKeysDictFromUrlParams("app://open", &header, &keyValues));
    EXPECT_EQ(header, "app://open");

    EXPECT_EQ(UsageUtil::uint32FromNSUInteger(uint64_t{1} << 40), UINT32_MAX);
    EXPECT_EQ(UsageUtil::int32FromNSInteger(-(int64_t{1} << 40)), INT32_MIN);
    EXPECT_EQ(UsageUtil::int32FromNSInteger(-7), -7);
    const Bytes hay{1, 2, 3, 2, 3};
    EXPECT_EQ(UsageUtil::usageRangeOfData(Bytes{2, 3}, hay), (std::pair<size_t, size_t>{1, 2}));
    EXPECT_EQ(UsageUtil::usageRangeOfData(Bytes{3, 1}, hay), (std::pair<size_t, size_t>{0, 0}));
    EXPECT_EQ(UsageUtil::firstElementFromArray(json::Value::array({json::Value("a"), json::Value("b")})), json::Value("a"));
    EXPECT_TRUE(UsageUtil::firstElementFromArray(json::Value::emptyArray()).isNull());
}

// ---- Network status, heart-beat and addresses ----

class NetworkStatusTest : public AnalyticsTest {};

TEST_F(NetworkStatusTest, StatusesHeartBeatsAndTheSecureSwitch) {
    // A reachability's status becomes the record's: Wi-Fi 2, cellular 3, none 0,
    // and each change is told.
    int told = 0;
    auto statusObserver =
        center.addObserver(kUsageNetworkStatusChangedNotification, nullptr, [&](const platform::Notification&) { ++told; });
    struct Change {
        int32_t status;
        int32_t recorded;
        bool reachable;
    } changes[] = {{1, 2, true}, {2, 3, true}, {0, 0, false}, {1, 2, true}};
    for (const Change& change : changes) {
        UsageNetworkUtil::updateNetworkStatus(change.status);
        EXPECT_EQ(UsageNetworkUtil::networkStatus(), change.recorded) << change.status;
        EXPECT_EQ(UsageNetworkUtil::isNetworkReachable(), change.reachable) << change.status;
    }
    EXPECT_EQ(told, 4);

    int beats = 0;
    auto beatObserver = center.addObserver(kUsageHeartBeatNotification, nullptr, [&](const platform::Notification&) { ++beats; });
    UsageHeartBeater* beater = UsageHeartBeater::createAndStartInstance(1.0);
    EXPECT_EQ(UsageHeartBeater::createAndStartInstance(1.0), beater) << "one beater";
    for (int i = 0; i < 3; ++i) {
        clock.advance(platform::kNanosPerSecond);
        loop.runPending();
    }
    EXPECT_EQ(beats, 3);
    center.removeObserver(statusObserver);
    center.removeObserver(beatObserver);

    // The address is the process's: a case before this one may have left one
    // that is not http (the switch changes http's scheme only).
    UsageNetworkUtil::setServerURL("http://127.0.0.1:9/aas.do");
    const std::string report = UsageNetworkUtil::serverURL();
    UsageNetworkUtil::setSecureTransportEnabled(true);
    EXPECT_EQ(UsageNetworkUtil::serverURL(), "https" + report.substr(4));
    EXPECT_EQ(UsageNetworkUtil::adServerUrl(), "https://secure-ads.analytics.example/v11/getAds.do");
    EXPECT_EQ(UsageNetworkUtil::adLogServerUrl(), "https://secure-ads.analytics.example/postAdLog.do");
    UsageNetworkUtil::setSecureTransportEnabled(false);
    EXPECT_EQ(UsageNetworkUtil::serverURL(), report);
    EXPECT_EQ(UsageNetworkUtil::adServerUrl(), "http://ads.analytics.example/v11/getAds.do");
    EXPECT_EQ(UsageNetworkUtil::adLogServerUrl(), "http://ads.analytics.example/postAdLog.do");
}

}  // namespace
}  // namespace strombel::analytics::testing

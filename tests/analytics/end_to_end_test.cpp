// The client as an application starts it, against a loopback analytics server:
// what it posts, decoded by the test's own reader.

#include <zlib.h>

#include "analytics_test_support.h"
#include "envelope_reader.h"

namespace strombel::analytics::testing {
namespace {

std::string cookieAnswer(const std::vector<std::pair<std::string, std::string>>& cookies) {
    std::string body;
    auto u16 = [&](int value) {
        body.push_back(static_cast<char>((value >> 8) & 0xFF));
        body.push_back(static_cast<char>(value & 0xFF));
    };
    u16(0x011E);
    body.append(4, '\0');
    u16(0);
    u16(static_cast<int>(cookies.size()));
    for (const auto& [key, value] : cookies) {
        u16(static_cast<int>(key.size()));
        body += key;
        u16(static_cast<int>(value.size()));
        body += value;
    }
    u16(0);
    return body;
}

class EndToEndTest : public AnalyticsTest {
protected:
    AnalyticsServer server;

    void advanceSeconds(double seconds) { clock.advance(static_cast<uint64_t>(seconds * 1e9)); }

    bool waitForPosts(int count) {
        return pumpUntil([&] { return server.arrived() >= count; });
    }
};

TEST_F(EndToEndTest, ASessionWithEventsErrorsAndPageViewsReachesTheServerAndItsCookiesComeBack) {
    server.answer(200, cookieAnswer({{"visitor", "v-1"}}));
    Usage::setServerURL(server.url());
    Usage::setAppVersion("2.1");
    Usage::addOrigin("drums", "1.0");
    Usage::startSession(" key 1 ");
    ASSERT_TRUE(waitForPosts(1)) << "the start posts the saved sessions (none yet)";
    ASSERT_TRUE(waitForUploadsToEnd()) << "its answer's cookie goes into the next envelope";

    Usage::logEvent("Play");
    Usage::logEvent("Bank", json::Value::object({{"pad", json::Value("3")}, {"velocity", json::Value(100)}}));
    Usage::logEvent("Record", true);
    settle();  // times are taken on the analytics queue
    advanceSeconds(2);
    Usage::endTimedEvent("Record", json::Value::object({{"bars", json::Value(4)}}));
    Usage::logError("E1", "the disk is full", std::optional<platform::Error>(platform::Error::make("Disk", 28, "No space")));
    Usage::logPageView();
    settle();
    advanceSeconds(1);
    Usage::logPageView();
    Usage::logPageView();  // within 0.3 s of the last: not counted

    center.post(platform::kApplicationWillResignActiveNotification);  // pause: reports on pause are on
    ASSERT_TRUE(waitForPosts(2));
    // The end's envelope is posted while the pause's may still be on its way.
    advanceSeconds(5);
    center.post(platform::kApplicationWillEnterForegroundNotification);
    center.post(platform::kApplicationDidBecomeActiveNotification);  // 5 s < 10 s: the same session resumes
    Usage::logEvent("Stop");
    center.post(platform::kApplicationWillTerminateNotification);
    ASSERT_TRUE(waitForPosts(3));
    ASSERT_TRUE(waitForUploadsToEnd());
    for (const auto& entry : std::filesystem::directory_iterator(usageFiles())) {
        EXPECT_NE(entry.path().filename().string().size(), 36u) << "every block went after its 2xx answer";
    }

    std::vector<std::string> bodies = server.bodies();
    ASSERT_EQ(bodies.size(), 3u);
    Envelope first = readEnvelope(bodies[0]);
    EXPECT_EQ(first.checksum, first.computedChecksum);
    EXPECT_EQ(first.words[0], 29);
    EXPECT_EQ(first.words[1], 4);
    EXPECT_EQ(first.words[2], 1);
    EXPECT_EQ(first.platform, 8);
    EXPECT_EQ(first.agentVersion, 140);
    EXPECT_EQ(first.apiKey, "key1");
    EXPECT_EQ(first.appVersion, "2.1");
    ASSERT_EQ(first.identifiers.size(), 1u) << "only the vendor identifier exists here";
    EXPECT_EQ(first.identifiers.count(6), 1u);
    EXPECT_EQ(first.identifiers[6].size(), 36u);
    EXPECT_TRUE(first.adTracking);
    EXPECT_FALSE(first.sentBefore);
    EXPECT_EQ(first.sessions.size(), 0u);
    ASSERT_EQ(first.origins.size(), 1u);
    EXPECT_EQ(first.origins[0].first, "drums");
    EXPECT_EQ(first.origins[0].second.at("usageOriginVersion"), "1.0");
    EXPECT_EQ(first.deviceProperties.at("device.arch").first, "arm64");
    EXPECT_EQ(first.deviceProperties.at("scr.width").first, "768");
    EXPECT_EQ(first.deviceProperties.at("scr.width").second, 1) << "first sight of a tracked value";
    EXPECT_TRUE(first.cookies.empty());

    Envelope paused = readEnvelope(bodies[1]);
    EXPECT_EQ(paused.checksum, paused.computedChecksum);
    EXPECT_TRUE(paused.sentBefore);
    EXPECT_EQ(paused.cookies.at("visitor"), "v-1") << "the first answer's cookie comes back";
    EXPECT_EQ(paused.deviceProperties.at("scr.width").second, 2) << "unchanged since the last envelope";
    ASSERT_EQ(paused.sessions.size(), 1u);
    const SessionRecord& session = paused.sessions[0];
    EXPECT_EQ(session.version, 2);
    EXPECT_EQ(session.appVersion, "2.1");
    EXPECT_EQ(session.start, 1'700'000'001'000);
    EXPECT_EQ(session.length, 3000);
    EXPECT_EQ(session.pageViews, 2);
    EXPECT_EQ(session.gender, 0xFF);
    EXPECT_EQ(session.eventCounts.at("Play"), 1);
    ASSERT_EQ(session.events.size(), 3u);
    EXPECT_EQ(session.events[1].name, "Bank");
    EXPECT_EQ(session.events[1].parameters.at("pad"), "3");
    EXPECT_EQ(session.events[1].parameters.at("velocity"), "100");
    EXPECT_EQ(session.events[2].name, "Record");
    EXPECT_EQ(session.events[2].duration, 2000);
    EXPECT_EQ(session.events[2].parameters.at("bars"), "4");
    EXPECT_TRUE(session.eventLogComplete);
    EXPECT_EQ(session.totalErrors, 1);
    ASSERT_EQ(session.errors.size(), 1u);
    EXPECT_EQ(session.errors[0].errorString, "E1");
    EXPECT_EQ(session.errors[0].message, "the disk is full");
    EXPECT_EQ(session.errors[0].exception, "No space");
    EXPECT_EQ(session.errors[0].type, 1);
    EXPECT_TRUE(session.errors[0].report.empty()) << "crash reporting is off";
    EXPECT_EQ(session.parameters.at("device.locale").first, session.locale);
    EXPECT_EQ(session.parameters.count("memory.total"), 1u);

    Envelope ended = readEnvelope(bodies[2]);
    EXPECT_EQ(ended.checksum, ended.computedChecksum);
    ASSERT_EQ(ended.sessions.size(), 1u);
    const SessionRecord& resumed = ended.sessions[0];
    EXPECT_EQ(resumed.start, session.start) << "the resumed session is the same one";
    EXPECT_EQ(resumed.pause, 5000);
    EXPECT_EQ(resumed.events.back().name, "Stop");
    EXPECT_EQ(resumed.eventCounts.at("Stop"), 1);
}

TEST_F(EndToEndTest, SecureTransportChangesOnlyTheSchemeOfTheAddressSet) {
    Usage::setServerURL(server.url());
    // Asked before anything is sent: a report must never go to the built-in host.
    Usage::setSecureTransportEnabled(true);
    ASSERT_EQ(UsageNetworkUtil::serverURL(), "https" + server.url().substr(4));
    Usage::setSecureTransportEnabled(false);
    ASSERT_EQ(UsageNetworkUtil::serverURL(), server.url());
    Usage::startSession("key");
    EXPECT_TRUE(waitForPosts(1));
}

TEST_F(EndToEndTest, AnEndedSessionIsUploadedOnce) {
    Usage::setServerURL(server.url());
    Usage::startSession("key");
    ASSERT_TRUE(waitForPosts(1));
    Usage::logEvent("Play");
    center.post(platform::kApplicationWillTerminateNotification);  // sent on close
    ASSERT_TRUE(waitForPosts(2));
    ASSERT_TRUE(waitForUploadsToEnd());
    Usage::shutdown();
    Usage::startSession("key");  // sends the saved sessions
    ASSERT_TRUE(waitForPosts(3));
    ASSERT_TRUE(waitForUploadsToEnd());
    int copies = 0;
    for (const std::string& body : server.bodies()) {
        for (const SessionRecord& session : readEnvelope(body).sessions) {
            copies += static_cast<int>(session.eventCounts.count("Play"));
        }
    }
    EXPECT_EQ(copies, 1);
}

TEST_F(EndToEndTest, ASessionSentOnPauseIsUploadedOnceAndWhatCameAfterGoesWithTheNext) {
    Usage::setServerURL(server.url());
    Usage::setSessionReportsOnPauseEnabled(true);
    Usage::startSession("key");
    ASSERT_TRUE(waitForPosts(1));
    Usage::logEvent("Play");
    center.post(platform::kApplicationWillResignActiveNotification);  // sent on pause
    ASSERT_TRUE(waitForPosts(2));
    advanceSeconds(1);
    Usage::logEvent("Background");  // while paused
    settle();
    advanceSeconds(20);
    center.post(platform::kApplicationWillEnterForegroundNotification);
    center.post(platform::kApplicationDidBecomeActiveNotification);  // after the continue time: a new session
    ASSERT_TRUE(waitForPosts(3));
    ASSERT_TRUE(waitForUploadsToEnd());
    center.post(platform::kApplicationWillTerminateNotification);  // the new session, sent on close
    ASSERT_TRUE(waitForPosts(4));
    ASSERT_TRUE(waitForUploadsToEnd());
    std::map<std::string, int> copies;
    for (const std::string& body : server.bodies()) {
        for (const SessionRecord& session : readEnvelope(body).sessions) {
            for (const auto& [name, count] : session.eventCounts) copies[name] += 1;
        }
    }
    EXPECT_EQ(copies, (std::map<std::string, int>{{"Background", 1}, {"Play", 1}}));
}

TEST_F(EndToEndTest, AFailedUploadIsSentAgainAtTheNextStart) {
    server.answer(500);
    Usage::setServerURL(server.url());
    Usage::startSession("key");
    ASSERT_TRUE(waitForPosts(1));
    ASSERT_TRUE(waitForUploadsToEnd());
    Usage::logEvent("Play");
    center.post(platform::kApplicationWillTerminateNotification);
    ASSERT_TRUE(waitForPosts(2));
    settle();
    std::string rejected = server.bodies()[1];
    Usage::shutdown();

    server.answer(200);
    Usage::startSession("key");
    // Both stored blocks go again (side by side, in no fixed order), and the new
    // start's envelope.
    ASSERT_TRUE(waitForPosts(5));
    ASSERT_TRUE(waitForUploadsToEnd());
    std::vector<std::string> bodies = server.bodies();
    EXPECT_NE(std::find(bodies.begin() + 2, bodies.end(), rejected), bodies.end());
    Envelope again = readEnvelope(rejected);
    ASSERT_EQ(again.sessions.size(), 1u);
    EXPECT_EQ(again.sessions[0].events[0].name, "Play");
}

}  // namespace
}  // namespace strombel::analytics::testing

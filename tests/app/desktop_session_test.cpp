// The desktop session as the life-cycle: the window shown, minimised, restored
// and closed, and SIGTERM / SIGINT ending the program cleanly.

#include "app/desktop_session.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/tumblecraft_app_delegate.h"
#include "info/rating_prompt.h"
#include "platform/application_state.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

struct Journal {
    std::vector<std::string> lines;
};

struct JournalEngine : AppEngine {
    Journal& journal;
    explicit JournalEngine(Journal& j) : journal(j) {}
    bool start() override { return true; }
    void startOverrideIsPlayingCheck(bool) override { journal.lines.push_back("engine started"); }
    void stop() override { journal.lines.push_back("engine stopped"); }
    bool isRecording() const override { return false; }
    void clearUnusedCache() override { journal.lines.push_back("cache cleared"); }
    hub::AudioUnitHandle audioUnit() const override { return nullptr; }
};

struct StoppedSequencer : AppSequencer {
    bool isRunning() const override { return false; }
};

class DesktopSessionTest : public ::testing::Test {
protected:
    DesktopSessionTest() : engine_(journal_), prompt_(defaults_, "1.0") {
        AppParts parts;
        parts.engine = &engine_;
        parts.sequencer = &sequencer_;
        parts.notificationCenter = &center_;
        parts.crashUploadManager = &crash_;
        parts.network = &http::NetworkThread::shared();
        parts.ratingPrompt = &prompt_;
        delegate_ = std::make_unique<TumblecraftAppDelegate>(parts);
        delegate_->didFinishLaunchingWithOptions();
        prompt_.waitUntilIdle();
    }
    ~DesktopSessionTest() override { info::RatingPrompt::resetSettings(); }

    strombel::testing::TempDir dir_;
    platform::UserDefaults defaults_{dir_ / "defaults.sqlite"};
    Journal journal_;
    JournalEngine engine_;
    StoppedSequencer sequencer_;
    platform::NotificationCenter center_;
    platform::Sandbox sandbox_{dir_ / "root", dir_ / "bundle"};
    crash::CrashUploadManager crash_{{.sandbox = &sandbox_,
                                      .defaults = &defaults_,
                                      .bundle = &platform::MainBundle::shared(),
                                      .loop = &platform::MainLoop::shared(),
                                      .notifications = &center_,
                                      .network = &http::NetworkThread::shared()}};
    info::RatingPrompt prompt_;
    std::unique_ptr<TumblecraftAppDelegate> delegate_;
};

TEST_F(DesktopSessionTest, MinimisingIsTheBackgroundAndRestoringTheForeground) {
    int flushes = 0;
    DesktopSession session(*delegate_, [&] { ++flushes; }, platform::NotificationCenter::shared());
    QWidget window;
    session.watch(&window);
    window.show();
    QApplication::processEvents();
    ASSERT_EQ(journal_.lines, std::vector<std::string>{"engine started"}) << "shown is active";

    window.showMinimized();
    QApplication::processEvents();
    EXPECT_EQ(journal_.lines.back(), "engine stopped") << "nothing needs the engine in the background";

    window.showNormal();
    QApplication::processEvents();
    EXPECT_EQ(journal_.lines.back(), "engine started");
    prompt_.waitUntilIdle();
    EXPECT_EQ(defaults_.integerForKey(info::RatingPrompt::kUseCount), 2) << "the return counts as a use";
    EXPECT_EQ(flushes, 0);
}

TEST_F(DesktopSessionTest, BecomingActiveIsPostedAndCanBeAsked) {
    DesktopSession session(*delegate_, {}, center_);
    int posted = 0;
    auto observer = center_.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr,
                                        [&](const platform::Notification&) { ++posted; });
    QWidget window;
    session.watch(&window);
    EXPECT_FALSE(session.isActive());
    window.show();
    QApplication::processEvents();
    EXPECT_TRUE(session.isActive());
    EXPECT_EQ(posted, 1);
    window.showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(session.isActive());
    window.showNormal();
    QApplication::processEvents();
    EXPECT_EQ(posted, 2) << "each return is a new activation";
    center_.removeObserver(observer);
}

TEST_F(DesktopSessionTest, TerminationSignalsEndTheProgramCleanly) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        int flushes = 0;
        DesktopSession session(*delegate_, [&] { ++flushes; }, platform::NotificationCenter::shared());
        ASSERT_TRUE(session.catchTerminationSignals());
        bool quit = false;
        QTimer::singleShot(0, [&] { std::raise(signalNumber); });
        QTimer::singleShot(2000, [&] { QApplication::exit(1); });  // a guard; never reached when all is well
        QObject guard;
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &guard, [&] { quit = true; });
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_TRUE(quit);
        EXPECT_TRUE(session.isShuttingDown());
        EXPECT_EQ(flushes, 1) << "the log and the library are written once";
    }
}

TEST_F(DesktopSessionTest, MemoryPressureIsAMemoryWarning) {
    DesktopSession session(*delegate_, {}, platform::NotificationCenter::shared());
    EXPECT_FALSE(session.watchMemoryPressure((dir_ / "no pressure file").string()));
    // A local socket's urgent byte stands in for the kernel's pressure event:
    // both make the descriptor exceptional.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    session.watchMemoryPressure(pair[1]);
    QApplication::processEvents();
    EXPECT_TRUE(journal_.lines.empty()) << "no pressure, no warning";
    const char urgent = '!';
    if (::send(pair[0], &urgent, 1, MSG_OOB) != 1) {
        ::close(pair[0]);
        GTEST_SKIP() << "this kernel sends no urgent data on local sockets";
    }
    for (int round = 0; round < 100 && journal_.lines.empty(); ++round)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_FALSE(journal_.lines.empty());
    EXPECT_EQ(journal_.lines.front(), "cache cleared");
    ::close(pair[0]);
}

TEST_F(DesktopSessionTest, ClosingTheWindowEndsTheProgramOnce) {
    int flushes = 0;
    DesktopSession session(*delegate_, [&] { ++flushes; }, platform::NotificationCenter::shared());
    QWidget window;
    session.watch(&window);
    window.show();
    QApplication::processEvents();
    QTimer::singleShot(0, [&] { window.close(); });
    QTimer::singleShot(2000, [&] { QApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 0);
    session.shutdown();  // a second request changes nothing
    EXPECT_EQ(flushes, 1);
}

}  // namespace
}  // namespace strombel::app

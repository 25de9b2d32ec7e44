// The real program on a JACK server of the test's own (dummy driver, 48 kHz)
// that stops under it, and perhaps comes back, before the user quits: the
// program says what happened, takes the server up again when it returns, and
// every ending is clean.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/own_jack_server.h"
#include "support/temp_dir.h"
#include "support/thread_names.h"

namespace strombel::app {
namespace {

using Clock = std::chrono::steady_clock;

class ProgramServerLossTest : public ::testing::Test {
protected:
    ProgramServerLossTest()
        : jack_(strombel::testing::OwnJackServer::nameFor("under-the-program"), temp_ / "jackd.log", 48000) {}

    void SetUp() override {
        ASSERT_TRUE(jack_.start()) << jack_.why();
        const auto runtime = temp_ / "runtime";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        // A server just started sometimes keeps the program's first clients out
        // (the program then starts on no output, or waits in libjack): that is
        // the launch, not what these cases are about, so it gets one more try
        // on a server started anew. What the first try said stays in the output.
        for (int attempt = 1; attempt <= 2; ++attempt) {
            launch(runtime);
            ASSERT_TRUE(program_->started());
            if (waitFor([&] { return allPublished(); }, 15)) return;
            const std::string first = said();
            const auto ports = jack_.ports(":");
            if (attempt == 2) {
                FAIL() << "the program's ports never all showed on the server: " << ::testing::PrintToString(ports)
                       << "; the program "
                       << (program_->wait(0) ? "ended with status " + std::to_string(*program_->wait(0)) : "runs")
                       << ":\n" << first;
            }
            std::cerr << "the first launch did not reach the fresh server (" << ::testing::PrintToString(ports)
                      << "); it said:\n" << first << "\n";
            program_.reset();  // killed
            jack_.stop();
            ASSERT_TRUE(jack_.start()) << jack_.why();
        }
    }

    std::filesystem::path runtimeFolder() {
        const auto runtime = temp_ / "runtime";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        return runtime;
    }

    void launch(const std::filesystem::path& runtime) {
        log_ = temp_ / "program.log";
        const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        program_ = std::make_unique<strombel::testing::ChildProcess>(
            std::vector<std::string>{STROMBEL_PROGRAM, "--root", (temp_ / "root").string()},
            strombel::testing::environmentWith({"STROMBEL_AUDIO", "QT_QPA_PLATFORM=offscreen", "DISPLAY",
                                                "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR=" + runtime.string(),
                                                "JACK_DEFAULT_SERVER=" + jack_.name(), "JACK_NO_START_SERVER=1",
                                                // Freed memory is overwritten at once, as a busy program
                                                // soon reuses it: touching a client libjack freed fails
                                                // every time, not by chance.
                                                "MALLOC_PERTURB_=165"}),
            log, log);
        ::close(log);
    }

    /// The engine's output, the sender port's two ports and the MIDI endpoint
    /// (after a loss, the clients carry a number: "Strombel-3:outport 0").
    /// One listing a check: each is a client coming and going on the server.
    bool allPublished() const {
        size_t outputs = 0, senders = 0, midi = 0;
        for (const std::string& name : jack_.ports(":")) {
            if (name.find(":outport ") != std::string::npos &&
                (name.rfind("Strombel:", 0) == 0 || name.rfind("Strombel-", 0) == 0))
                ++outputs;
            if (name.find(":Strombel output") != std::string::npos) ++senders;
            if (name.find(":Tumblecraft") != std::string::npos) ++midi;
        }
        return outputs == 2 && senders == 2 && midi > 0;
    }

    bool waitFor(const std::function<bool()>& done, double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return done();
    }

    std::string said() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t saidTimes(const std::string& line) const {
        const std::string text = said();
        size_t count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        return count;
    }

    /// How many times a loss of the output was told. A server on its way down
    /// can stop its cycles for seconds before its notice of the end comes (it
    /// waits on its clients), and on a busy machine the program may then find
    /// it not answering first: either line tells the one loss.
    size_t saidLost() const { return saidTimes(kLost) + saidTimes(kNotAnswering); }

    /// SIGTERM, as a user quitting; the exit status, or -1 when it did not end.
    int quit() {
        program_->signal(SIGTERM);
        const std::optional<int> status = program_->wait(30);
        if (!status) return -1;
        return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    }

    static constexpr const char* kLost = "No sound output: the JACK server stopped.";
    static constexpr const char* kBack = "Sound is back: Strombel plays through RtAudio (JACK) again.";
    static constexpr const char* kNotAnswering = "No sound output: the sound output stopped answering.";

    strombel::testing::TempDir temp_;
    strombel::testing::OwnJackServer jack_;
    std::filesystem::path log_;
    std::unique_ptr<strombel::testing::ChildProcess> program_;
};

TEST_F(ProgramServerLossTest, OnTheServerEveryThreadCarriesANameOfItsOwnJacksToo) {
    // libjack's threads, for the clients RtAudio and RtMidi open as for ours,
    // are named as libjack makes them. A thread just made carries the
    // program's name until it has named itself.
    std::vector<std::string> unnamed;
    EXPECT_TRUE(waitFor([&] { return (unnamed = strombel::testing::threadsWithoutANameOfTheirOwn(program_->pid())).empty(); }, 5))
        << "threads named as the program: " << ::testing::PrintToString(unnamed);
    EXPECT_EQ(quit(), 0) << said();
}

TEST_F(ProgramServerLossTest, QuittingAfterTheServerHasGoneEndsCleanly) {
    jack_.stop();
    EXPECT_TRUE(waitFor([&] { return saidLost() > 0; }, 10)) << said();
    // The program looks for the server meanwhile (every two seconds).
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(quit(), 0) << said();
    EXPECT_EQ(saidLost(), 1u) << "told once";
}

TEST_F(ProgramServerLossTest, QuittingAfterTheServerCameBackEndsCleanly) {
    jack_.stop();
    EXPECT_TRUE(waitFor([&] { return saidLost() > 0; }, 10)) << said();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(jack_.start()) << jack_.why();
    // A server started anew can hold a new client for seconds (longer on a
    // busy machine); the program looks for it every two seconds.
    EXPECT_TRUE(waitFor([&] { return saidTimes(kBack) > 0; }, 30)) << said();
    EXPECT_TRUE(waitFor([&] { return allPublished(); }, 15))
        << "the output, the sender port and the MIDI ports are published again; the server has "
        << ::testing::PrintToString(jack_.ports(":")) << "\n" << said();
    EXPECT_EQ(quit(), 0) << said();
}

TEST_F(ProgramServerLossTest, QuittingWhileAReturningServerKeepsTheReopeningWaitingEndsAtOnce) {
    // A server comes back under the old name and answers nobody from then on:
    // the program's next try to open the output waits inside libjack. When the
    // program took the server up in the moment before it froze (it looks every
    // two seconds), the server goes and comes back once more.
    for (int attempt = 1;; ++attempt) {
        const size_t lost = saidLost(), back = saidTimes(kBack);
        jack_.stop();
        ASSERT_TRUE(waitFor([&] { return saidLost() > lost; }, 10)) << said();
        ASSERT_TRUE(jack_.start()) << jack_.why();
        jack_.freeze(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // an open that ended is told by then
        if (saidTimes(kBack) == back) break;
        ASSERT_LT(attempt, 5) << "the program took the server up before it froze every time:\n" << said();
        jack_.freeze(false);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2700));
    const auto asked = Clock::now();
    EXPECT_EQ(quit(), 0) << said();
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5)) << "the quit waited for the server";
    jack_.freeze(false);
}

TEST_F(ProgramServerLossTest, AServerThatHangsUnderThePlayingProgramIsToldAndHoldsNeitherTheLoopNorTheQuit) {
    jack_.freeze(true);
    // Said from the main loop, which therefore goes on; the output's client is
    // closed elsewhere, where the stopped server holds it.
    EXPECT_TRUE(waitFor([&] { return saidTimes(kNotAnswering) > 0; }, 10)) << said();
    const auto asked = Clock::now();
    EXPECT_EQ(quit(), 0) << said();
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5)) << "the quit waited for the server";
    jack_.freeze(false);
}

/// The program started while its server is not there yet.
class ProgramBeforeItsServerTest : public ProgramServerLossTest {
protected:
    void SetUp() override {
        launch(runtimeFolder());
        ASSERT_TRUE(program_->started());
    }
};

TEST_F(ProgramBeforeItsServerTest, TheServerThatComesLaterIsTakenUpSoundAndMidi) {
    // The launch found nothing to play through and says so; then it watches.
    EXPECT_TRUE(waitFor([&] { return saidTimes("No sound device was found") > 0; }, 15)) << said();
    EXPECT_EQ(saidTimes("OSStatus"), 0u) << "said in words:\n" << said();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(jack_.start()) << jack_.why();
    EXPECT_TRUE(waitFor([&] { return saidTimes("Sound is back: Strombel plays through RtAudio (JACK) again.") > 0; },
                        30))
        << said();
    EXPECT_TRUE(waitFor([&] { return allPublished(); }, 15))
        << "the output, the sender port and the MIDI ports are published; the server has "
        << ::testing::PrintToString(jack_.ports(":")) << "\n" << said();
    EXPECT_EQ(quit(), 0) << said();
}

/// The program started beside a server that hangs (stopped, not gone).
class ProgramBesideAHungServerTest : public ProgramServerLossTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(jack_.start()) << jack_.why();
        jack_.freeze(true);
        launch(runtimeFolder());
        ASSERT_TRUE(program_->started());
    }
    void TearDown() override { jack_.freeze(false); }
};

TEST_F(ProgramBesideAHungServerTest, TheLaunchEndsTheOutputIsToldAsNotAnsweringAndAQuitEndsAtOnce) {
    EXPECT_TRUE(waitFor([&] { return saidTimes(kNotAnswering) > 0; }, 15)) << said();
    const auto asked = Clock::now();
    EXPECT_EQ(quit(), 0) << said();
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5)) << "the quit waited for the server";
}

}  // namespace
}  // namespace strombel::app

#include "platform/thread_role.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/main_loop.h"

namespace strombel::platform {
namespace {

#if defined(STROMBEL_THREAD_CHECKS)

class ThreadRoleTest : public ::testing::Test {
protected:
    ThreadRoleTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    ~ThreadRoleTest() override {
        requireThreadRoles(false);
        setThreadRole(ThreadRole::none);
    }
};

TEST_F(ThreadRoleTest, BindingTheMainLoopGivesItsThreadTheRoleAndAScopeGivesItBack) {
    MainLoop loop{SystemClock::shared()};
    EXPECT_EQ(currentThreadRole(), ThreadRole::none);
    loop.bindToCurrentThread();
    EXPECT_EQ(currentThreadRole(), ThreadRole::mainLoop);
    {
        ThreadRoleScope audio(ThreadRole::audio);
        EXPECT_EQ(currentThreadRole(), ThreadRole::audio);
        {
            ThreadRoleScope sequencer(ThreadRole::sequencer);
            EXPECT_EQ(currentThreadRole(), ThreadRole::sequencer);
        }
        EXPECT_EQ(currentThreadRole(), ThreadRole::audio);
    }
    EXPECT_EQ(currentThreadRole(), ThreadRole::mainLoop);
    ThreadRole other = ThreadRole::mainLoop;
    std::thread([&] { other = currentThreadRole(); }).join();
    EXPECT_EQ(other, ThreadRole::none) << "a role belongs to one thread";
}

// Functions kept for the main loop's thread, and for the threads that start tracks.
void mainLoopOnly() { STROMBEL_EXPECT_THREAD(kMainLoopThread); }
void controlOnly() { STROMBEL_EXPECT_THREAD(kControlThreads); }

TEST_F(ThreadRoleTest, ACallOnAThreadOfAnotherRoleAbortsNamingTheFunctionAndTheRoles) {
    setThreadRole(ThreadRole::mainLoop);
    mainLoopOnly();
    controlOnly();
    EXPECT_DEATH(
        {
            ThreadRoleScope audio(ThreadRole::audio);
            mainLoopOnly();
        },
        R"(wrong thread: void strombel::platform::.*mainLoopOnly\(\) called on a thread of role "audio", )"
        R"(expected "main loop")");
    EXPECT_DEATH(
        {
            ThreadRoleScope audio(ThreadRole::audio);
            controlOnly();
        },
        R"(controlOnly\(\) called on a thread of role "audio", expected "main loop" or "sequencer" or "MIDI action")");
    for (ThreadRole role : {ThreadRole::sequencer, ThreadRole::midiAction}) {
        ThreadRoleScope scope(role);
        controlOnly();
    }
}

TEST_F(ThreadRoleTest, AThreadWithNoRolePassesUnlessRolesAreRequired) {
    std::thread([] { mainLoopOnly(); }).join();
    requireThreadRoles();
    EXPECT_DEATH(std::thread([] { mainLoopOnly(); }).join(),
                 R"(mainLoopOnly\(\) called on a thread of role "no role", expected "main loop")");
    std::thread([] {
        ThreadRoleScope role(ThreadRole::mainLoop);
        mainLoopOnly();
    }).join();
}

#endif

}  // namespace
}  // namespace strombel::platform

// Linked into every test program: after each case, what lives for the whole
// process is put back as a fresh process has it, so that no case leans on what
// an earlier one left. (A program also runs whole, its cases shuffled, to
// prove it.)

#include <gtest/gtest.h>

#include "platform/thread_role.h"

namespace {

class GlobalResets final : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        // A case that ran a main loop on this thread gave it the loop's role.
        strombel::platform::setThreadRole(strombel::platform::ThreadRole::none);
        strombel::platform::requireThreadRoles(false);
    }
};

const bool kInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new GlobalResets);
    return true;
}();

}  // namespace

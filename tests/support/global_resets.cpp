// Linked into every test program: after each case, what lives for the whole
// process is put back as the case found it, so that no case leans on what an
// earlier one left. (A program also runs whole, its cases shuffled, to prove it.)

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "platform/thread_role.h"

extern char** environ;

namespace {

std::map<std::string, std::string> environmentNow() {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return variables;
}

class GlobalResets final : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { environment_ = environmentNow(); }

    void OnTestEnd(const ::testing::TestInfo&) override {
        // A case that ran a main loop on this thread gave it the loop's role.
        strombel::platform::setThreadRole(strombel::platform::ThreadRole::none);
        strombel::platform::requireThreadRoles(false);
        // Variables a case set (a server's name, a folder) go back as they were.
        for (const auto& [name, value] : environmentNow()) {
            if (!environment_.count(name)) ::unsetenv(name.c_str());
        }
        for (const auto& [name, value] : environment_) {
            const char* now = std::getenv(name.c_str());
            if (!now || value != now) ::setenv(name.c_str(), value.c_str(), 1);
        }
    }

    std::map<std::string, std::string> environment_;
};

const bool kInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new GlobalResets);
    return true;
}();

}  // namespace

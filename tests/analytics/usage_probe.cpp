// A program that starts the analytics client the way an application would and
// then ends without ending its session: the crash-safety tests run it in a child
// process and look at what it leaves behind.
//
//   analytics_usage_probe ROOT BUNDLE SERVER_URL kill   records, says "ready", waits to be killed
//   analytics_usage_probe ROOT BUNDLE SERVER_URL abort  the same with crash reporting on, then aborts

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "usage_test_services.h"

// Crash capture stops the other threads and reads their stacks and whatever
// memory they point at, as it finds them: ThreadSanitizer reports that by
// design. The client's own threads are checked in the tests' process.
extern "C" const char* __tsan_default_options() { return "report_bugs=0"; }

int main(int argc, char** argv) {
    using namespace strombel;
    using namespace strombel::analytics;
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ROOT BUNDLE SERVER_URL kill|abort\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[4];
    if (mode != "kill" && mode != "abort") return 2;
    testing::UsageTestServices services(argv[1], argv[2]);

    Usage::setServerURL(std::string(argv[3]));
    if (mode == "abort") Usage::setCrashReportingEnabled(true);
    Usage::startSession("key");
    Usage::logEvent("BeforeTheEnd");
    // Recording an error writes the current-session file, the event with it.
    Usage::logError("E1", "the probe's error", std::optional<platform::Error>(platform::Error::make("Probe", 7, "probing")));
    UsageSession::currentSession()->drain();

    std::printf("ready\n");
    std::fflush(stdout);
    if (mode == "abort") std::abort();
    for (;;) ::pause();
}

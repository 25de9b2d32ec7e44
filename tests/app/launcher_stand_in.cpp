// Stands in for the program proper behind the launcher: says which of SIGINT
// and SIGTERM it began with blocked, then waits for a SIGTERM to be sent and
// takes it as the program proper does, and says so.

#include <signal.h>

#include <cstdio>
#include <ctime>

int main() {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    std::printf("blocked:%s%s\n", sigismember(&blocked, SIGINT) ? " INT" : "", sigismember(&blocked, SIGTERM) ? " TERM" : "");
    std::fflush(stdout);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    const timespec limit{30, 0};
    const int taken = sigtimedwait(&term, nullptr, &limit);
    std::printf("taken: %d\n", taken);
    return taken == SIGTERM ? 0 : 1;
}

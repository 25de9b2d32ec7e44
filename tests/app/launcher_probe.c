/* Stands in for the program proper behind the launcher: says which of SIGTERM
 * and SIGINT it found held, then takes the two (waiting up to ten seconds for
 * each), and says what it took and what it was given. */

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
    sigset_t held;
    sigprocmask(SIG_BLOCK, NULL, &held);
    printf("held %d %d\n", sigismember(&held, SIGTERM), sigismember(&held, SIGINT));
    fflush(stdout);
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGTERM);
    sigaddset(&both, SIGINT);
    const struct timespec limit = {10, 0};
    int term = 0, interrupt = 0;
    for (int i = 0; i < 2; ++i) {
        const int taken = sigtimedwait(&both, NULL, &limit);
        term |= taken == SIGTERM;
        interrupt |= taken == SIGINT;
    }
    printf("took %d %d\n", term, interrupt);
    for (int i = 1; i < argc; ++i) printf("argument %s\n", argv[i]);
    const char* marker = getenv("LAUNCHER_PROBE_MARK");
    printf("environment %s\n", marker ? marker : "(none)");
    return 0;
}

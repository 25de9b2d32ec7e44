#include "platform/termination_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace strombel::platform {
namespace {

// Constant-initialised: usable before any initialiser of the program has run.
std::atomic<bool> held{false};
std::atomic<bool> requested{false};
std::atomic<int> descriptor{-1};
pthread_t holdingThread{};  // written once, before `held` is set

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Runs only on a thread that lets the signals through: one a library made with a
// mask of its own. The signal is passed on to the holding thread, where the main
// loop reads it like any other.
void onTerminationSignal(int number) {
    const int savedErrno = errno;
    requested.store(true);
    if (held.load() && !pthread_equal(pthread_self(), holdingThread)) pthread_kill(holdingThread, number);
    errno = savedErrno;
}

}  // namespace

bool holdTerminationSignals() {
    const sigset_t set = terminationSet();
    if (held.load()) return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return false;
    const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (fd < 0 || sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
        if (fd >= 0) ::close(fd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return false;
    }
    holdingThread = pthread_self();
    descriptor.store(fd);
    held.store(true);
    return true;
}

bool terminationRequested() {
    if (requested.load()) return true;
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    if (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1) requested.store(true);
    return requested.load();
}

int terminationSignalDescriptor() { return descriptor.load(); }

int takeTerminationSignals() {
    const int fd = descriptor.load();
    if (fd < 0) return 0;
    int count = 0;
    signalfd_siginfo info;
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++count;
    if (count > 0) requested.store(true);
    return count;
}

}  // namespace strombel::platform

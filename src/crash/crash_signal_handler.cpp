#include "crash/crash_signal_handler.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/posix_error.h"

namespace strombel::crash {

platform::Error crash_reporter_error(int64_t code, const char* description, int posixError) {
    std::shared_ptr<const platform::Error> underlying;
    if (posixError != 0) {
        underlying = std::make_shared<platform::Error>(platform::posixError(posixError, strerror(posixError)));
    }
    return platform::Error::make("CrashReporterErrorDomain", code, description, {}, std::move(underlying));
}

// --- Alternate stacks ---------------------------------------------------------------

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define STROMBEL_CRASH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STROMBEL_CRASH_SANITIZED 1
#endif
#endif

#ifdef STROMBEL_CRASH_SANITIZED
// Instrumented code takes much more stack for the same work.
constexpr size_t kSignalStackSize = 512 * 1024;
#else
constexpr size_t kSignalStackSize = 64 * 1024;
#endif

struct ThreadSignalStack {
    void* region = nullptr;
    size_t regionSize = 0;
    ~ThreadSignalStack() {
        if (!region) return;
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(region) + pageSize()) {
            stack_t disable = {};
            disable.ss_flags = SS_DISABLE;
            sigaltstack(&disable, nullptr);
        }
        munmap(region, regionSize);
    }
    static size_t pageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
};

thread_local ThreadSignalStack threadSignalStack;

}  // namespace

bool crash_signal_stack_install() {
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_size >= kSignalStackSize) {
        return true;
    }
    ThreadSignalStack& mine = threadSignalStack;
    if (!mine.region) {
        size_t page = ThreadSignalStack::pageSize();
        size_t size = kSignalStackSize + page;
        void* region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (region == MAP_FAILED) return false;
        // The lowest page stays unreadable: an overflow of the signal stack faults.
        mprotect(region, page, PROT_NONE);
        mine.region = region;
        mine.regionSize = size;
    }
    stack_t stack = {};
    stack.ss_sp = static_cast<char*>(mine.region) + ThreadSignalStack::pageSize();
    stack.ss_size = kSignalStackSize;
    stack.ss_flags = 0;
    return sigaltstack(&stack, nullptr) == 0;
}

// --- The chain ---------------------------------------------------------------------

SignalCapture::~SignalCapture() {
    for (Link* link = allocated_; link;) {
        Link* before = link->allocatedBefore;
        delete link;
        link = before;
    }
}

void SignalCapture::publish(bool atHead, crash_signal_callback callback, void* context) {
    Link* link = new Link{callback, context, {nullptr}, allocated_};
    allocated_ = link;
    if (atHead) {
        link->next.store(head_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        if (!tail_) tail_ = link;
        head_.store(link, std::memory_order_seq_cst);
        return;
    }
    if (tail_) {
        tail_->next.store(link, std::memory_order_seq_cst);
    } else {
        head_.store(link, std::memory_order_seq_cst);
    }
    tail_ = link;
}

platform::Result<void> SignalCapture::registerHandlerWithSignal(int signal) {
    std::lock_guard lock(registration_);
    if (signal <= 0 || signal >= _NSIG) return crash_reporter_error(1, "Failed to register signal handler", EINVAL);
    if (!crash_signal_stack_install()) {
        return crash_reporter_error(1, "Could not initialize alternative signal stack", errno);
    }
    publish(false, crash_signal_forward_previous, this);
    if (saved_[signal].present.load(std::memory_order_acquire)) return {};
    struct sigaction action = {};
    action.sa_sigaction = handler_;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (blockedSignal_ != 0) sigaddset(&action.sa_mask, blockedSignal_);
    struct sigaction previous;
    if (sigaction(signal, &action, &previous) != 0) {
        return crash_reporter_error(1, "Failed to register signal handler", errno);
    }
    saved_[signal].action = previous;
    saved_[signal].present.store(true, std::memory_order_release);
    return {};
}

platform::Result<void> SignalCapture::registerHandlerForSignal(int signal, crash_signal_callback callback, void* context) {
    if (auto registered = registerHandlerWithSignal(signal); !registered.ok()) return registered;
    std::lock_guard lock(registration_);
    publish(true, callback, context);
    return {};
}

void SignalCapture::resetHandlers() {
    std::lock_guard lock(registration_);
    head_.store(nullptr, std::memory_order_seq_cst);
    tail_ = nullptr;
    for (Saved& saved : saved_) saved.present.store(false, std::memory_order_release);
}

void SignalCapture::uninstall() {
    std::lock_guard lock(registration_);
    head_.store(nullptr, std::memory_order_seq_cst);
    tail_ = nullptr;
    for (int signal = 1; signal < _NSIG; ++signal) {
        if (!saved_[signal].present.load(std::memory_order_acquire)) continue;
        sigaction(signal, &saved_[signal].action, nullptr);
        saved_[signal].present.store(false, std::memory_order_release);
    }
}

bool SignalCapture::dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next) {
    const Link* link = next ? static_cast<const Link*>(next->link) : head_.load(std::memory_order_acquire);
    if (!link) return false;
    const Link* after = link->next.load(std::memory_order_acquire);
    crash_signal_continuation rest = {after, this};
    return link->callback(signal, info, ucontext, link->context, after ? &rest : nullptr);
}

bool crash_signal_callback_next(const crash_signal_continuation* next, int signal, siginfo_t* info, void* ucontext) {
    if (!next) return false;
    return next->capture->dispatch(signal, info, ucontext, next);
}

void SignalCapture::handle(int signal, siginfo_t* info, void* ucontext) {
    int savedErrno = errno;
    if (!dispatch(signal, info, ucontext, nullptr)) raise(signal);
    errno = savedErrno;
}

bool SignalCapture::forwardPrevious(int signal, siginfo_t* info, void* ucontext, void* context,
                                    const crash_signal_continuation* next) {
    if (next && crash_signal_callback_next(next, signal, info, ucontext)) return true;
    auto* capture = static_cast<SignalCapture*>(context);
    if (signal <= 0 || signal >= _NSIG || !capture->saved_[signal].present.load(std::memory_order_acquire)) return false;
    const struct sigaction& previous = capture->saved_[signal].action;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signal, info, ucontext);
        return true;
    }
    if (previous.sa_handler == SIG_IGN) return true;
    if (previous.sa_handler == SIG_DFL) return false;
    previous.sa_handler(signal);
    return true;
}

// --- The two instances -------------------------------------------------------------

SignalCapture& CrashSignalHandler::sharedHandler() {
    static Immortal<SignalCapture> capture(crash_signal_handler);
    return capture.get();
}

SignalCapture& UsageCrashSignalHandler::sharedHandler() {
    static Immortal<SignalCapture> capture(usage_signal_handler);
    return capture.get();
}

bool crash_signal_forward_previous(int signal, siginfo_t* info, void* ucontext, void* context,
                                   const crash_signal_continuation* next) {
    return SignalCapture::forwardPrevious(signal, info, ucontext, context, next);
}

bool crash_signal_dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next) {
    return CrashSignalHandler::sharedHandler().dispatch(signal, info, ucontext, next);
}

bool usage_signal_dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next) {
    return UsageCrashSignalHandler::sharedHandler().dispatch(signal, info, ucontext, next);
}

extern "C" void crash_signal_handler(int signal, siginfo_t* info, void* ucontext) {
    CrashSignalHandler::sharedHandler().handle(signal, info, ucontext);
}

extern "C" void usage_signal_handler(int signal, siginfo_t* info, void* ucontext) {
    UsageCrashSignalHandler::sharedHandler().handle(signal, info, ucontext);
}

}  // namespace strombel::crash

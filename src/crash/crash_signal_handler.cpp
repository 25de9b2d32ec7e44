#include "crash/crash_signal_handler.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace strombel::crash {

json::Error crash_reporter_error(int64_t code, const char* description, int posixError) {
    std::shared_ptr<const json::Error> underlying;
    if (posixError != 0) {
        underlying = std::make_shared<json::Error>(json::Error::make("POSIXErrorDomain", posixError, strerror(posixError)));
    }
    return json::Error::make("CrashReporterErrorDomain", code, description, {}, std::move(underlying));
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

json::Result<void> SignalCapture::publish(bool atHead, Link link) {
    if (poolUsed_ >= kChainPool) return crash_reporter_error(1, "Failed to register signal handler", ENOMEM);
    const Chain* current = chain_.load(std::memory_order_acquire);
    uint32_t count = current ? current->count : 0;
    if (count >= kChainCapacity) return crash_reporter_error(1, "Failed to register signal handler", ENOMEM);
    Chain& next = pool_[poolUsed_++];
    next.count = 0;
    if (atHead) next.links[next.count++] = link;
    for (uint32_t i = 0; i < count; ++i) next.links[next.count++] = current->links[i];
    if (!atHead) next.links[next.count++] = link;
    chain_.store(&next, std::memory_order_seq_cst);
    return {};
}

json::Result<void> SignalCapture::registerHandlerWithSignal(int signal) {
    std::lock_guard lock(registration_);
    if (signal <= 0 || signal >= _NSIG) return crash_reporter_error(1, "Failed to register signal handler", EINVAL);
    if (!crash_signal_stack_install()) {
        return crash_reporter_error(1, "Could not initialize alternative signal stack", errno);
    }
    if (auto appended = publish(false, {crash_signal_forward_previous, this}); !appended.ok()) return appended;
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

json::Result<void> SignalCapture::registerHandlerForSignal(int signal, crash_signal_callback callback, void* context) {
    if (auto registered = registerHandlerWithSignal(signal); !registered.ok()) return registered;
    std::lock_guard lock(registration_);
    return publish(true, {callback, context});
}

void SignalCapture::resetHandlers() {
    std::lock_guard lock(registration_);
    chain_.store(nullptr, std::memory_order_seq_cst);
    poolUsed_ = 0;
    for (Saved& saved : saved_) saved.present.store(false, std::memory_order_release);
}

bool SignalCapture::dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next) {
    const Chain* chain = next ? static_cast<const Chain*>(next->chain) : chain_.load(std::memory_order_acquire);
    uint32_t index = next ? next->index : 0;
    if (!chain || index >= chain->count) return false;
    crash_signal_continuation rest = {chain, index + 1, this};
    const Link& link = chain->links[index];
    return link.callback(signal, info, ucontext, link.context, index + 1 < chain->count ? &rest : nullptr);
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

// crash_probe: a program that crashes for real, in the ways the crash reporter
// must report, for the crash tests and benchmarks.
//
//   crash_probe SCENARIO [--usage] [--threads N] [--depth N] [--mappings N] [--out FILE] [--plugin FILE]
//
// The reporter's files go under $STROMBEL_ROOT (the sandbox root), identifier
// "org.strombel.crashprobe". Every function whose name begins with "probe_" is
// meant to appear, by name and in call order, in the report's frames. The
// probe's malloc and free abort when called on a signal stack: the crash path
// must not use the heap.

#include <dlfcn.h>
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <execinfo.h>
#include <time.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crash/crash_reporter.h"
#include "crash/crash_signal_handler.h"
#include "crash/crash_threads.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PROBE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define PROBE_SANITIZED 1
#endif
#endif

#define PROBE_FUNCTION extern "C" __attribute__((noinline, noclone))

// GCC gives a leaf function that keeps nothing on the stack no frame record,
// even with frame pointers on, and a frame-pointer walk then skips its caller
// (the unwind tables would name it). The probe's leaves keep a value on the
// stack, so that each of them has its frame.
#define PROBE_KEEP_FRAME() \
    volatile int probeFrame = 0; \
    (void)probeFrame

// --- The heap, watched ---------------------------------------------------------------

#ifndef PROBE_SANITIZED
extern "C" void* __libc_malloc(size_t);
extern "C" void __libc_free(void*);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);

namespace {

// Set while a probe thread holds the heap on purpose, as if stopped in malloc.
std::atomic<int> heapHolder{0};
std::atomic<int> heapHeld{0};
std::atomic<bool> heapWatch{false};

bool onSignalStack() {
    stack_t stack;
    return sigaltstack(nullptr, &stack) == 0 && (stack.ss_flags & SS_ONSTACK);
}

void checkHeapUse(const char* what) {
    if (!heapWatch.load(std::memory_order_relaxed)) return;
    if (onSignalStack()) {
        static const char message[] = "crash_probe: heap used on the crash path: ";
        ssize_t ignored = write(2, message, sizeof message - 1);
        ignored = write(2, what, strlen(what));
        ignored = write(2, "\n", 1);
        (void)ignored;
        _exit(97);
    }
    // While a probe thread holds the heap, every other caller waits, as it
    // would on a malloc lock.
    while (heapHeld.load(std::memory_order_acquire) && heapHolder.load() != gettid()) usleep(1000);
}

}  // namespace

extern "C" void* malloc(size_t size) {
    checkHeapUse("malloc");
    return __libc_malloc(size);
}
extern "C" void free(void* pointer) {
    checkHeapUse("free");
    __libc_free(pointer);
}
extern "C" void* calloc(size_t count, size_t size) {
    checkHeapUse("calloc");
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    checkHeapUse("realloc");
    return __libc_realloc(pointer, size);
}

// Stops the calling thread inside malloc, holding the heap, for good.
PROBE_FUNCTION void probe_stop_inside_malloc() {
    heapHolder.store(gettid());
    heapHeld.store(1, std::memory_order_release);
    void* block = malloc(16);
    for (;;) pause();
    free(block);
}
#else
namespace {
std::atomic<bool> heapWatch{false};
}
PROBE_FUNCTION void probe_stop_inside_malloc() {
    for (;;) pause();
}
#endif

// --- Helpers -------------------------------------------------------------------------

namespace {

using strombel::crash::CrashReporterBase;

std::atomic<int> threadsReady{0};
std::atomic<bool> go{false};
std::atomic<uint64_t> progress{0};
std::atomic<pid_t> waitingThread{0};

struct Options {
    std::string scenario;
    bool usage = false;
    bool noReporter = false;
    bool backtraceHandler = false;
    int threads = 8;
    int depth = 64;
    int mappings = 0;
    std::string out;
    std::string plugin;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "crash_probe: %s\n", message.c_str());
    std::exit(2);
}

std::unique_ptr<CrashReporterBase> makeReporter(const Options& options) {
    strombel::crash::CrashReporterConfig config(0, 1);
    if (options.usage) {
        return std::make_unique<strombel::crash::UsageCrashReporter>("org.strombel.crashprobe", "1.0", config);
    }
    return std::make_unique<strombel::crash::CrashReporter>("org.strombel.crashprobe", "1.0", config);
}

void markReady() { threadsReady.fetch_add(1); }

void waitForThreads(int count) {
    while (threadsReady.load() < count) std::this_thread::yield();
}

}  // namespace

// Sleeps about a millisecond with the system call made right here, so that a
// thread held while it waits is found in the probe's own function, not in the
// C library.
static inline void sleepHere() {
    static std::atomic<uint32_t> never{0};
    struct timespec millisecond = {0, 1000000};
#if defined(__x86_64__)
    register long timeout __asm__("r10") = reinterpret_cast<long>(&millisecond);
    long result = SYS_futex;
    __asm__ volatile("syscall"
                     : "+a"(result)
                     : "D"(&never), "S"(FUTEX_WAIT_PRIVATE), "d"(0), "r"(timeout)
                     : "rcx", "r11", "memory");
#elif defined(__aarch64__)
    register long x8 __asm__("x8") = SYS_futex;
    register long x0 __asm__("x0") = reinterpret_cast<long>(&never);
    register long x1 __asm__("x1") = FUTEX_WAIT_PRIVATE;
    register long x2 __asm__("x2") = 0;
    register long x3 __asm__("x3") = reinterpret_cast<long>(&millisecond);
    __asm__ volatile("svc #0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
#else
    nanosleep(&millisecond, nullptr);
#endif
}

// A thread waits here until the process ends, counting its wake-ups.
PROBE_FUNCTION void probe_thread_waits() {
    PROBE_KEEP_FRAME();
    pid_t none = 0;
    waitingThread.compare_exchange_strong(none, gettid());
    markReady();
    for (;;) {
        sleepHere();
        progress.fetch_add(1, std::memory_order_relaxed);
    }
}

// Set once the main thread is inside probe_main_waits, so a thread that crashes
// on purpose can wait until the main thread is found there.
std::atomic<bool> mainWaiting{false};

PROBE_FUNCTION void probe_main_waits() {
    PROBE_KEEP_FRAME();
    mainWaiting.store(true);
    for (;;) sleepHere();
}

PROBE_FUNCTION void probe_thread_level_3() { probe_thread_waits(); }
PROBE_FUNCTION void probe_thread_level_2() { probe_thread_level_3(); }
PROBE_FUNCTION void probe_thread_level_1() { probe_thread_level_2(); }

// Recursion that keeps its frames: each level adds one "probe_deep" frame.
PROBE_FUNCTION int probe_deep(int levels, void (*bottom)()) {
    if (levels <= 0) {
        bottom();
        return 0;
    }
    volatile int keep = probe_deep(levels - 1, bottom);
    return keep + 1;
}

// Addresses that fault, where the compiler cannot see them.
volatile uintptr_t segvAddress = 0x10;
volatile uintptr_t qsortAddress = 0x18;

PROBE_FUNCTION void probe_segv_inner() {
    PROBE_KEEP_FRAME();
    volatile int* address = reinterpret_cast<volatile int*>(segvAddress);
    *address = 1;
}
PROBE_FUNCTION void probe_segv_middle() { probe_segv_inner(); }
PROBE_FUNCTION void probe_segv_outer() { probe_segv_middle(); }

// A call through a null function pointer: the thread then stands at address 0.
void (*volatile nullFunction)() = nullptr;
PROBE_FUNCTION void probe_call_null() { nullFunction(); }

// Calls into the library opened after enabling, which crashes there.
PROBE_FUNCTION void probe_plugin_outer(void (*run)()) {
    PROBE_KEEP_FRAME();
    run();
}

PROBE_FUNCTION void probe_abort_inner() { abort(); }
PROBE_FUNCTION void probe_abort_outer() { probe_abort_inner(); }

// A SIGSEGV sent by the process to itself, as another process could send it:
// no fault, and no fault address.
PROBE_FUNCTION void probe_send_segv() {
    PROBE_KEEP_FRAME();
    kill(getpid(), SIGSEGV);
    for (;;) pause();
}

PROBE_FUNCTION void probe_bus_inner() {
    char path[] = "/tmp/crash_probe_bus.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || ftruncate(fd, 4096) != 0) fail("cannot make the file for SIGBUS");
    void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED || ftruncate(fd, 0) != 0) fail("cannot map the file for SIGBUS");
    unlink(path);
    std::fprintf(stderr, "fault address %p\n", mapped);
    volatile char value = *static_cast<volatile char*>(mapped);
    (void)value;
}
PROBE_FUNCTION void probe_bus_outer() { probe_bus_inner(); }

// The division is the processor's own, so that no sanitizer stops it first.
PROBE_FUNCTION int probe_fpe_inner(int divisor) {
    volatile int kept = divisor;
#if defined(__x86_64__)
    int quotient = 100;
    int remainder = 0;
    int by = kept;
    __asm__ volatile("cltd\n\tidivl %2" : "+a"(quotient), "=&d"(remainder) : "r"(by));
    return quotient + remainder;
#else
    // 64-bit ARM divides by zero without a trap: the signal is raised as the
    // processor would on other machines.
    if (kept == 0) raise(SIGFPE);
    return 100 / (kept == 0 ? 1 : kept);
#endif
}
PROBE_FUNCTION void probe_fpe_outer() { probe_fpe_inner(0); }

PROBE_FUNCTION void probe_ill_inner() {
    PROBE_KEEP_FRAME();
#if defined(__x86_64__)
    __asm__ volatile("ud2");
#elif defined(__aarch64__)
    __asm__ volatile(".inst 0x00000000");
#else
    __builtin_trap();
#endif
}
PROBE_FUNCTION void probe_ill_outer() { probe_ill_inner(); }

// Recurses until the stack runs out (the depth check only hides that from the compiler).
PROBE_FUNCTION int probe_overflow(int level) {
    volatile char pad[256];
    pad[0] = static_cast<char>(level);
    if (level == -1) return 0;
    return probe_overflow(level + 1) + pad[0];
}

// A crash inside a comparator that the C library's qsort calls.
PROBE_FUNCTION int probe_qsort_compare(const void* a, const void* b) {
    int left = *static_cast<const int*>(a), right = *static_cast<const int*>(b);
    if (left == 3 || right == 3) {
        volatile int* address = reinterpret_cast<volatile int*>(qsortAddress);
        *address = left;
    }
    return left - right;
}
PROBE_FUNCTION void probe_qsort_outer() {
    int values[] = {5, 9, 1, 7, 3, 8, 2, 6, 4, 0};
    qsort(values, sizeof values / sizeof values[0], sizeof values[0], probe_qsort_compare);
    std::printf("%d\n", values[0]);
}

// A live report taken inside a signal handler: its stack runs through the C
// library's signal return into the code the signal interrupted.
std::atomic<bool> interruptedSpinning{false};
std::atomic<bool> interruptedReported{false};
CrashReporterBase* handlerReporter = nullptr;
const char* handlerOut = nullptr;

PROBE_FUNCTION void probe_live_report(CrashReporterBase* reporter, const char* out);

PROBE_FUNCTION void probe_signal_handler(int) {
    probe_live_report(handlerReporter, handlerOut);
    interruptedReported.store(true);
}
PROBE_FUNCTION void probe_interrupted_inner() {
    interruptedSpinning.store(true);
    while (!interruptedReported.load(std::memory_order_relaxed)) {
    }
}
PROBE_FUNCTION void probe_interrupted_outer() {
    probe_interrupted_inner();
    std::printf("reported\n");
}

PROBE_FUNCTION void probe_throw_inner() { throw std::runtime_error("the probe's own reason"); }
PROBE_FUNCTION void probe_throw_outer() { probe_throw_inner(); }

PROBE_FUNCTION void probe_crash_on_thread() {
    waitForThreads(1);
    // Still returning from starting this thread, the main thread is not yet where
    // the report should find it waiting.
    while (!mainWaiting.load()) std::this_thread::yield();
    probe_segv_outer();
}

// The second crash of a process, while the first one's report is written: the
// thread blocks every signal but SIGSEGV, so that the writer cannot hold it
// (it waits for it a while instead), and crashes once the writer's signal to
// hold it is pending.
PROBE_FUNCTION void probe_second_crash() {
    PROBE_KEEP_FRAME();
    sigset_t signals;
    sigfillset(&signals);
    sigdelset(&signals, SIGSEGV);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    markReady();
    for (bool asked = false; !asked;) {
        sigset_t pending;
        sigpending(&pending);
        for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) asked = asked || sigismember(&pending, signal);
    }
    volatile int* address = reinterpret_cast<volatile int*>(segvAddress);
    *address = 2;
}

PROBE_FUNCTION void probe_crash_together() {
    markReady();
    while (!go.load()) {
    }
    probe_segv_outer();
}

PROBE_FUNCTION void probe_overflow_on_thread() {
    strombel::crash::crash_signal_stack_install();
    probe_overflow(0);
}

PROBE_FUNCTION void probe_deep_bottom_waits() { probe_thread_waits(); }
PROBE_FUNCTION void probe_deep_bottom_crashes() { probe_segv_outer(); }

PROBE_FUNCTION void probe_live_report(CrashReporterBase* reporter, const char* out) {
    auto report = reporter->generateLiveReport();
    if (!report.ok()) fail("live report: " + report.error().description());
    FILE* file = std::fopen(out, "wb");
    if (!file || std::fwrite(report.value().data(), 1, report.value().size(), file) != report.value().size()) {
        fail("cannot write the live report");
    }
    std::fclose(file);
}

namespace {

std::vector<std::thread> startWaitingThreads(int count, int depth) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([depth] {
            strombel::crash::crash_signal_stack_install();
            if (depth > 0) probe_deep(depth, probe_deep_bottom_waits);
            else probe_thread_level_1();
        });
    }
    waitForThreads(count);
    return threads;
}

// For comparison: a handler that only prints the C library's backtrace into a
// file opened beforehand, then lets the signal end the process.
int backtraceFd = -1;
void backtraceHandler(int signal) {
    void* frames[512];
    int count = backtrace(frames, 512);
    backtrace_symbols_fd(frames, count, backtraceFd);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// Tells the benchmark when the crash begins: CLOCK_MONOTONIC nanoseconds.
void announceCrash() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[32];
    int length = std::snprintf(line, sizeof line, "crashing %lld\n",
                               static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    ssize_t ignored = write(1, line, static_cast<size_t>(length));
    (void)ignored;
}

// The crash callback: a marker file, written with async-signal-safe calls.
const char* markerPath = nullptr;
void writeMarker(siginfo_t* info, void*, void*) {
    int fd = open(markerPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    char line[32] = "callback ";
    line[9] = static_cast<char>('0' + (info ? info->si_signo / 10 : 0));
    line[10] = static_cast<char>('0' + (info ? info->si_signo % 10 : 0));
    line[11] = '\n';
    ssize_t ignored = write(fd, line, 12);
    (void)ignored;
    close(fd);
}

// The first crashing thread is held here for good, so that a second crash has
// all the time it needs (it ends the process); a later crash's callback returns.
std::atomic<int> callbacksRun{0};
void holdFirstCrash(siginfo_t*, void*, void*) {
    if (callbacksRun.fetch_add(1) > 0) return;
    for (;;) pause();
}

// `count` mappings of one page each, read-only and writable by turns so that
// none merges with its neighbour: a process with many memory ranges.
void addMappings(int count) {
    long page = sysconf(_SC_PAGESIZE);
    for (int i = 0; i < count; ++i) {
        int protection = i % 2 ? PROT_READ : PROT_READ | PROT_WRITE;
        if (mmap(nullptr, static_cast<size_t>(page), protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED) {
            fail("cannot map page " + std::to_string(i));
        }
    }
}

Options parse(int argc, char** argv) {
    if (argc < 2) fail("usage: crash_probe SCENARIO [--usage] [--threads N] [--depth N] [--out FILE]");
    Options options;
    options.scenario = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&] {
            if (i + 1 >= argc) fail("missing value for " + arg);
            return std::string(argv[++i]);
        };
        if (arg == "--usage") options.usage = true;
        else if (arg == "--no-reporter") options.noReporter = true;
        else if (arg == "--backtrace-handler") options.backtraceHandler = true;
        else if (arg == "--threads") options.threads = std::stoi(value());
        else if (arg == "--depth") options.depth = std::stoi(value());
        else if (arg == "--mappings") options.mappings = std::stoi(value());
        else if (arg == "--out") options.out = value();
        else if (arg == "--plugin") options.plugin = value();
        else fail("unknown option " + arg);
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    std::unique_ptr<CrashReporterBase> reporter = makeReporter(options);
    const std::string& s = options.scenario;

    if (s == "callback-mallocs") {
        // Proves the heap watch: a crash callback runs on the crash path.
        strombel::crash::CrashReporterCallbacks callbacks;
        callbacks.handleSignal = [](siginfo_t*, void*, void*) {
            void* block = malloc(8);
            free(block);
        };
        reporter->setCrashCallbacks(&callbacks);
    }
    if (s == "fork-crash-twice") {
        strombel::crash::CrashReporterCallbacks callbacks;
        callbacks.handleSignal = holdFirstCrash;
        reporter->setCrashCallbacks(&callbacks);
    }
    if (s == "callback" || s == "callback-fails") {
        static std::string marker = options.out;
        markerPath = marker.c_str();
        strombel::crash::CrashReporterCallbacks callbacks;
        callbacks.handleSignal = writeMarker;
        reporter->setCrashCallbacks(&callbacks);
    }
    // No core files: the time a crash takes is the report's, not the dump's.
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (options.backtraceHandler) {
        backtraceFd = open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        void* warm[2];
        backtrace(warm, 2);
        signal(SIGSEGV, backtraceHandler);
    }
    if (s != "none" && s != "live" && s != "live-thread" && s != "live-many" && s != "live-in-handler" &&
        !options.noReporter &&
        !options.backtraceHandler) {
        if (auto enabled = reporter->enableCrashReporter(); !enabled.ok()) fail("enable: " + enabled.error().description());
    }
    addMappings(options.mappings);
    heapWatch.store(true);

    if (s == "segv" || s == "callback" || s == "callback-mallocs") probe_segv_outer();
    if (s == "callback-fails") {
        // The report cannot be written: files may not grow past 64 bytes.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        probe_segv_outer();
    }
    if (s == "abort") probe_abort_outer();
    if (s == "sent-segv") probe_send_segv();
    if (s == "null-call") probe_call_null();
    if (s == "plugin") {
        void* library = dlopen(options.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) fail(std::string("cannot open the plugin: ") + dlerror());
        auto run = reinterpret_cast<void (*)()>(dlsym(library, "crash_probe_plugin_run"));
        if (!run) fail("the plugin has no crash_probe_plugin_run");
        probe_plugin_outer(run);
    }
    if (s == "fork-then-parent") {
        // A forked child crashes first, then its parent (which has a second
        // thread): each must leave a whole report of its own. The child's is
        // copied to --out before the parent's takes its place.
        auto waiting = startWaitingThreads(1, 0);
        pid_t child = fork();
        if (child == 0) probe_segv_outer();
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
            fail("the forked child did not crash");
        }
        std::error_code error;
        std::filesystem::copy_file(reporter->crashReportPath(), options.out, std::filesystem::copy_options::overwrite_existing,
                                   error);
        if (error) fail("cannot copy the child's report: " + error.message());
        std::printf("child %d parent %d\n", child, getpid());
        std::fflush(stdout);
        probe_segv_outer();
    }
    if (s == "fork-crash-twice") {
        // A forked child crashes twice: its main thread first, a second thread
        // while the first report is being written. The report left is the first.
        pid_t child = fork();
        if (child == 0) {
            std::thread second(probe_second_crash);
            waitForThreads(1);
            probe_segv_outer();
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
            fail("the forked child did not crash");
        }
        std::printf("child %d\n", child);
        return 0;
    }
    if (s == "bus") probe_bus_outer();
    if (s == "fpe") probe_fpe_outer();
    if (s == "ill") probe_ill_outer();
    if (s == "exception") probe_throw_outer();
    if (s == "qsort") probe_qsort_outer();
    if (s == "live-in-handler") {
        // The handler runs on this thread's own stack: it uses the heap.
        handlerReporter = reporter.get();
        static std::string out = options.out;
        handlerOut = out.c_str();
        signal(SIGUSR1, probe_signal_handler);
        pthread_t self = pthread_self();
        std::thread sender([self] {
            while (!interruptedSpinning.load()) std::this_thread::yield();
            pthread_kill(self, SIGUSR1);
        });
        probe_interrupted_outer();
        sender.join();
        return 0;
    }
    if (s == "overflow-main") probe_overflow(0);
    if (s == "overflow-thread") {
        std::thread crashing(probe_overflow_on_thread);
        probe_main_waits();
    }
    if (s == "thread-crash") {
        auto waiting = startWaitingThreads(2, 0);
        std::thread crashing(probe_crash_on_thread);
        probe_main_waits();
    }
    if (s == "two-threads") {
        std::thread first(probe_crash_together);
        std::thread second(probe_crash_together);
        waitForThreads(2);
        go.store(true);
        probe_main_waits();
    }
    if (s == "blocked-thread") {
        // A thread that blocks every signal cannot be held: it is reported by number.
        std::thread blocked([] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            probe_thread_level_1();
        });
        waitForThreads(1);
        probe_segv_outer();
    }
    if (s == "malloc-held") {
        std::thread holder([] { probe_stop_inside_malloc(); });
#ifndef PROBE_SANITIZED
        while (!heapHeld.load()) std::this_thread::yield();
#endif
        probe_segv_outer();
    }
    if (s == "deep-threads") {
        // Threads whose stacks are deeper than the report has room for.
        auto waiting = startWaitingThreads(options.threads, options.depth);
        announceCrash();
        probe_deep(options.depth, probe_deep_bottom_crashes);
    }
    if (s == "frames-600") probe_deep(600, probe_deep_bottom_crashes);
    if (s == "live") {
        probe_live_report(reporter.get(), options.out.c_str());
        return 0;
    }
    if (s == "live-thread") {
        auto waiting = startWaitingThreads(1, 0);
        pid_t target = waitingThread.load();
        auto report = reporter->generateLiveReportWithThread(target);
        if (!report.ok()) fail("live report: " + report.error().description());
        FILE* file = std::fopen(options.out.c_str(), "wb");
        std::fwrite(report.value().data(), 1, report.value().size(), file);
        std::fclose(file);
        // The thread runs on after the report.
        uint64_t before = progress.load();
        for (int i = 0; i < 5000 && progress.load() == before; ++i) usleep(1000);
        if (progress.load() == before) fail("the thread did not run on after the live report");
        std::printf("%d\n", target);
        std::fflush(stdout);
        _exit(0);
    }
    if (s == "live-many") {
        // Live reports in a row, for the benchmark: none leaves a file behind.
        for (int i = 0; i < options.threads; ++i) {
            auto report = reporter->generateLiveReport();
            if (!report.ok()) fail("live report: " + report.error().description());
        }
        return 0;
    }
    if (s == "none") probe_segv_outer();
    fail("unknown scenario " + s);
}

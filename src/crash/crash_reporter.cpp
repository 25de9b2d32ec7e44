#include "crash/crash_reporter.h"

#include <cxxabi.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <typeinfo>

#include "crash/crash_dwarf.h"
#include "crash/crash_file_io.h"
#include "crash/crash_log_writer.h"
#include "crash/crash_signal_handler.h"
#include "logging/log.h"
#include "platform/main_bundle.h"
#include "platform/posix_error.h"
#include "platform/sandbox.h"

namespace strombel::crash {

/// The memory ranges a report's memory map holds (192 KiB of table). Most
/// processes have a few hundred; in one with more, the addresses above the
/// last range held are read through the kernel.
constexpr uint32_t kMemoryMapRanges = 8192;

/// One capture instance's process-wide state. Everything the crash-time code
/// touches is made before its handlers go in and is never released.
struct CaptureInstance {
    const char* spareTag;
    SignalCapture& signals;
    std::terminate_handler terminateHandler;
    std::terminate_handler previousTerminateHandler = nullptr;
    crash_frame_reader readers[3];
    uint32_t readerCount;

    std::once_flag classInitialised;
    crash_image_list images;
    std::mutex enableMutex;
    bool enabledOnce = false;
    std::once_flag prepared;
    bool preparedOk = false;
    crash_memory_map memory;
    crash_thread_table threads;
    crash_write_environment environment;

    // The crash-time writer record and its files. The spare file, made at
    // enable, is the enabling process's: a child forked from it shares the
    // descriptor (and its offset), so a child writes a spare file of its own.
    crash_log_writer writer;
    int spareFd = -1;
    pid_t spareOwner = 0;
    int reportFolder = -1;
    std::atomic<pid_t> forkedWriter{0};

    // The crash callbacks: each set is kept whole in a copy of its own and
    // published at once, so that a handler installed by a failed enable reads
    // either the old callbacks or the new ones, never half of each. Copies are
    // never dropped: a crash may still be reading an earlier one.
    std::mutex callbackMutex;
    std::deque<CrashReporterCallbacks> callbackCopies;
    std::atomic<const CrashReporterCallbacks*> callbacks{nullptr};
    // Set once a reporter of this instance is enabled; callbacks are then fixed.
    std::atomic<bool> enabled{false};

    CaptureInstance(const char* tag, SignalCapture& capture, std::terminate_handler terminate,
                    std::initializer_list<crash_frame_reader> frameReaders)
        : spareTag(tag), signals(capture), terminateHandler(terminate), readerCount(0) {
        for (crash_frame_reader reader : frameReaders) readers[readerCount++] = reader;
    }

    // "Class initialisation": the images loaded so far.
    void initialiseClass() {
        std::call_once(classInitialised, [this] { images.refresh(); });
    }

    // The reserved memory the writer works in: memory map, thread table.
    bool prepare() {
        std::call_once(prepared, [this] {
            void* cache = mmap(nullptr, sizeof(crash_dwarf_rules_cache), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            preparedOk = crash_memory_map_reserve(&memory, kMemoryMapRanges) && threads.prepare() &&
                         images.reserveLate() && cache != MAP_FAILED;
            if (cache != MAP_FAILED) environment.rulesCache = static_cast<crash_dwarf_rules_cache*>(cache);
            environment.memory = &memory;
            environment.images = &images;
            environment.threads = &threads;
            environment.readers = readers;
            environment.readerCount = readerCount;
        });
        if (preparedOk) signals.setBlockedSignal(threads.suspendSignal());
        return preparedOk;
    }

    // Back to before the first enable (the reserved memory stays).
    void reset();
};

namespace {

constexpr int kCrashSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};
constexpr const char* kLiveReportName = "live_report.crashlg";

CaptureInstance& mainInstance() {
    static Immortal<CaptureInstance> instance("crash", CrashSignalHandler::sharedHandler(), crash_uncaught_exception_handler,
                                              std::initializer_list<crash_frame_reader>{
                                                  crash_compact_unwind_reader, crash_dwarf_frame_reader, crash_frame_pointer_reader});
    return instance.get();
}

CaptureInstance& usageInstance() {
    static Immortal<CaptureInstance> instance("usage", UsageCrashSignalHandler::sharedHandler(),
                                              usage_uncaught_exception_handler,
                                              std::initializer_list<crash_frame_reader>{crash_frame_pointer_reader});
    return instance.get();
}

// --- Crash time ---------------------------------------------------------------------

// The name of a process's spare file in the report folder (".live_report.<pid>.<tag>.spare").
void spareFileName(char* name, size_t size, pid_t process, const char* tag) {
    char number[12];
    crash_async_format_int(number, static_cast<int>(process));
    size_t length = crash_async_strlcpy(name, ".live_report.", size);
    length += crash_async_strlcpy(name + length, number, size - length);
    length += crash_async_strlcpy(name + length, ".", size - length);
    length += crash_async_strlcpy(name + length, tag, size - length);
    crash_async_strlcpy(name + length, ".spare", size - length);
}

// Writes the crash report into the process's spare file and renames it onto
// the live report path once complete: the enabling process uses the file made
// at enable, a child forked from it makes its own now, so that each process's
// report is whole whichever of them crashes first. One report per process.
// 0, or 6 when it could not be written.
int crash_write_report(CaptureInstance& instance, pid_t crashedThread, const crash_thread_state* state,
                       const crash_signal_info* signalInfo) {
    pid_t self = crash_async_gettid();
    // A thread that crashes while another writes leaves its state for that
    // writer and waits its turn; by then the process is usually gone.
    instance.threads.leavePendingState(self, state);
    if (!instance.threads.acquireWriter(self)) return CRASH_EINTERNAL;
    instance.threads.clearPendingState(self);
    pid_t process = getpid();
    char spareName[64];
    spareFileName(spareName, sizeof spareName, process, instance.spareTag);
    int fd = -1;
    if (process == instance.spareOwner) {
        fd = instance.spareFd;
        instance.spareFd = -1;
    } else if (instance.forkedWriter.exchange(process) != process) {
        fd = openat(instance.reportFolder, spareName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        instance.threads.releaseWriter();
        return CRASH_EINTERNAL;
    }
    crash_async_file file;
    crash_async_file_init(&file, fd, CRASH_REPORT_LIMIT);
    int result = crash_log_writer_write(&instance.writer, &instance.environment, crashedThread, &file, signalInfo, state);
    crash_log_writer_close(&instance.writer);
    bool flushed = crash_async_file_flush(&file);
    bool closed = close(fd) == 0;
    if (result == CRASH_ESUCCESS && (!flushed || !closed)) result = CRASH_EINTERNAL;
    if (result == CRASH_ESUCCESS &&
        renameat(instance.reportFolder, spareName, instance.reportFolder, kLiveReportName) != 0) {
        result = CRASH_EINTERNAL;
    }
    if (result != CRASH_ESUCCESS) unlinkat(instance.reportFolder, spareName, 0);
    instance.threads.releaseWriter();
    return result;
}

void resetCrashSignals() {
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int crashSignal : kCrashSignals) sigaction(crashSignal, &fallback, nullptr);
}

// The fault address of a signal: the signal information holds one only for a
// fault the kernel raised (a positive code). A signal sent by abort(), raise()
// or kill() carries the sender's process and user ids in the same place.
uint64_t faultAddress(int signal, const siginfo_t* info) {
    if (!info || info->si_code <= 0) return 0;
    switch (signal) {
        case SIGILL:
        case SIGFPE:
        case SIGSEGV:
        case SIGBUS:
        case SIGTRAP: return reinterpret_cast<uint64_t>(info->si_addr);
        default: return 0;
    }
}

// The crash callback at the head of the chain, on the crashing thread. Our
// handlers stay in place while the report is written, so that a second thread
// that crashes meanwhile waits for the writer instead of ending the process
// before the report is complete; a fault inside the writer itself comes back
// here, finds the writer taken by its own thread and ends the process.
bool crash_crash_callback(int signal, siginfo_t* info, void* ucontext, void* context, const crash_signal_continuation*) {
    auto& instance = *static_cast<CaptureInstance*>(context);
    crash_thread_state state;
    crash_thread_state_init_from_ucontext(&state, ucontext);
    crash_signal_info signalInfo;
    signalInfo.signo = signal;
    signalInfo.code = info ? info->si_code : 0;
    signalInfo.address = faultAddress(signal, info);
    int result = crash_write_report(instance, crash_async_gettid(), &state, &signalInfo);
    // The signal raised again, or the fault that comes back, now ends the process.
    resetCrashSignals();
    const CrashReporterCallbacks* callbacks = instance.callbacks.load(std::memory_order_acquire);
    if (result == CRASH_ESUCCESS && callbacks && callbacks->handleSignal) {
        callbacks->handleSignal(info, ucontext, callbacks->context);
    }
    return false;
}

std::string exceptionTypeName(const std::type_info* type) {
    if (!type) return "unknown exception";
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                                          &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(type->name());
}

// The return addresses of the calling thread's stack: the stack an uncaught
// exception stands on. Like the addresses a runtime records with its
// exceptions, they come from the unwind tables whichever instance asks (the
// second one walks its threads by frame pointers only).
struct ExceptionWalk {
    CaptureInstance* instance;
    crash_memory_map* memory;
    std::vector<uint64_t>* callStack;
};

int walkExceptionStack(crash_thread_state* state, void* context) {
    auto* walk = static_cast<ExceptionWalk*>(context);
    CaptureInstance& instance = *walk->instance;
    instance.images.setReading(true);
    crash_frame_environment environment{&instance.images, walk->memory, 0};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, state);
    while (walk->callStack->size() < CRASH_REPORT_MAX_FRAMES && crash_frame_cursor_next(&cursor) == CRASH_FRAME_ESUCCESS) {
        uint64_t pc = 0;
        if (crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc) != CRASH_FRAME_ESUCCESS || pc == 0) break;
        walk->callStack->push_back(pc);
    }
    instance.images.setReading(false);
    return 0;
}

std::vector<uint64_t> exceptionCallStack(CaptureInstance& instance) {
    std::vector<uint64_t> callStack;
    callStack.reserve(CRASH_REPORT_MAX_FRAMES);
    instance.images.refresh();
    crash_memory_map memory;
    bool mapped = crash_memory_map_reserve(&memory, kMemoryMapRanges);
    if (mapped) crash_memory_map_load(&memory);
    ExceptionWalk walk{&instance, mapped ? &memory : nullptr, &callStack};
    crash_thread_state_capture(walkExceptionStack, &walk);
    if (mapped) crash_memory_map_release(&memory);
    return callStack;
}

// Records the uncaught exception in the crash-time writer record and aborts;
// the SIGABRT that follows writes the report with its exception.
[[noreturn]] void recordUncaughtException(CaptureInstance& instance) {
    if (std::exception_ptr exception = std::current_exception()) {
        std::string name = exceptionTypeName(abi::__cxa_current_exception_type());
        std::string reason;
        try {
            std::rethrow_exception(exception);
        } catch (const std::exception& error) {
            reason = error.what();
        } catch (...) {
        }
        std::vector<uint64_t> callStack = exceptionCallStack(instance);
        if (instance.writer.initialized) crash_log_writer_set_exception(&instance.writer, name, reason, callStack);
    }
    std::abort();
}

}  // namespace

void crash_uncaught_exception_handler() { recordUncaughtException(mainInstance()); }
void usage_uncaught_exception_handler() { recordUncaughtException(usageInstance()); }

// --- The reporter -------------------------------------------------------------------

namespace {

std::filesystem::path reportDirectory(const std::string& identifier) {
    std::string folder = identifier;
    for (char& c : folder) {
        if (c == '/') c = '_';
    }
    return platform::Sandbox::shared().caches() / "com.brindlemoor.crashreporter.data" / folder;
}

// Spare report files of processes that are gone (killed before they could
// crash or exit) are removed; those of running processes are theirs.
void removeStaleSpareFiles(const std::filesystem::path& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        const std::string prefix = ".live_report.";
        if (name.rfind(prefix, 0) != 0 || name.size() < 6 || name.compare(name.size() - 6, 6, ".spare") != 0) continue;
        long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
        std::error_code ignored;
        std::filesystem::remove(it->path(), ignored);
    }
}

// Makes `folder` and the folders above it that are missing, each with mode
// 0755 (less what the umask takes away). Folders that exist keep their mode:
// reports hold registers and stack contents, and a folder its owner closed to
// others stays closed.
std::error_code createFolder(const std::filesystem::path& folder) {
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) return {};
    if (folder.has_parent_path() && folder.parent_path() != folder) {
        if (std::error_code above = createFolder(folder.parent_path())) return above;
    }
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return {errno, std::generic_category()};
    if (!std::filesystem::is_directory(folder, error)) {
        return error ? error : std::make_error_code(std::errc::not_a_directory);
    }
    return {};
}

platform::Error fileSystemError(const std::error_code& error, const std::string& description) {
    return platform::posixError(error.value(), description + ": " + error.message());
}

}  // namespace

CrashReporterBase::CrashReporterBase(CaptureInstance& instance, std::string applicationIdentifier,
                                     std::string applicationVersion, CrashReporterConfig config)
    : instance_(instance),
      config_(config),
      applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(applicationVersion)),
      crashReportDirectory_(reportDirectory(applicationIdentifier_)) {
    instance_.initialiseClass();
}

namespace {

std::string bundleIdentifier(const platform::MainBundle& bundle) {
    if (auto identifier = bundle.identifier(); identifier && !identifier->empty()) return *identifier;
    const char* name = program_invocation_short_name;
    if (!name || !*name) throw CrashReporterException("Can not determine process identifier or process name");
    STROMBEL_LOG_WARN("[CrashReporter] Warning -- bundle identifier, using process name {}", name);
    return name;
}

std::string bundleVersion(const platform::MainBundle& bundle) {
    if (auto version = bundle.version()) return *version;
    STROMBEL_LOG_WARN("[CrashReporter] Warning -- bundle version unavailable");
    return "";
}

}  // namespace

CrashReporterBase::CrashReporterBase(CaptureInstance& instance, const platform::MainBundle& bundle,
                                     CrashReporterConfig config)
    : CrashReporterBase(instance, bundleIdentifier(bundle), bundleVersion(bundle), config) {}

bool CrashReporterBase::hasPendingCrashReport() const {
    std::error_code error;
    return std::filesystem::exists(crashReportPath(), error);
}

platform::Result<std::vector<uint8_t>> CrashReporterBase::loadPendingCrashReportData() const {
    // A report is at most CRASH_REPORT_LIMIT bytes: a file sixteen times larger
    // is damaged and is refused (error EFBIG) without being read.
    return detail::readFileUpTo(crashReportPath(), 16 * CRASH_REPORT_LIMIT);
}

platform::Result<void> CrashReporterBase::purgePendingCrashReport() const {
    std::error_code error;
    if (!std::filesystem::remove(crashReportPath(), error)) {
        if (!error) error = std::make_error_code(std::errc::no_such_file_or_directory);
        return fileSystemError(error, "Cannot remove " + crashReportPath().string());
    }
    return {};
}

void CrashReporterBase::setCrashCallbacks(const CrashReporterCallbacks* callbacks) {
    // A failed enable leaves the reporter not enabled: its callbacks may still be set.
    if (enabled_ || instance_.enabled.load()) throw CrashReporterException("The crash reporter has alread been enabled");
    if (callbacks && callbacks->version != 0) {
        // Both capture instances share this check; its line names this file for either.
        std::fputs("crash_reporter.cpp: assertion failed: callbacks->version == 0\n", stderr);
        std::abort();
    }
    std::lock_guard lock(instance_.callbackMutex);
    const CrashReporterCallbacks* published = nullptr;
    if (callbacks) published = &instance_.callbackCopies.emplace_back(*callbacks);
    instance_.callbacks.store(published, std::memory_order_release);
}

platform::Result<void> CrashReporterBase::enableCrashReporter() {
    CaptureInstance& instance = instance_;
    {
        std::lock_guard lock(instance.enableMutex);
        if (instance.enabledOnce) return crash_reporter_error(3, "A CrashReporter instance has already been enabled");
        instance.enabledOnce = true;
    }
    if (std::error_code error = createFolder(queuedCrashReportDirectory())) {
        return fileSystemError(error, "Cannot create " + queuedCrashReportDirectory().string());
    }
    if (applicationIdentifier_.empty()) {
        // Both capture instances share this check; its line names this file for either.
        std::fputs("crash_reporter.cpp: assertion failed: _applicationIdentifier != nil\n", stderr);
        std::abort();
    }

    // Everything the handlers use, made now: a failure installs nothing.
    instance.images.refresh();
    if (!instance.prepare()) return crash_reporter_error(1, "Failed to prepare the crash report writer", ENOMEM);
    if (crash_log_writer_init(&instance.writer, applicationIdentifier_, applicationVersion_,
                              mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), false) != CRASH_ESUCCESS) {
        return crash_reporter_error(1, "Failed to prepare the crash report writer", ESRCH);
    }
    removeStaleSpareFiles(crashReportDirectory_);
    instance.reportFolder = open(crashReportDirectory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (instance.reportFolder < 0) return crash_reporter_error(1, "Failed to create the crash report file", errno);
    char spareName[64];
    instance.spareOwner = getpid();
    spareFileName(spareName, sizeof spareName, instance.spareOwner, instance.spareTag);
    instance.spareFd = openat(instance.reportFolder, spareName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (instance.spareFd < 0) return crash_reporter_error(1, "Failed to create the crash report file", errno);
    // Everything above reaches a crash on any thread through the callback
    // chain, which the registrations below publish (the handler reads it with
    // acquire), and the terminate handler through set_terminate.

    if (config_.signalHandlerType() == 1) {
        if (auto registered = instance.signals.registerHandlerForSignal(SIGABRT, crash_crash_callback, &instance);
            !registered.ok()) {
            return registered;
        }
        return crash_reporter_error(1, "Failed to instantiate the Mach exception server.", ENOTSUP);
    }
    if (config_.signalHandlerType() == 0) {
        for (int signal : kCrashSignals) {
            if (auto registered = instance.signals.registerHandlerForSignal(signal, crash_crash_callback, &instance);
                !registered.ok()) {
                return registered;
            }
        }
    }
    instance.previousTerminateHandler = std::set_terminate(instance.terminateHandler);
    instance.enabled.store(true);
    enabled_ = true;
    return {};
}

platform::Result<std::vector<uint8_t>> CrashReporterBase::generateLiveReport() {
    return liveReport(crash_async_gettid(), reinterpret_cast<uint64_t>(__builtin_return_address(0)));
}

platform::Result<std::vector<uint8_t>> CrashReporterBase::generateLiveReportWithThread(pid_t thread) {
    return liveReport(thread, reinterpret_cast<uint64_t>(__builtin_return_address(0)));
}

namespace {

struct LiveWrite {
    crash_log_writer* writer;
    crash_write_environment* environment;
    crash_async_file* file;
    const crash_signal_info* signalInfo;
    pid_t thread;
    int result;
};

int writeWithCallerState(crash_thread_state* state, void* context) {
    auto* live = static_cast<LiveWrite*>(context);
    live->result = crash_log_writer_write(live->writer, live->environment, live->thread, live->file, live->signalInfo, state);
    return live->result;
}

}  // namespace

platform::Result<std::vector<uint8_t>> CrashReporterBase::liveReport(pid_t thread, uint64_t callerAddress) {
    CaptureInstance& instance = instance_;
    instance.images.refresh();
    if (!instance.prepare()) return crash_reporter_error(0, "Failed to write the crash report to disk");

    crash_log_writer writer;
    if (crash_log_writer_init(&writer, applicationIdentifier_, applicationVersion_,
                              mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), true) != CRASH_ESUCCESS) {
        // Without the process's own facts the report would name no process, no
        // system and no processors: no report rather than one that misleads.
        crash_log_writer_free(&writer);
        return crash_reporter_error(0, "Failed to write the crash report to disk");
    }

    const char* temporary = std::getenv("TMPDIR");
    std::string path = std::string(temporary && *temporary ? temporary : "/tmp") + "/live_crash_report.XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) {
        crash_log_writer_free(&writer);
        return crash_reporter_error(1, "Failed to create temporary path", errno);
    }
    crash_async_file file;
    crash_async_file_init(&file, fd, CRASH_REPORT_LIMIT);
    crash_signal_info signalInfo;
    signalInfo.signo = SIGTRAP;
    signalInfo.code = TRAP_TRACE;
    signalInfo.address = callerAddress;

    pid_t self = crash_async_gettid();
    LiveWrite live{&writer, &instance.environment, &file, &signalInfo, thread, CRASH_EUNKNOWN};
    instance.threads.acquireWriter(self);
    if (thread == self) {
        crash_thread_state_capture(writeWithCallerState, &live);
    } else {
        live.result = crash_log_writer_write(&writer, &instance.environment, thread, &file, &signalInfo, nullptr);
    }
    instance.threads.releaseWriter();
    crash_log_writer_close(&writer);
    bool closed = crash_async_file_close(&file);
    crash_log_writer_free(&writer);

    platform::Result<std::vector<uint8_t>> result = crash_reporter_error(0, "Failed to write the crash report to disk");
    if (live.result != CRASH_ESUCCESS || !closed) {
        STROMBEL_LOG_ERROR("Write failed with error {}",
                           crash_async_strerror(live.result != CRASH_ESUCCESS ? live.result : CRASH_OUTPUT_ERR));
    } else {
        std::ifstream stream(path, std::ios::binary);
        if (stream) {
            result = std::vector<uint8_t>((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        } else {
            result = crash_reporter_error(0, "Unable to open live crash report for reading");
        }
    }
    if (unlink(path.c_str()) != 0) STROMBEL_LOG_ERROR("Failure occured deleting live crash report: {}", std::strerror(errno));
    return result;
}

// --- The two instances ----------------------------------------------------------------

void CaptureInstance::reset() {
    signals.uninstall();
    if (enabled.exchange(false)) std::set_terminate(previousTerminateHandler);
    callbacks.store(nullptr, std::memory_order_release);
    if (spareFd >= 0) close(spareFd);
    if (reportFolder >= 0) {
        char spareName[64];
        spareFileName(spareName, sizeof spareName, spareOwner, spareTag);
        unlinkat(reportFolder, spareName, 0);
        close(reportFolder);
    }
    spareFd = reportFolder = -1;
    spareOwner = 0;
    forkedWriter.store(0);
    crash_log_writer_free(&writer);
    std::lock_guard lock(enableMutex);
    enabledOnce = false;
}

void crash_reporter_reset_instances() {
    mainInstance().reset();
    usageInstance().reset();
}


CrashReporter& CrashReporter::sharedReporter() {
    static CrashReporter reporter;
    return reporter;
}
CrashReporter::CrashReporter() : CrashReporter(CrashReporterConfig::defaultConfiguration()) {}
CrashReporter::CrashReporter(CrashReporterConfig config) : CrashReporter(platform::MainBundle::shared(), config) {}
CrashReporter::CrashReporter(const platform::MainBundle& bundle, CrashReporterConfig config)
    : CrashReporterBase(mainInstance(), bundle, config) {}
CrashReporter::CrashReporter(std::string applicationIdentifier, std::string applicationVersion, CrashReporterConfig config)
    : CrashReporterBase(mainInstance(), std::move(applicationIdentifier), std::move(applicationVersion), config) {}

UsageCrashReporter& UsageCrashReporter::sharedReporter() {
    static UsageCrashReporter reporter;
    return reporter;
}
UsageCrashReporter::UsageCrashReporter() : UsageCrashReporter(CrashReporterConfig::defaultConfiguration()) {}
UsageCrashReporter::UsageCrashReporter(CrashReporterConfig config)
    : UsageCrashReporter(platform::MainBundle::shared(), config) {}
UsageCrashReporter::UsageCrashReporter(const platform::MainBundle& bundle, CrashReporterConfig config)
    : CrashReporterBase(usageInstance(), bundle, config) {}
UsageCrashReporter::UsageCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                                       CrashReporterConfig config)
    : CrashReporterBase(usageInstance(), std::move(applicationIdentifier), std::move(applicationVersion), config) {}

}  // namespace strombel::crash

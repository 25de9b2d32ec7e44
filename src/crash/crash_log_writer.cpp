#include "crash/crash_log_writer.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include "crash/crash_dwarf.h"
#include "crash/crash_objc.h"
#include "crash/crash_process_info.h"
#include "crash/crash_signal_names.h"
#include "crash/crash_symbol.h"
#include "crash/crash_writer_pack.h"
#include "platform/host_time.h"
#include "platform/utf8_cut.h"

namespace strombel::crash {

// A writer in a signal handler reads the exception's flag: it must be lock-free.
static_assert(std::atomic<bool>::is_always_lock_free);

// --- The record, in ordinary context --------------------------------------------

namespace {

// Exception texts are cut so that the threads of a report still fit.
constexpr size_t kMaximumExceptionName = 1024;
constexpr size_t kMaximumExceptionReason = 4096;

// Physical cores: distinct (package, core) pairs of the CPUs the kernel lists.
uint32_t physicalCoreCount() {
    std::set<std::pair<std::string, std::string>> cores;
    for (int cpu = 0; cpu < 4096; ++cpu) {
        std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        std::ifstream package(topology + "physical_package_id");
        std::ifstream core(topology + "core_id");
        if (!package || !core) break;
        std::string p, c;
        package >> p;
        core >> c;
        cores.emplace(p, c);
    }
    return static_cast<uint32_t>(cores.size());
}

}  // namespace

int crash_log_writer_init(crash_log_writer* writer, const std::string& applicationIdentifier,
                          const std::string& applicationVersion, uint32_t symbolicationStrategy, bool userRequested) {
    *writer = crash_log_writer();
    writer->symbolicationStrategy = symbolicationStrategy;
    writer->userRequested = userRequested;
    if (getrandom(writer->uuid, sizeof writer->uuid, 0) != static_cast<ssize_t>(sizeof writer->uuid)) {
        for (auto& byte : writer->uuid) byte = static_cast<uint8_t>(std::rand());
    }
    writer->uuid[6] = static_cast<uint8_t>((writer->uuid[6] & 0x0F) | 0x40);
    writer->uuid[8] = static_cast<uint8_t>((writer->uuid[8] & 0x3F) | 0x80);
    writer->applicationIdentifier = applicationIdentifier;
    writer->applicationVersion = applicationVersion;

    auto process = CrashProcessInfo::currentProcessInfo();
    if (!process) return CRASH_EINVAL;
    writer->processID = static_cast<uint32_t>(process->processID());
    writer->processName = process->processName();
    writer->hasProcessName = !writer->processName.empty();
    writer->startTime = process->startTime();
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && !executable.empty()) {
        writer->processPath = executable.string();
        writer->hasProcessPath = true;
    }
    writer->parentProcessID = static_cast<uint32_t>(process->parentProcessID());
    if (auto parent = CrashProcessInfo::withProcessID(process->parentProcessID())) {
        writer->parentProcessName = parent->processName();
        writer->hasParentProcessName = true;
    }
    writer->native = true;
    writer->bootTime = CrashProcessInfo::bootTime().value_or(0);
    long ticks = sysconf(_SC_CLK_TCK);
    writer->clockTicksPerSecond = ticks > 0 ? static_cast<uint64_t>(ticks) : 0;

    writer->model = platform::devicePlatform();
    writer->hasModel = !writer->model.empty();
    writer->cpuType = crash_host_cpu_type();
    writer->cpuSubtype = crash_host_cpu_subtype();
    writer->processorCount = physicalCoreCount();
    long logical = sysconf(_SC_NPROCESSORS_CONF);
    writer->logicalProcessorCount = logical > 0 ? static_cast<uint32_t>(logical) : 0;

    struct utsname name;
    if (uname(&name) == 0) {
        writer->osVersion = name.release;
        writer->osBuild = name.version;
        writer->hasOsBuild = true;
    }
    // The record reaches the crash handlers through the publication of their
    // signal callbacks, and the terminate handler through set_terminate, both
    // made after this returns.
    writer->initialized = true;
    return CRASH_ESUCCESS;
}

void crash_log_writer_set_exception(crash_log_writer* writer, const std::string& name, const std::string& reason,
                                    const std::vector<uint64_t>& callStack) {
    if (writer->uncaughtException.hasException.value.load(std::memory_order_relaxed)) {
        // Both capture instances share this check; its line names this file for either.
        std::fputs("crash_log_writer.cpp: assertion failed: writer->uncaught_exception.has_exception == false\n", stderr);
        std::abort();
    }
    writer->uncaughtException.name = std::string(platform::cutAtCharacter(name, kMaximumExceptionName));
    writer->uncaughtException.reason = std::string(platform::cutAtCharacter(reason, kMaximumExceptionReason));
    writer->uncaughtException.callStack = callStack;
    if (writer->uncaughtException.callStack.size() > CRASH_REPORT_MAX_FRAMES) {
        writer->uncaughtException.callStack.resize(CRASH_REPORT_MAX_FRAMES);
    }
    writer->uncaughtException.hasException.value.store(true, std::memory_order_release);
}

int crash_log_writer_close(crash_log_writer*) { return CRASH_ESUCCESS; }

void crash_log_writer_free(crash_log_writer* writer) { *writer = crash_log_writer(); }

// --- Writing, async-signal-safe ----------------------------------------------------

namespace {

using File = crash_async_file;

size_t packUint32(File* file, uint32_t field, uint32_t value) { return crash_writer_pack(file, field, CRASH_PACK_UINT32, &value); }
size_t packUint64(File* file, uint32_t field, uint64_t value) { return crash_writer_pack(file, field, CRASH_PACK_UINT64, &value); }
size_t packInt64(File* file, uint32_t field, int64_t value) { return crash_writer_pack(file, field, CRASH_PACK_INT64, &value); }
size_t packEnum(File* file, uint32_t field, uint32_t value) { return crash_writer_pack(file, field, CRASH_PACK_ENUM, &value); }
size_t packBool(File* file, uint32_t field, bool value) { return crash_writer_pack(file, field, CRASH_PACK_BOOL, &value); }
size_t packString(File* file, uint32_t field, const char* value) { return crash_writer_pack(file, field, CRASH_PACK_STRING, value); }
size_t packBytes(File* file, uint32_t field, const void* data, uint64_t length) {
    crash_pack_bytes bytes = {length, data};
    return crash_writer_pack(file, field, CRASH_PACK_BYTES, &bytes);
}

// A nested message: measured with no file, then its tag and length, then its body.
template <typename Body>
size_t packMessage(File* file, uint32_t field, Body&& body) {
    auto length = static_cast<uint32_t>(body(nullptr));
    size_t header = crash_writer_pack(file, field, CRASH_PACK_MESSAGE, &length);
    if (file) body(file);
    return header + length;
}

size_t messageSize(uint32_t field, size_t body) {
    return crash_writer_varint_size(uint64_t{field} << 3) + crash_writer_varint_size(body) + body;
}

// The process a report describes. The record's, unless the writer runs in a
// process forked from the one the record was made in: that child's own.
struct ProcessFacts {
    uint32_t processID = 0;
    uint32_t parentProcessID = 0;
    const char* parentProcessName = nullptr;
    uint64_t startTime = 0;
};

struct Writer {
    crash_log_writer* record;
    crash_write_environment* environment;
    crash_frame_environment frames;
    uint32_t generation;
    crash_objc_cache* objc;
    ProcessFacts process;
};

// The calling process's start in seconds since 1970, from the 22nd field of
// /proc/self/stat (clock ticks after the boot); 0 when it cannot be read.
uint64_t ownStartTime(const crash_log_writer* record) {
    if (record->bootTime == 0 || record->clockTicksPerSecond == 0) return 0;
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    ssize_t length = read(fd, text, sizeof text);  // the kernel gives the whole line at once
    close(fd);
    // The fields after the name's closing parenthesis (its last one) are 3 on.
    ssize_t at = length - 1;
    while (at >= 0 && text[at] != ')') --at;
    if (at < 0) return 0;
    int field = 2;
    uint64_t ticks = 0;
    bool found = false;
    for (ssize_t i = at + 1; i < length && field <= 22; ++i) {
        if (text[i] == ' ') {
            ++field;
        } else if (field == 22) {
            if (text[i] < '0' || text[i] > '9') return 0;
            ticks = ticks * 10 + static_cast<uint64_t>(text[i] - '0');
            found = true;
        }
    }
    return found ? record->bootTime + ticks / record->clockTicksPerSecond : 0;
}

ProcessFacts processFacts(const crash_log_writer* record) {
    ProcessFacts facts;
    auto self = static_cast<uint32_t>(getpid());
    if (self == record->processID) {
        facts.processID = record->processID;
        facts.parentProcessID = record->parentProcessID;
        facts.parentProcessName = record->hasParentProcessName ? record->parentProcessName.c_str() : nullptr;
        facts.startTime = record->startTime;
        return facts;
    }
    facts.processID = self;
    facts.parentProcessID = static_cast<uint32_t>(getppid());
    // The parent is the recorded process unless that one is gone too.
    if (facts.parentProcessID == record->processID && record->hasProcessName) {
        facts.parentProcessName = record->processName.c_str();
    }
    facts.startTime = ownStartTime(record);
    return facts;
}

size_t packProcessor(File* file, uint32_t field, uint64_t type, uint64_t subtype) {
    return packMessage(file, field, [&](File* f) {
        return packEnum(f, 1, 1) + packUint64(f, 2, type) + packUint64(f, 3, subtype);
    });
}

// The symbol around `pc`, its name cut to 255 bytes.
struct FoundSymbol {
    char name[256];
    uint64_t start;
};

void keepSymbol(uint64_t start, const char* name, void* context) {
    auto* found = static_cast<FoundSymbol*>(context);
    crash_async_strlcpy(found->name, name, sizeof found->name);
    found->start = start;
}

bool lookupSymbol(const Writer& w, uint64_t pc, FoundSymbol* found) {
    uint32_t strategy = w.record->symbolicationStrategy;
    if (strategy == 0) return false;
    const crash_image* image = w.environment->images ? w.environment->images->find(pc, w.generation) : nullptr;
    if (!image) return false;
    if (image->format == CRASH_IMAGE_FORMAT_MACHO) {
        return crash_find_symbol(image->macho, w.environment->memory, strategy, w.objc, pc, keepSymbol, found) ==
               CRASH_ESUCCESS;
    }
    // ELF images carry no Objective-C metadata: only their symbol tables name frames.
    if (!(strategy & CRASH_SYMBOL_STRATEGY_SYMBOL_TABLE)) return false;
    if (image->fileSymbols.fd >= 0) {
        uint64_t value = 0;
        if (!crash_elf_file_symbols_find(&image->fileSymbols, pc - image->bias, found->name, sizeof found->name, &value)) {
            return false;
        }
        found->start = value + image->bias;
        return true;
    }
    if (image->symbolCount == 0) return false;
    const crash_elf_symbol* symbol = crash_elf_find_symbol(image->symbols, image->symbolCount, pc - image->bias);
    if (!symbol) return false;
    crash_async_strlcpy(found->name, image->symbolNames + symbol->nameOffset, sizeof found->name);
    found->start = symbol->value + image->bias;
    return true;
}

// One stack frame: its pc, and the symbol found for it. Return addresses
// (caller frames, and a state captured by a call) are looked up one byte
// back, so that a call that ends its function is named after the function
// that made it; a pc where interrupted code stood is looked up as it is.
size_t packFrame(const Writer& w, File* file, uint32_t field, uint64_t pc, bool returnAddress) {
    return packMessage(file, field, [&](File* f) {
        size_t size = packUint64(f, 3, pc);
        FoundSymbol symbol;
        if (lookupSymbol(w, returnAddress && pc > 0 ? pc - 1 : pc, &symbol)) {
            size += packMessage(f, 6, [&](File* g) { return packString(g, 1, symbol.name) + packUint64(g, 2, symbol.start); });
        }
        return size;
    });
}

// Walks `state` and packs up to `limit` frames; the bytes they take.
size_t packFrames(const Writer& w, File* file, const crash_thread_state* state, uint32_t limit) {
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &w.frames, state);
    size_t size = 0;
    for (uint32_t depth = 0; depth < limit; ++depth) {
        if (crash_frame_cursor_next_with_readers(&cursor, w.environment->readers, w.environment->readerCount) != 0) break;
        uint64_t pc = 0;
        if (crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc) != 0 || pc == 0) break;
        size += packFrame(w, file, 2, pc, crash_frame_cursor_pc_is_return_address(&cursor));
    }
    return size;
}

// The largest number of frames (at most `limit`) whose thread or exception
// message, with `fixedBody` bytes besides, takes at most `budget` bytes.
uint32_t framesThatFit(const Writer& w, uint32_t field, const crash_thread_state* state, const uint64_t* addresses,
                       uint32_t limit, size_t fixedBody, size_t budget) {
    if (messageSize(field, fixedBody) > budget) return 0;
    size_t body = fixedBody;
    uint32_t fitting = 0;
    if (state) {
        crash_frame_cursor cursor;
        crash_frame_cursor_init(&cursor, &w.frames, state);
        for (uint32_t depth = 0; depth < limit; ++depth) {
            if (crash_frame_cursor_next_with_readers(&cursor, w.environment->readers, w.environment->readerCount) != 0) break;
            uint64_t pc = 0;
            if (crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc) != 0 || pc == 0) break;
            body += packFrame(w, nullptr, 2, pc, crash_frame_cursor_pc_is_return_address(&cursor));
            if (messageSize(field, body) > budget) break;
            fitting = depth + 1;
        }
    } else {
        for (uint32_t i = 0; i < limit; ++i) {
            body += packFrame(w, nullptr, 3, addresses[i], true);
            if (messageSize(field, body) > budget) break;
            fitting = i + 1;
        }
    }
    return fitting;
}

size_t packRegisters(File* file, const crash_thread_state* state) {
    size_t size = 0;
    uint32_t count = crash_thread_state_register_count(state);
    for (uint32_t reg = 0; reg < count; ++reg) {
        uint64_t value = crash_thread_state_is_valid(state, reg) ? crash_thread_state_get(state, reg) : 0;
        const char* name = crash_thread_state_register_name(state, reg);
        size += packMessage(file, 4, [&](File* f) { return packString(f, 1, name) + packUint64(f, 2, value); });
    }
    return size;
}

// A walk's first frame is the state's own pc: without one the walk gives no
// frame at all.
bool walkGivesAFrame(const crash_thread_state* state) {
    return crash_thread_state_is_valid(state, CRASH_REG_PC) && crash_thread_state_get(state, CRASH_REG_PC) != 0;
}

// A thread: number, crashed flag, the crashed thread's registers and up to
// `frameLimit` frames. Without a state, or when its walk gives no frame, only
// the number and the flag.
size_t packThreadBody(const Writer& w, File* file, uint32_t number, bool crashed, const crash_thread_state* state,
                      uint32_t frameLimit) {
    size_t size = packUint32(file, 1, number) + packBool(file, 3, crashed);
    if (!state || !walkGivesAFrame(state)) return size;
    if (crashed) size += packRegisters(file, state);
    return size + packFrames(w, file, state, frameLimit);
}

size_t packImage(File* file, const crash_image& image) {
    return packMessage(file, 4, [&](File* f) {
        size_t size = packUint64(f, 2, image.size) + packUint64(f, 1, image.base) + packString(f, 3, image.name ? image.name : "");
        if (image.buildIdLength > 0) size += packBytes(f, 4, image.buildId, image.buildIdLength);
        return size + packProcessor(f, 5, image.cpuType, image.cpuSubtype);
    });
}

size_t packExceptionBody(const Writer& w, File* file, uint32_t frameLimit) {
    const auto& exception = w.record->uncaughtException;
    size_t size = packString(file, 1, exception.name.c_str()) + packString(file, 2, exception.reason.c_str());
    uint32_t count = static_cast<uint32_t>(exception.callStack.size());
    // Every recorded address is a return address, the first one included.
    for (uint32_t i = 0; i < count && i < frameLimit; ++i) size += packFrame(w, file, 3, exception.callStack[i], true);
    return size;
}

size_t packSignal(File* file, const crash_signal_info* info) {
    return packMessage(file, 6, [&](File* f) {
        // "#", the sign, ten digits and the terminator.
        char number[13];
        const char* name = crash_signal_name(info->signo);
        if (!name) {
            number[0] = '#';
            crash_async_format_int(number + 1, info->signo);
            name = number;
        }
        char codeNumber[13];
        const char* code = crash_signal_code_name(info->signo, info->code);
        if (!code) {
            codeNumber[0] = '#';
            crash_async_format_int(codeNumber + 1, info->code);
            code = codeNumber;
        }
        size_t size = packString(f, 1, name) + packString(f, 2, code) + packUint64(f, 3, info->address);
        if (info->hasMachException) {
            size += packMessage(f, 4, [&](File* g) {
                size_t inner = packUint64(g, 1, info->machExceptionType);
                for (uint32_t i = 0; i < info->machCodeCount; ++i) inner += packUint64(g, 2, info->machCodes[i]);
                return inner;
            });
        }
        return size;
    });
}

size_t packFixedSections(const Writer& w, File* file) {
    const crash_log_writer* r = w.record;
    size_t size = 0;
    if (file) crash_async_file_write(file, CRASH_REPORT_MAGIC, 7);
    if (file) crash_async_file_write(file, &CRASH_REPORT_VERSION, 1);
    size += 8;
    size += packMessage(file, 9, [&](File* f) { return packBool(f, 1, r->userRequested) + packBytes(f, 2, r->uuid, 16); });
    size += packMessage(file, 1, [&](File* f) {
        struct timespec now = {0, 0};
        int64_t timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? now.tv_sec : 0;
#if defined(__x86_64__)
        const uint32_t architecture = 1;  // X86_64
#else
        const uint32_t architecture = 6;  // ARCHITECTURE_UNKNOWN: no value for 64-bit ARM
#endif
        // OS_UNKNOWN: this is not iPhone OS, whose readers would drop the "_"
        // that begins a name there but not in ELF ("_ZN..." keeps it).
        size_t inner = packEnum(f, 1, 3) + packString(f, 2, r->osVersion.c_str());
        if (r->hasOsBuild) inner += packString(f, 5, r->osBuild.c_str());
        return inner + packEnum(f, 3, architecture) + packInt64(f, 4, timestamp);
    });
    size += packMessage(file, 8, [&](File* f) {
        size_t inner = r->hasModel ? packString(f, 1, r->model.c_str()) : 0;
        inner += packProcessor(f, 2, r->cpuType, r->cpuSubtype);
        return inner + packUint32(f, 3, r->processorCount) + packUint32(f, 4, r->logicalProcessorCount);
    });
    size += packMessage(file, 2, [&](File* f) {
        return packString(f, 1, r->applicationIdentifier.c_str()) + packString(f, 2, r->applicationVersion.c_str());
    });
    const ProcessFacts& process = w.process;
    size += packMessage(file, 7, [&](File* f) {
        size_t inner = r->hasProcessName ? packString(f, 1, r->processName.c_str()) : 0;
        inner += packUint32(f, 2, process.processID);
        if (r->hasProcessPath) inner += packString(f, 3, r->processPath.c_str());
        if (process.parentProcessName) inner += packString(f, 4, process.parentProcessName);
        return inner + packUint32(f, 5, process.parentProcessID) + packBool(f, 6, r->native) +
               packUint64(f, 7, process.startTime);
    });
    return size;
}

// Images: the link map's order; images loaded since the list was made are
// described from their headers on the stack.
struct ImagePass {
    Writer* w;
    File* file;
    uint64_t limit;
    size_t* reserved;
    size_t programSize;
    const crash_image* program;
    bool programWritten;
};

void writeImageIfItFits(ImagePass* pass, const crash_image& image) {
    if (&image == pass->program) {
        if (pass->programWritten) return;
        packImage(pass->file, image);
        *pass->reserved -= pass->programSize;
        pass->programWritten = true;
        return;
    }
    size_t size = packImage(nullptr, image);
    if (pass->file->total + size + *pass->reserved <= pass->limit) packImage(pass->file, image);
}

bool visitLinkMapEntry(uint64_t bias, uint64_t nameAddress, uint64_t dynamic, void* context) {
    auto* pass = static_cast<ImagePass*>(context);
    crash_image_list* images = pass->w->environment->images;
    for (uint32_t i = 0; i < images->count(); ++i) {
        const crash_image& image = images->at(i);
        if (images->live(i) && image.format == CRASH_IMAGE_FORMAT_ELF && image.dynamic == dynamic && image.bias == bias) {
            writeImageIfItFits(pass, image);
            return true;
        }
    }
    if (const crash_image* image = images->findLate(bias, dynamic, pass->w->generation)) {
        writeImageIfItFits(pass, *image);
        return true;
    }
    // No room was left for it among the late images: still listed.
    crash_image_stack_record late;
    if (!crash_image_describe(pass->w->environment->memory, bias, bias, &late.image)) return true;
    late.name[0] = '\0';
    for (uint32_t i = 0; i + 1 < sizeof late.name; ++i) {
        if (crash_async_read(pass->w->environment->memory, nameAddress, i, &late.name[i], 1) != CRASH_ESUCCESS) {
            late.name[i] = '\0';
            break;
        }
        if (late.name[i] == '\0') break;
        late.name[i + 1] = '\0';
    }
    late.image.name = late.name;
    writeImageIfItFits(pass, late.image);
    return true;
}

// Marks the listed images still loaded; an image loaded since the list was
// made becomes a late image of this report, unwound and named like the others.
bool markLoaded(uint64_t bias, uint64_t name, uint64_t dynamic, void* context) {
    auto* w = static_cast<Writer*>(context);
    crash_image_list* images = w->environment->images;
    bool listed = false;
    for (uint32_t i = 0; i < images->count(); ++i) {
        crash_image& image = images->at(i);
        if (images->live(i) && image.format == CRASH_IMAGE_FORMAT_ELF && image.dynamic == dynamic && image.bias == bias) {
            image.reportGeneration = w->generation;
            listed = true;
        }
    }
    if (!listed) images->addLate(w->environment->memory, bias, name, dynamic, w->generation);
    return true;
}

constexpr uint32_t kLinkMapLimit = 4096;

}  // namespace

int crash_log_writer_write(crash_log_writer* record, crash_write_environment* environment, pid_t crashedThread,
                           crash_async_file* file, const crash_signal_info* signalInfo,
                           const crash_thread_state* currentState) {
    pid_t self = crash_async_gettid();
    if (environment->memory) crash_memory_map_load(environment->memory);
    uint32_t threadCount = environment->threads ? environment->threads->suspendAll(self, environment->suspendTimeoutNanos) : 0;

    crash_objc_cache objc;
    crash_objc_cache_init(&objc);
    Writer w{record, environment, {environment->images, environment->memory, 0, environment->rulesCache}, 0, &objc,
             processFacts(record)};
    if (environment->rulesCache) crash_dwarf_rules_cache_clear(environment->rulesCache);
    // Which listed images are still loaded; all of them when the link map
    // cannot be read. Images appended by hand (Mach-O ones) are loaded while listed.
    crash_image_list* images = environment->images;
    if (images) {
        images->setReading(true);
        w.generation = ++environment->reportGeneration;
        if (w.generation == 0) w.generation = ++environment->reportGeneration;
        bool walked = crash_link_map_walk(environment->memory, kLinkMapLimit, markLoaded, &w);
        for (uint32_t i = 0; i < images->count(); ++i) {
            if (!walked || images->at(i).format == CRASH_IMAGE_FORMAT_MACHO) images->at(i).reportGeneration = w.generation;
        }
        w.frames.generation = w.generation;
    }

    // The crashed thread's state: the caller's own, or the one its thread left.
    const crash_thread_state* crashedState = nullptr;
    crash_thread_record* crashedRecord = nullptr;
    for (uint32_t i = 0; i < threadCount; ++i) {
        crash_thread_record& thread = environment->threads->at(i);
        if (thread.tid != crashedThread) continue;
        crashedRecord = &thread;
        if (thread.tid == self) crashedState = currentState;
        else if (thread.answered.load(std::memory_order_acquire) == 1) crashedState = &thread.state;
    }
    // A caller that is not among the threads listed (no list could be made) is
    // still the crashed thread; a thread id that is not the caller's and is
    // not listed names no thread of this process, and no thread is marked.
    if (!crashedRecord && crashedThread == self) crashedState = currentState;
    const bool hasCrashedThread = crashedRecord || (crashedThread == self && currentState);

    const uint64_t limit = file->limit != 0 ? file->limit : CRASH_REPORT_LIMIT;
    const crash_image* program = images && images->count() > 0 && images->live(0) ? &images->at(0) : nullptr;
    size_t fixed = packFixedSections(w, nullptr);
    size_t signal = packSignal(nullptr, signalInfo);
    size_t programSize = program ? packImage(nullptr, *program) : 0;
    bool hasException = record->uncaughtException.hasException.value.load(std::memory_order_acquire);
    size_t exceptionFixed = hasException ? packExceptionBody(w, nullptr, 0) : 0;
    // Sized with the highest number it could get, so that the room kept is enough.
    size_t crashedFixed = packThreadBody(w, nullptr, threadCount, true, crashedState, 0);

    // What must be written, with the crashed thread's frames cut to fit, then
    // the exception's frames in what is left.
    size_t mandatory = fixed + signal + programSize + (hasException ? messageSize(5, exceptionFixed) : 0);
    size_t budget = limit > mandatory ? limit - mandatory : 0;
    uint32_t crashedFrames = crashedState ? framesThatFit(w, 3, crashedState, nullptr, CRASH_REPORT_MAX_FRAMES, crashedFixed, budget) : 0;
    size_t crashedSize =
        hasCrashedThread ? messageSize(3, packThreadBody(w, nullptr, threadCount, true, crashedState, crashedFrames)) : 0;
    uint32_t exceptionFrames = 0;
    size_t exceptionSize = 0;
    if (hasException) {
        size_t left = limit > fixed + signal + programSize + crashedSize ? limit - (fixed + signal + programSize + crashedSize) : 0;
        exceptionFrames = framesThatFit(w, 5, nullptr, record->uncaughtException.callStack.data(),
                                        static_cast<uint32_t>(record->uncaughtException.callStack.size()), exceptionFixed, left);
        exceptionSize = messageSize(5, packExceptionBody(w, nullptr, exceptionFrames));
    }
    size_t reserved = crashedSize + programSize + exceptionSize + signal;

    packFixedSections(w, file);

    // Threads in list order; numbers count only the threads written.
    uint32_t number = 0;
    bool crashedWritten = false;
    auto writeCrashed = [&]() {
        packMessage(file, 3, [&](File* f) { return packThreadBody(w, f, number, true, crashedState, crashedFrames); });
        ++number;
        reserved -= crashedSize;
        crashedWritten = true;
    };
    for (uint32_t i = 0; i < threadCount; ++i) {
        crash_thread_record& thread = environment->threads->at(i);
        if (&thread == crashedRecord) {
            writeCrashed();
            continue;
        }
        const crash_thread_state* state = nullptr;
        if (thread.tid == self) {
            if (!currentState) continue;
            state = currentState;
        } else if (thread.answered.load(std::memory_order_acquire) == 1) {
            state = &thread.state;
        }
        size_t size = messageSize(3, packThreadBody(w, nullptr, number, false, state, CRASH_REPORT_MAX_FRAMES));
        if (file->total + size + reserved > limit) continue;
        packMessage(file, 3, [&](File* f) { return packThreadBody(w, f, number, false, state, CRASH_REPORT_MAX_FRAMES); });
        ++number;
    }
    if (!crashedWritten && hasCrashedThread) writeCrashed();

    if (environment->images) {
        ImagePass pass{&w, file, limit, &reserved, programSize, program, false};
        bool walked = crash_link_map_walk(environment->memory, kLinkMapLimit, visitLinkMapEntry, &pass);
        for (uint32_t i = 0; i < images->count(); ++i) {
            const crash_image& image = images->at(i);
            if (images->live(i) && (!walked || image.format == CRASH_IMAGE_FORMAT_MACHO)) writeImageIfItFits(&pass, image);
        }
        if (program && !pass.programWritten) writeImageIfItFits(&pass, *program);
    }

    if (hasException) {
        packMessage(file, 5, [&](File* f) { return packExceptionBody(w, f, exceptionFrames); });
    }
    packSignal(file, signalInfo);

    if (images) {
        images->clearLate();
        images->setReading(false);
    }
    crash_objc_cache_free(&objc);
    if (environment->threads) environment->threads->resumeAll();
    // Output failures are the file's to report, when its caller flushes or
    // closes it: a write the limit refused leaves only that piece out.
    return CRASH_ESUCCESS;
}

}  // namespace strombel::crash

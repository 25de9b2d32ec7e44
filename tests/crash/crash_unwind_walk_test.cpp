// Whole walks: a synthesized image whose functions use compact-unwind, DWARF
// and frame-pointer frames in turn, walked to the end of its stack by the
// cursor and named in a report; this process's own stack walked through the C
// library by the DWARF reader alone; and the deepest use of the 64 KiB
// alternate signal stack while a report is written.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crash/crash_compact_unwind.h"
#include "crash/crash_frame_cursor.h"
#include "crash/crash_log_writer.h"
#include "crash_macho_builder.h"
#include "crash_test_support.h"

namespace strombel::crash {
namespace {

using testing::FrameSection;
using testing::MachOBuilder;
using testing::UnwindInfoBuilder;

const crash_frame_reader allReaders[] = {crash_compact_unwind_reader, crash_dwarf_frame_reader, crash_frame_pointer_reader};

// Functions of the image, by their offset from its header.
constexpr uint64_t kFrameless = 0x1100, kDwarf = 0x1200, kFrame = 0x1300, kPlain = 0x1400, kOutermost = 0x1500;

// A 64-bit ARM image and a stack for it: the function at kFrameless (compact,
// frameless, 48 bytes) was called by kDwarf (its frame described by DWARF
// only), called by kFrame (compact, frame record, x19 and x20 saved), called
// by kPlain and kOutermost (no unwind information: frame records only).
struct SyntheticStack {
    MachOBuilder image{MachOBuilder::Options{}};
    uint64_t stack[32] = {};
    crash_thread_state start;

    uint64_t at(int i) const { return reinterpret_cast<uint64_t>(&stack[i]); }

    SyntheticStack() {
        UnwindInfoBuilder info;
        UnwindInfoBuilder::Page page;
        page.entries = {{kFrameless, 0x02000000 | (3 << 12)},
                        {kDwarf, 0x03000000},
                        {kFrame, 0x04000000 | 0x1},
                        {kPlain, 0}};
        info.pages = {page};
        info.sentinel = 0x2000;
        image.setUnwindInfo(info.build());

        // kDwarf: stp x29, x30, [sp, #16]; CFA = sp + 32.
        FrameSection ehFrame(image.at(MachOBuilder::kEhFrame));
        FrameSection::Cie cie;
        cie.pointerEncoding = 0x00;
        cie.returnAddressRegister = 30;
        cie.instructions = {0x0C, 31, 0};  // CFA = sp
        size_t c = ehFrame.cie(cie);
        ehFrame.fde(c, image.at(kDwarf), image.at(kDwarf + 0x100), {0x0E, 32, 0x80 | 29, 2, 0x80 | 30, 1});
        ehFrame.terminate();
        image.setEhFrame(ehFrame.data());
        // A "__debug_frame" that would describe kDwarf otherwise: "__eh_frame" wins.
        FrameSection debugFrame(image.at(MachOBuilder::kDwarf), true, false, true);
        FrameSection::Cie wrong = cie;
        wrong.augmentation = "";
        size_t d = debugFrame.cie(wrong);
        debugFrame.fde(d, image.at(kDwarf), image.at(kDwarf + 0x100), {0x0E, 64});
        image.setDebugFrame(debugFrame.data());

        image.symbol("_frameless_leaf", kFrameless);
        image.symbol("_described_by_dwarf", kDwarf);
        image.symbol("_keeps_a_frame", kFrame);
        image.symbol("_plain_caller", kPlain, false);
        image.symbol("_outermost", kOutermost);
        image.objcClass({"PadView", {{"touchDown:", image.at(kFrame)}}, {}, true});
        image.finish();

        // kFrameless: 48 bytes, nothing saved.
        // kDwarf: stack[6..9]: x29 at CFA - 16, x30 at CFA - 8.
        stack[8] = at(14);
        stack[9] = image.at(kFrame + 0x30);
        // kFrame: x20, x19 below its record at stack[14].
        stack[12] = 0x2020;
        stack[13] = 0x1919;
        stack[14] = at(20);
        stack[15] = image.at(kPlain + 0x40);
        // kPlain's record, then kOutermost's, which ends the chain.
        stack[20] = at(24);
        stack[21] = image.at(kOutermost + 0x10);
        stack[24] = 0;
        stack[25] = 0;

        crash_thread_state_init(&start, CRASH_THREAD_STATE_ARM64);
        crash_thread_state_set(&start, CRASH_REG_PC, image.at(kFrameless + 0x10));
        crash_thread_state_set(&start, CRASH_REG_SP, at(0));
        crash_thread_state_set(&start, CRASH_REG_FP, 0xBAD);  // kDwarf's caller's, saved by kDwarf
        crash_thread_state_set(&start, 32, image.at(kDwarf + 0x20));  // lr
    }
};

TEST(CrashUnwindWalk, ASynthesizedStackOfEveryKindOfFrameIsWalkedToItsEnd) {
    SyntheticStack synthetic;
    crash_image_list images(8);
    ASSERT_TRUE(images.append(synthetic.image.header(), "/Applications/Pads.app/Pads"));
    crash_memory_map memory;
    ASSERT_TRUE(crash_memory_map_reserve(&memory, 4096));
    ASSERT_TRUE(crash_memory_map_load(&memory));
    images.setReading(true);
    crash_frame_environment environment{&images, &memory, 0};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, &synthetic.start);
    std::vector<uint64_t> pcs;
    int result = 0;
    // The default readers: each kind of frame needs its own reader, in order.
    while ((result = crash_frame_cursor_next(&cursor)) == 0) {
        uint64_t pc = 0;
        ASSERT_EQ(crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc), 0);
        pcs.push_back(pc - synthetic.image.header());
        if (pcs.size() == 4) {
            // The caller of the compact frame has what that frame saved.
            uint64_t x19 = 0, x20 = 0;
            EXPECT_EQ(crash_frame_cursor_get_reg(&cursor, 3 + 19, &x19), 0);
            EXPECT_EQ(crash_frame_cursor_get_reg(&cursor, 3 + 20, &x20), 0);
            EXPECT_EQ(x19, 0x1919u);
            EXPECT_EQ(x20, 0x2020u);
        }
        if (pcs.size() > 10) break;
    }
    images.setReading(false);
    EXPECT_EQ(result, CRASH_FRAME_ENOFRAME);
    EXPECT_EQ(pcs, (std::vector<uint64_t>{kFrameless + 0x10, kDwarf + 0x20, kFrame + 0x30, kPlain + 0x40, kOutermost + 0x10}));
    crash_memory_map_release(&memory);
}

// The same stack in a report: every frame named from the image's symbols and
// metadata, the image listed with its UUID and CPU type.
struct ReportJob {
    crash_log_writer* writer;
    crash_write_environment* environment;
    const crash_thread_state* state;
    int fd;
    int result;
};

TEST(CrashUnwindWalk, AReportNamesTheSynthesizedFramesByStrategy) {
    SyntheticStack synthetic;
    for (uint32_t strategy : {1u, 3u}) {
        SCOPED_TRACE(strategy);
        crash_image_list images(64);
        images.refresh();
        ASSERT_TRUE(images.append(synthetic.image.header(), "/Applications/Pads.app/Pads"));
        crash_memory_map memory;
        ASSERT_TRUE(crash_memory_map_reserve(&memory, 8192));
        crash_log_writer writer;
        ASSERT_EQ(crash_log_writer_init(&writer, "org.example.pads", "2.1", strategy, false), 0);
        crash_write_environment environment;
        environment.memory = &memory;
        environment.images = &images;
        environment.readers = allReaders;
        environment.readerCount = 3;
        int fd = memfd_create("report", MFD_CLOEXEC);
        crash_async_file file;
        crash_async_file_init(&file, fd, CRASH_REPORT_LIMIT);
        crash_signal_info signal;
        signal.signo = SIGSEGV;
        ASSERT_EQ(crash_log_writer_write(&writer, &environment, crash_async_gettid(), &file, &signal, &synthetic.start), 0);
        crash_async_file_flush(&file);
        std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
        ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        close(fd);
        auto report = testing::decodeReport(bytes);
        ASSERT_NE(report, nullptr);
        const auto* thread = testing::crashedThread(*report);
        ASSERT_NE(thread, nullptr);
        auto names = testing::frameNames(thread->frames, thread->n_frames);
        std::string frameName = strategy == 3 ? "-[PadView touchDown:]" : "_keeps_a_frame";
        EXPECT_EQ(names, (std::vector<std::string>{"_frameless_leaf", "_described_by_dwarf", frameName, "_plain_caller",
                                                   "_outermost"}));
        bool listed = false;
        for (size_t i = 0; i < report->n_binary_images; ++i) {
            const auto* image = report->binary_images[i];
            if (std::string(image->name) != "/Applications/Pads.app/Pads") continue;
            listed = true;
            EXPECT_EQ(image->base_address, synthetic.image.header());
            EXPECT_EQ(image->size, MachOBuilder::kTextSize);
            ASSERT_TRUE(image->has_uuid);
            EXPECT_EQ(image->uuid.len, 16u);
            EXPECT_EQ(image->code_type->type, 0x0100000Cu);
        }
        EXPECT_TRUE(listed);
        crash_log_writer_free(&writer);
        crash_memory_map_release(&memory);
    }
}

// --- This process, walked by its unwind tables alone ---------------------------------------

const crash_frame_reader dwarfOnly[] = {crash_dwarf_frame_reader};

struct OwnWalk {
    crash_image_list* images;
    crash_memory_map* memory;
    std::vector<uint64_t> pcs;
    int last = 0;
};

OwnWalk* currentWalk = nullptr;

int walkOwnStack(crash_thread_state* state, void* context) {
    auto* walk = static_cast<OwnWalk*>(context);
    walk->images->setReading(true);
    crash_frame_environment environment{walk->images, walk->memory, 0};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, state);
    while (walk->pcs.size() < 200 && (walk->last = crash_frame_cursor_next_with_readers(&cursor, dwarfOnly, 1)) == 0) {
        uint64_t pc = 0;
        crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc);
        walk->pcs.push_back(pc);
    }
    walk->images->setReading(false);
    return 0;
}

extern "C" __attribute__((noinline)) int walk_test_compare(const void* a, const void* b) {
    if (currentWalk && currentWalk->pcs.empty()) crash_thread_state_capture(walkOwnStack, currentWalk);
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

extern "C" __attribute__((noinline)) void walk_test_sort(OwnWalk* walk) {
    int values[] = {4, 1, 3, 2};
    currentWalk = walk;
    qsort(values, 4, sizeof values[0], walk_test_compare);
    currentWalk = nullptr;
    __asm__ volatile("");
}

TEST(CrashUnwindWalk, TheDwarfReaderAloneWalksThisProcessThroughTheCLibraryToItsStart) {
    crash_image_list images;
    images.refresh();
    crash_memory_map memory;
    ASSERT_TRUE(crash_memory_map_reserve(&memory, 8192));
    ASSERT_TRUE(crash_memory_map_load(&memory));
    OwnWalk walk{&images, &memory, {}, 0};
    walk_test_sort(&walk);
    crash_memory_map_release(&memory);
    ASSERT_GT(walk.pcs.size(), 5u);
    // Each frame's function by this program's symbols: the comparator, then
    // the C library's qsort (a sanitizer's own, in a sanitized build), then back here.
    auto functionOf = [&](uint64_t pc) -> uint64_t {
        const crash_image* image = images.find(pc > 0 ? pc - 1 : pc, 0);
        if (!image || image->symbolCount == 0) return 0;
        const crash_elf_symbol* symbol = crash_elf_find_symbol(image->symbols, image->symbolCount, pc - 1 - image->bias);
        return symbol ? symbol->value + image->bias : 0;
    };
    auto imageName = [&](uint64_t pc) {
        const crash_image* image = images.find(pc > 0 ? pc - 1 : pc, 0);
        return std::string(image && image->name ? image->name : "");
    };
    const std::string program = images.at(0).name;
    EXPECT_EQ(functionOf(walk.pcs[0]), reinterpret_cast<uint64_t>(&walk_test_compare));
    size_t sorter = 1;
    while (sorter < walk.pcs.size() && imageName(walk.pcs[sorter]) != program) ++sorter;
    EXPECT_GT(sorter, 1u) << "no frame of the library's qsort";
    ASSERT_LT(sorter, walk.pcs.size());
    EXPECT_EQ(functionOf(walk.pcs[sorter]), reinterpret_cast<uint64_t>(&walk_test_sort)) << std::hex << walk.pcs[sorter];
    // On to the start of the process: its last frame is in the C library's start
    // code or the program's own _start, and the walk ended there, not in damage.
    EXPECT_EQ(walk.last, CRASH_FRAME_ENOFRAME);
    EXPECT_LT(walk.pcs.size(), 200u);
}

// --- The deepest use of the alternate signal stack -------------------------------------------

constexpr size_t kAlternateStack = 64 * 1024;
constexpr uint8_t kUntouched = 0xA5;

struct DepthJob {
    crash_log_writer writer;
    crash_write_environment environment;
    int fd = -1;
    int result = -1;
};
DepthJob* depthJob = nullptr;

void writeFromHandler(int, siginfo_t*, void* ucontext) {
    crash_thread_state state;
    crash_thread_state_init_from_ucontext(&state, ucontext);
    crash_async_file file;
    crash_async_file_init(&file, depthJob->fd, CRASH_REPORT_LIMIT);
    crash_signal_info signal;
    signal.signo = SIGUSR2;
    depthJob->result = crash_log_writer_write(&depthJob->writer, &depthJob->environment, crash_async_gettid(), &file,
                                              &signal, &state);
    crash_async_file_flush(&file);
}

extern "C" __attribute__((noinline)) void depth_test_interrupted() {
    raise(SIGUSR2);
    __asm__ volatile("");
}

TEST(CrashUnwindWalk, AReportWrittenOnThe64KiBAlternateStackUsesLessThanHalfOfIt) {
    if (std::string(STROMBEL_SANITIZE_BUILD) != "") GTEST_SKIP() << "instrumented code takes a larger signal stack";
    crash_image_list images;
    images.refresh();
    crash_memory_map memory;
    ASSERT_TRUE(crash_memory_map_reserve(&memory, 8192));
    DepthJob job;
    ASSERT_EQ(crash_log_writer_init(&job.writer, "org.example.pads", "2.1", 3, false), 0);
    job.environment.memory = &memory;
    job.environment.images = &images;
    job.environment.readers = allReaders;
    job.environment.readerCount = 3;
    job.fd = memfd_create("report", MFD_CLOEXEC);
    depthJob = &job;

    void* region = mmap(nullptr, kAlternateStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    std::memset(region, kUntouched, kAlternateStack);
    stack_t alternate = {}, previous = {};
    alternate.ss_sp = region;
    alternate.ss_size = kAlternateStack;
    ASSERT_EQ(sigaltstack(&alternate, &previous), 0);
    struct sigaction action = {}, saved = {};
    action.sa_sigaction = writeFromHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &saved), 0);
    depth_test_interrupted();
    sigaction(SIGUSR2, &saved, nullptr);
    sigaltstack(&previous, nullptr);

    // The stack grows down: the bytes never written are at its low end.
    size_t untouched = 0;
    while (untouched < kAlternateStack && static_cast<uint8_t*>(region)[untouched] == kUntouched) ++untouched;
    size_t deepest = kAlternateStack - untouched;
    munmap(region, kAlternateStack);
    EXPECT_EQ(job.result, 0);
    close(job.fd);
    crash_log_writer_free(&job.writer);
    crash_memory_map_release(&memory);
    RecordProperty("deepest_alternate_stack_bytes", static_cast<int>(deepest));
    std::printf("deepest use of the alternate stack: %zu bytes\n", deepest);
    EXPECT_LT(deepest, kAlternateStack / 2);
}

}  // namespace
}  // namespace strombel::crash

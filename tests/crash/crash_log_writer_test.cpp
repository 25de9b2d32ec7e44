#include "crash/crash_log_writer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "crash/crash_signal_names.h"
#include "crash_test_support.h"

namespace strombel::crash {
namespace {

using testing::decodeReport;
using testing::ReportPointer;

// A writer with everything it works with, writing into memory files.
class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(crash_log_writer_init(&writer_, "org.example.pads", "2.1", 1, false), 0);
        images_.refresh();
        ASSERT_TRUE(crash_memory_map_reserve(&memory_, 8192));
        ASSERT_TRUE(threads_.prepare());
        environment_.memory = &memory_;
        environment_.images = &images_;
        environment_.threads = &threads_;
        environment_.readers = readers_;
        environment_.readerCount = 3;
    }

    struct Written {
        int result;
        std::vector<uint8_t> bytes;
    };

    Written write(const crash_signal_info& info, bool withCallerState = true, uint64_t limit = CRASH_REPORT_LIMIT,
                  int fd = -1) {
        if (fd < 0) fd = memfd_create("report", MFD_CLOEXEC);
        crash_async_file file;
        crash_async_file_init(&file, fd, limit);
        Call call{this, &file, &info, 0};
        if (withCallerState) {
            crash_thread_state_capture(&WriterTest::writeWithState, &call);
        } else {
            call.result = crash_log_writer_write(&writer_, &environment_, crash_async_gettid(), &file, &info, nullptr);
        }
        crash_async_file_flush(&file);
        Written written{call.result || file.failed ? CRASH_EINTERNAL : 0, {}};
        off_t size = lseek(fd, 0, SEEK_END);
        if (size > 0) {
            written.bytes.resize(static_cast<size_t>(size));
            EXPECT_EQ(pread(fd, written.bytes.data(), written.bytes.size(), 0), size);
        }
        close(fd);
        return written;
    }

    struct Call {
        WriterTest* test;
        crash_async_file* file;
        const crash_signal_info* info;
        int result;
    };
    static int writeWithState(crash_thread_state* state, void* context) {
        auto* call = static_cast<Call*>(context);
        call->result = crash_log_writer_write(&call->test->writer_, &call->test->environment_, crash_async_gettid(),
                                              call->file, call->info, state);
        return call->result;
    }

    crash_log_writer writer_;
    crash_image_list images_;
    crash_memory_map memory_;
    crash_thread_table threads_;
    crash_write_environment environment_;
    const crash_frame_reader readers_[3] = {crash_compact_unwind_reader, crash_dwarf_frame_reader, crash_frame_pointer_reader};
};

TEST_F(WriterTest, AReportHoldsEverySectionInOrder) {
    crash_signal_info info;
    info.signo = SIGSEGV;
    info.code = SEGV_ACCERR;
    info.address = 0xDEAD;
    Written written = write(info);
    ASSERT_EQ(written.result, 0);
    ReportPointer report = decodeReport(written.bytes);
    ASSERT_NE(report, nullptr);
    // Field order in the file: 9, 1, 8, 2, 7, then threads, images, signal.
    EXPECT_EQ(written.bytes[8], (9 << 3) | 2);
    // The report tells the truth about this machine instead of the tablet
    // platform's fixed values (IPHONE_OS, ARCHITECTURE_UNKNOWN): a reader
    // taking it for iPhone OS would print that name and drop the "_" that
    // begins a name there but not in ELF ("_ZN..." would lose its first
    // letter); x86-64 has a value of its own, 64-bit ARM has none.
    EXPECT_EQ(report->system_info->operating_system, CRASHLG__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN);
#if defined(__x86_64__)
    EXPECT_EQ(report->system_info->architecture, CRASHLG__ARCHITECTURE__X86_64);
    EXPECT_EQ(report->machine_info->processor->type, 0x01000007u);
    EXPECT_EQ(report->machine_info->processor->subtype, 3u);
#else
    EXPECT_EQ(report->system_info->architecture, CRASHLG__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
#endif
    EXPECT_GT(report->system_info->timestamp, 1600000000);
    EXPECT_NE(std::string(report->system_info->os_version), "");
    EXPECT_GT(report->machine_info->logical_processor_count, 0u);
    EXPECT_STREQ(report->application_info->identifier, "org.example.pads");
    EXPECT_STREQ(report->application_info->version, "2.1");
    EXPECT_EQ(report->process_info->process_id, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(report->process_info->parent_process_id, static_cast<uint32_t>(getppid()));
    EXPECT_TRUE(report->process_info->native);
    EXPECT_FALSE(report->report_info->user_requested);
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    EXPECT_STREQ(report->signal->code, "SEGV_ACCERR");
    EXPECT_EQ(report->signal->address, 0xDEADu);
    EXPECT_EQ(report->signal->mach_exception, nullptr);
    EXPECT_EQ(report->exception, nullptr);
    ASSERT_EQ(report->n_threads, 1u);
    EXPECT_TRUE(report->threads[0]->crashed);
}

TEST_F(WriterTest, AMachSectionIsWrittenWhenTheSignalInfoHasOne) {
    uint64_t codes[] = {1, 0x10};
    crash_signal_info info;
    info.signo = SIGSEGV;
    info.code = SEGV_MAPERR;
    info.address = 0x10;
    info.hasMachException = true;
    info.machExceptionType = 1;
    info.machCodes = codes;
    info.machCodeCount = 2;
    ReportPointer report = decodeReport(write(info).bytes);
    ASSERT_NE(report, nullptr);
    ASSERT_NE(report->signal->mach_exception, nullptr);
    EXPECT_EQ(report->signal->mach_exception->type, 1u);
    ASSERT_EQ(report->signal->mach_exception->n_codes, 2u);
    EXPECT_EQ(report->signal->mach_exception->codes[1], 0x10u);
}

TEST_F(WriterTest, SignalsAndCodesWithoutNamesAreWrittenByNumber) {
    struct Case {
        int signo;
        int code;
        const char* name;
        const char* codeName;
    } cases[] = {
        {SIGABRT, SI_TKILL, "SIGABRT", "#-6"},
        {SIGABRT, 0, "SIGABRT", "#0"},
        {SIGBUS, BUS_ADRALN, "SIGBUS", "BUS_ADRALN"},
        {SIGFPE, FPE_INTDIV, "SIGFPE", "FPE_INTDIV"},
        {SIGSEGV, 3, "SIGSEGV", "#3"},
        {SIGTRAP, TRAP_TRACE, "SIGTRAP", "TRAP_TRACE"},
        {64, INT32_MIN, "#64", "#-2147483648"},
    };
    for (const Case& c : cases) {
        crash_signal_info info;
        info.signo = c.signo;
        info.code = c.code;
        ReportPointer report = decodeReport(write(info, false).bytes);
        ASSERT_NE(report, nullptr);
        EXPECT_STREQ(report->signal->name, c.name);
        EXPECT_STREQ(report->signal->code, c.codeName);
    }
    EXPECT_EQ(SIGBUS, 7);
    EXPECT_EQ(FPE_INTDIV, 1);
    EXPECT_STREQ(crash_signal_name(6), "SIGABRT");
    EXPECT_EQ(crash_signal_name(0), nullptr);
}

TEST_F(WriterTest, WithoutACallerStateTheCallerIsLeftOut) {
    testing::crash_helper_thread other;
    testing::crash_helper_thread_start(&other);
    crash_signal_info info;
    info.signo = SIGTRAP;
    info.code = TRAP_TRACE;
    ReportPointer withState = decodeReport(write(info, true).bytes);
    ReportPointer withoutState = decodeReport(write(info, false).bytes);
    testing::crash_helper_thread_stop(&other);
    ASSERT_NE(withState, nullptr);
    ASSERT_NE(withoutState, nullptr);
    EXPECT_EQ(withState->n_threads, 2u);
    // The crashed thread is always written, by number only when it has no state.
    ASSERT_EQ(withoutState->n_threads, 2u);
    const auto* crashed = testing::crashedThread(*withoutState);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_frames, 0u);
    EXPECT_EQ(crashed->n_registers, 0u);
}

TEST_F(WriterTest, AnExceptionOf600AddressesKeeps512Frames) {
    std::vector<uint64_t> stack(600, reinterpret_cast<uint64_t>(&crash_signal_name) + 1);
    crash_log_writer_set_exception(&writer_, "std::logic_error", "bad", stack);
    crash_signal_info info;
    info.signo = SIGABRT;
    ReportPointer report = decodeReport(write(info).bytes);
    ASSERT_NE(report, nullptr);
    ASSERT_NE(report->exception, nullptr);
    EXPECT_STREQ(report->exception->name, "std::logic_error");
    EXPECT_EQ(report->exception->n_frames, 512u);
    ASSERT_NE(report->exception->frames[0]->symbol, nullptr);
    EXPECT_NE(std::string(report->exception->frames[0]->symbol->name).find("crash_signal_name"), std::string::npos);
    EXPECT_DEATH(crash_log_writer_set_exception(&writer_, "again", "", {}), "has_exception == false");
}

TEST_F(WriterTest, AReportThatWouldNotFitLeavesWholeThreadsOutAndStaysValid) {
    // A huge exception reason is cut; the report keeps its crashed thread.
    crash_log_writer_set_exception(&writer_, std::string(5000, 'n'), std::string(100000, 'r'), {});
    // Forty threads, each held in its own function's wait before the report is
    // written: a thread caught before it got there has so few frames that all
    // of them would fit. The writer waits for every answer, however slow the
    // machine.
    environment_.suspendTimeoutNanos = 60'000'000'000;
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;
    bool stop = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < 40; ++i) {
        threads.emplace_back([&] {
            std::unique_lock lock(mutex);
            ++waiting;
            changed.notify_all();
            changed.wait(lock, [&] { return stop; });
        });
    }
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return waiting == 40; });
    }
    crash_signal_info info;
    info.signo = SIGABRT;
    Written written = write(info, true, 8000);
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(written.result, 0);
    EXPECT_LE(written.bytes.size(), 8000u);
    ReportPointer report = decodeReport(written.bytes);
    ASSERT_NE(report, nullptr);
    EXPECT_NE(testing::crashedThread(*report), nullptr);
    EXPECT_LT(report->n_threads, 41u);
    EXPECT_EQ(std::string(report->exception->reason).size(), 4096u);
    EXPECT_EQ(std::string(report->exception->name).size(), 1024u);
    // The program's image is always there.
    ASSERT_GE(report->n_binary_images, 1u);
    EXPECT_STREQ(report->binary_images[0]->name, images_.at(0).name);
}

TEST_F(WriterTest, AWriteThatFailsIsReportedAsFailed) {
    crash_signal_info info;
    info.signo = SIGSEGV;
    Written written = write(info, true, CRASH_REPORT_LIMIT, open("/dev/full", O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(written.result, CRASH_EINTERNAL);
}

TEST_F(WriterTest, FramesAreNamedAndLookupsAfterTheFirstUseTheCallSite) {
    crash_signal_info info;
    info.signo = SIGTRAP;
    ReportPointer report = decodeReport(write(info).bytes);
    ASSERT_NE(report, nullptr);
    const auto* thread = testing::crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    auto names = testing::frameNames(thread->frames, thread->n_frames);
    ASSERT_GE(names.size(), 2u);
    // The captured state is the capture's caller: write(), called by the test.
    EXPECT_NE(names[0].find("WriterTest5write"), std::string::npos) << ::testing::PrintToString(names);
    EXPECT_NE(names[1].find("FramesAreNamed"), std::string::npos) << ::testing::PrintToString(names);
    // The stored pc is the return address itself, not the one looked up.
    for (size_t i = 1; i < thread->n_frames; ++i) {
        if (thread->frames[i]->symbol) {
            EXPECT_GT(thread->frames[i]->pc, thread->frames[i]->symbol->start_address);
        }
    }
    // Registers in number order, each named.
    ASSERT_GT(thread->n_registers, 2u);
    EXPECT_EQ(thread->frames[0]->pc, thread->registers[0]->value);
}

// A function whose last instruction is a call that never returns leaves a
// return address just past its end: from the second frame on, lookups go one
// byte back, so the frame is named after the function that made the call.
// Every address an exception records is a return address, the first one too
// (it is where the walk that recorded them was called from).
TEST_F(WriterTest, AReturnAddressJustPastItsFunctionIsNamedAfterTheCaller) {
    auto function = reinterpret_cast<uint64_t>(&crash_signal_name);
    const crash_image* image = images_.find(function, 0);
    ASSERT_NE(image, nullptr);
    const crash_elf_symbol* symbol = crash_elf_find_symbol(image->symbols, image->symbolCount, function - image->bias);
    ASSERT_NE(symbol, nullptr);
    ASSERT_GT(symbol->size, 0u);
    uint64_t end = image->bias + symbol->value + symbol->size;
    crash_log_writer_set_exception(&writer_, "e", "r", {end, end});
    crash_signal_info info;
    info.signo = SIGABRT;
    ReportPointer report = decodeReport(write(info).bytes);
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->exception->n_frames, 2u);
    const auto* first = report->exception->frames[0];
    const auto* second = report->exception->frames[1];
    EXPECT_EQ(first->pc, end);
    EXPECT_EQ(second->pc, end);
    ASSERT_NE(first->symbol, nullptr);
    EXPECT_NE(std::string(first->symbol->name).find("crash_signal_name"), std::string::npos);
    ASSERT_NE(second->symbol, nullptr);
    EXPECT_NE(std::string(second->symbol->name).find("crash_signal_name"), std::string::npos);
    EXPECT_EQ(second->symbol->start_address, function);
}

}  // namespace
}  // namespace strombel::crash

#pragma once

// Hand-built report files, packed with protobuf-c: a small valid report to
// start from, and every section a test may change or take away.

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "crash_report.pb-c.h"

namespace strombel::crash::testing {

class ReportBuilder {
public:
    using Thread = Crashlg__CrashReport__Thread;
    using Frame = Crashlg__CrashReport__Thread__StackFrame;
    using Image = Crashlg__CrashReport__BinaryImage;

    /// A 64-bit report: system (OS 3, "6.1.0" build "10B144", x86-64, 2013-03-01
    /// 12:00:00 UTC), machine, application "org.strombel.Strombel" 1.2, process
    /// "Strombel" [42] at /opt/Strombel.app/Strombel started ten seconds earlier,
    /// SIGSEGV SEGV_MAPERR at 0x10, no threads, no images.
    ReportBuilder() {
        crashlg__crash_report__init(&report);
        crashlg__crash_report__system_info__init(&system);
        system.has_operating_system = 1;
        system.operating_system = CRASHLG__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN;
        system.os_version = text("6.1.0");
        system.os_build = text("10B144");
        system.architecture = CRASHLG__ARCHITECTURE__X86_64;
        system.timestamp = 1362139200;
        report.system_info = &system;
        crashlg__crash_report__application_info__init(&application);
        application.identifier = text("org.strombel.Strombel");
        application.version = text("1.2");
        report.application_info = &application;
        crashlg__crash_report__machine_info__init(&machine);
        machine.model = text("Desk1,1");
        machine.processor = processor(16777223, 3);
        machine.processor_count = 4;
        machine.logical_processor_count = 8;
        report.machine_info = &machine;
        crashlg__crash_report__process_info__init(&process);
        process.process_name = text("Strombel");
        process.process_id = 42;
        process.process_path = text("/opt/Strombel.app/Strombel");
        process.parent_process_name = text("launcher");
        process.parent_process_id = 1;
        process.native = 1;
        process.has_start_time = 1;
        process.start_time = 1362139190;
        report.process_info = &process;
        crashlg__crash_report__signal__init(&signal);
        signal.name = text("SIGSEGV");
        signal.code = text("SEGV_MAPERR");
        signal.address = 0x10;
        report.signal = &signal;
    }
    ReportBuilder(const ReportBuilder&) = delete;

    char* text(const std::string& value) { return texts_.emplace_back(value).data(); }

    Crashlg__CrashReport__Processor* processor(uint64_t type, uint64_t subtype) {
        Crashlg__CrashReport__Processor& made = processors_.emplace_back();
        crashlg__crash_report__processor__init(&made);
        made.has_encoding = 1;
        made.encoding = CRASHLG__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
        made.type = type;
        made.subtype = subtype;
        return &made;
    }

    Frame* frame(uint64_t pc, const char* symbol = nullptr, uint64_t start = 0) {
        Frame& made = frames_.emplace_back();
        crashlg__crash_report__thread__stack_frame__init(&made);
        made.pc = pc;
        if (symbol) {
            Crashlg__CrashReport__Symbol& named = symbols_.emplace_back();
            crashlg__crash_report__symbol__init(&named);
            named.name = text(symbol);
            named.start_address = start;
            made.symbol = &named;
        }
        return &made;
    }

    Thread* addThread(uint32_t number, bool crashed, std::vector<Frame*> frames,
                      std::vector<std::pair<std::string, uint64_t>> registers = {}) {
        Thread& made = threads_.emplace_back();
        crashlg__crash_report__thread__init(&made);
        made.thread_number = number;
        made.crashed = crashed;
        auto& frameList = frameLists_.emplace_back(std::move(frames));
        made.n_frames = frameList.size();
        made.frames = frameList.data();
        auto& registerList = registerLists_.emplace_back();
        for (auto& [name, value] : registers) {
            Crashlg__CrashReport__Thread__RegisterValue& entry = registerValues_.emplace_back();
            crashlg__crash_report__thread__register_value__init(&entry);
            entry.name = text(name);
            entry.value = value;
            registerList.push_back(&entry);
        }
        made.n_registers = registerList.size();
        made.registers = registerList.data();
        threadList_.push_back(&made);
        report.n_threads = threadList_.size();
        report.threads = threadList_.data();
        return &made;
    }

    Image* addImage(uint64_t base, uint64_t size, const std::string& path, std::vector<uint8_t> uuid = {},
                    Crashlg__CrashReport__Processor* codeType = nullptr) {
        Image& made = images_.emplace_back();
        crashlg__crash_report__binary_image__init(&made);
        made.base_address = base;
        made.size = size;
        made.name = text(path);
        if (!uuid.empty()) {
            auto& bytes = uuids_.emplace_back(std::move(uuid));
            made.has_uuid = 1;
            made.uuid.len = bytes.size();
            made.uuid.data = bytes.data();
        }
        made.code_type = codeType;
        imageList_.push_back(&made);
        report.n_binary_images = imageList_.size();
        report.binary_images = imageList_.data();
        return &made;
    }

    /// A UUID field that is there but holds no bytes.
    void setEmptyUUID(Image* image) {
        image->has_uuid = 1;
        image->uuid.len = 0;
        image->uuid.data = nullptr;
    }

    void setReportUUID(std::vector<uint8_t> uuid) {
        crashlg__crash_report__report_info__init(&reportInfo);
        auto& bytes = uuids_.emplace_back(std::move(uuid));
        reportInfo.has_uuid = 1;
        reportInfo.uuid.len = bytes.size();
        reportInfo.uuid.data = bytes.data();
        report.report_info = &reportInfo;
    }

    void setException(const std::string& name, const std::string& reason, std::vector<Frame*> frames = {}) {
        crashlg__crash_report__exception__init(&exception);
        exception.name = text(name);
        exception.reason = text(reason);
        auto& frameList = frameLists_.emplace_back(std::move(frames));
        exception.n_frames = frameList.size();
        exception.frames = frameList.data();
        report.exception = &exception;
    }

    void setMachCodes(size_t count) {
        crashlg__crash_report__signal__mach_exception__init(&mach);
        mach.type = 1;
        machCodes_.assign(count, 7);
        mach.n_codes = machCodes_.size();
        mach.codes = machCodes_.data();
        signal.mach_exception = &mach;
    }

    /// The report file: magic, version 1 and the packed message.
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> file = {'c', 'r', 'a', 's', 'h', 'l', 'g', 1};
        size_t size = crashlg__crash_report__get_packed_size(&report);
        file.resize(8 + size);
        crashlg__crash_report__pack(&report, file.data() + 8);
        return file;
    }

    Crashlg__CrashReport report;
    Crashlg__CrashReport__SystemInfo system;
    Crashlg__CrashReport__ApplicationInfo application;
    Crashlg__CrashReport__MachineInfo machine;
    Crashlg__CrashReport__ProcessInfo process;
    Crashlg__CrashReport__Signal signal;
    Crashlg__CrashReport__Signal__MachException mach;
    Crashlg__CrashReport__ReportInfo reportInfo;
    Crashlg__CrashReport__Exception exception;

private:
    std::deque<std::string> texts_;
    std::deque<Crashlg__CrashReport__Processor> processors_;
    std::deque<Crashlg__CrashReport__Symbol> symbols_;
    std::deque<Frame> frames_;
    std::deque<Thread> threads_;
    std::deque<std::vector<Frame*>> frameLists_;
    std::deque<Crashlg__CrashReport__Thread__RegisterValue> registerValues_;
    std::deque<std::vector<Crashlg__CrashReport__Thread__RegisterValue*>> registerLists_;
    std::vector<Thread*> threadList_;
    std::deque<Image> images_;
    std::vector<Image*> imageList_;
    std::deque<std::vector<uint8_t>> uuids_;
    std::vector<uint64_t> machCodes_;
};

}  // namespace strombel::crash::testing

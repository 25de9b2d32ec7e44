#include "crash/crash_log.h"

#include <fmt/format.h>

#include <cstring>
#include <memory>

#include "crash_report.pb-c.h"
#include "json/utf8.h"
#include "platform/localized_strings.h"
#include "platform/main_bundle.h"

namespace strombel::crash {

namespace {

using Report = Crashlg__CrashReport;

struct ReportFree {
    void operator()(Report* report) const { crashlg__crash_report__free_unpacked(report, nullptr); }
};

// A decoding failure: code 2, the message first looked up in the main bundle's
// default table (`localised`), so that a translation may replace it.
struct Failure {
    const char* message;
    bool localised = true;
};

platform::Error decodingError(const Failure& failure, std::string_view number = {}) {
    std::string message = failure.localised ? platform::localizedString(platform::MainBundle::shared(), failure.message)
                                            : std::string(failure.message);
    if (!number.empty()) {
        if (size_t at = message.find("%d"); at != std::string::npos) message.replace(at, 2, number);
    }
    return platform::Error::make(kCrashReporterErrorDomain, 2, message);
}

// The report's text, U+FFFD for every sequence that is not UTF-8.
std::string text(const char* bytes) { return json::utf8::repaired(bytes); }

std::optional<std::string> optionalText(const char* bytes) {
    if (!bytes) return std::nullopt;
    return text(bytes);
}

CrashLogDate date(int64_t seconds) { return CrashLogDate(std::chrono::seconds(seconds)); }

using Frame = Crashlg__CrashReport__Thread__StackFrame;

}  // namespace

struct CrashLog::Parts {
    std::optional<CrashLogSystemInfo> systemInfo;
    std::optional<CrashLogMachineInfo> machineInfo;
    std::optional<CrashLogApplicationInfo> applicationInfo;
    std::optional<CrashLogProcessInfo> processInfo;
    std::optional<CrashLogSignalInfo> signalInfo;
    std::optional<CrashLogMachExceptionInfo> machExceptionInfo;
    std::vector<CrashLogThreadInfo> threads;
    std::vector<CrashLogBinaryImageInfo> images;
    std::optional<CrashLogExceptionInfo> exceptionInfo;
    std::optional<std::array<uint8_t, 16>> uuidRef;
};

namespace {

std::optional<Failure> extractProcessor(const Crashlg__CrashReport__Processor* processor,
                                        std::optional<CrashLogProcessorInfo>& out) {
    if (!processor) return Failure{"Crash report is missing processor info section"};
    out.emplace(processor->has_encoding ? static_cast<int32_t>(processor->encoding) : 0, processor->type,
                processor->subtype);
    return std::nullopt;
}

std::optional<Failure> extractFrames(Frame** frames, size_t count, std::vector<CrashLogStackFrameInfo>& out) {
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const Frame* frame = frames[i];
        if (!frame) return Failure{"Crash report is missing stack frame information"};
        std::optional<CrashLogSymbolInfo> symbol;
        if (frame->symbol) {
            const Crashlg__CrashReport__Symbol& stored = *frame->symbol;
            if (!stored.name) return Failure{"Crash report is missing symbol information"};
            symbol.emplace(text(stored.name), stored.start_address, stored.has_end_address ? stored.end_address : 0);
        }
        out.emplace_back(frame->pc, std::move(symbol));
    }
    return std::nullopt;
}

}  // namespace

CrashLog::CrashLog(Parts&& parts)
    : systemInfo_(std::move(*parts.systemInfo)),
      machineInfo_(std::move(parts.machineInfo)),
      applicationInfo_(std::move(*parts.applicationInfo)),
      processInfo_(std::move(parts.processInfo)),
      signalInfo_(std::move(*parts.signalInfo)),
      machExceptionInfo_(std::move(parts.machExceptionInfo)),
      threads_(std::move(parts.threads)),
      images_(std::move(parts.images)),
      exceptionInfo_(std::move(parts.exceptionInfo)),
      uuidRef_(parts.uuidRef) {}

platform::Result<CrashLog> CrashLog::initWithData(std::span<const uint8_t> data) {
    // 1. The header: magic and version.
    if (data.size() <= 8) return decodingError({"Could not decode truncated crash log"});
    if (std::memcmp(data.data(), "crashlg", 7) != 0) return decodingError({"Could not decode invalid crash log header"});
    if (data[7] != 1) {
        return decodingError({"Could not decode unsupported crash report version: %d"}, std::to_string(data[7]));
    }

    // 2. The message.
    std::unique_ptr<Report, ReportFree> report(crashlg__crash_report__unpack(nullptr, data.size() - 8, data.data() + 8));
    if (!report) return decodingError({"An unknown error occured decoding the crash report"});

    Parts parts;
    auto fail = [](const Failure& failure) { return decodingError(failure); };

    // 3. The report's identifier.
    if (report->report_info && report->report_info->has_uuid) {
        const ProtobufCBinaryData& uuid = report->report_info->uuid;
        if (uuid.len != 16) return fail({"Report UUID value is not a standard 16 bytes", false});
        std::array<uint8_t, 16> bytes;
        std::memcpy(bytes.data(), uuid.data, 16);
        parts.uuidRef = bytes;
    }

    // 4. The sections, in order.
    const Crashlg__CrashReport__SystemInfo* system = report->system_info;
    if (!system) return fail({"Crash report is missing System Information section"});
    if (!system->os_version) return fail({"Crash report is missing System Information OS version field"});
    parts.systemInfo.emplace(system->has_operating_system ? static_cast<int32_t>(system->operating_system) : 0,
                             text(system->os_version), optionalText(system->os_build),
                             static_cast<int32_t>(system->architecture),
                             system->timestamp != 0 ? std::optional(date(system->timestamp)) : std::nullopt);

    if (const Crashlg__CrashReport__MachineInfo* machine = report->machine_info) {
        std::optional<CrashLogProcessorInfo> processor;
        if (machine->processor) {
            if (auto failure = extractProcessor(machine->processor, processor)) return fail(*failure);
        }
        parts.machineInfo.emplace(optionalText(machine->model), processor, machine->processor_count,
                                  machine->logical_processor_count);
    }

    const Crashlg__CrashReport__ApplicationInfo* application = report->application_info;
    if (!application) return fail({"Crash report is missing Application Information section"});
    if (!application->identifier) return fail({"Crash report is missing Application Information app identifier field"});
    if (!application->version) return fail({"Crash report is missing Application Information app version field"});
    parts.applicationInfo.emplace(text(application->identifier), text(application->version));

    if (const Crashlg__CrashReport__ProcessInfo* process = report->process_info) {
        std::optional<CrashLogDate> startTime;
        if (process->has_start_time) {
            // Stored unsigned; a value past the signed range is no moment at all.
            if (process->start_time <= static_cast<uint64_t>(INT64_MAX)) {
                startTime = date(static_cast<int64_t>(process->start_time));
            }
        }
        parts.processInfo.emplace(optionalText(process->process_name), process->process_id,
                                  optionalText(process->process_path), startTime,
                                  optionalText(process->parent_process_name), process->parent_process_id,
                                  process->native != 0);
    }

    const Crashlg__CrashReport__Signal* signal = report->signal;
    if (!signal) return fail({"Crash report is missing Signal Information section"});
    if (!signal->name) return fail({"Crash report is missing signal name field"});
    if (!signal->code) return fail({"Crash report is missing signal code field"});
    parts.signalInfo.emplace(text(signal->name), text(signal->code), signal->address);

    if (const Crashlg__CrashReport__Signal__MachException* mach = signal->mach_exception) {
        if (mach->n_codes >= 256) return fail({"Crash report includes too many Mach Exception codes"});
        parts.machExceptionInfo.emplace(mach->type, std::vector<uint64_t>(mach->codes, mach->codes + mach->n_codes));
    }

    if (report->n_threads == 0) return fail({"Crash report is missing thread state information"});
    parts.threads.reserve(report->n_threads);
    for (size_t i = 0; i < report->n_threads; ++i) {
        const Crashlg__CrashReport__Thread* thread = report->threads[i];
        if (!thread) return fail({"Crash report is missing thread state information"});
        std::vector<CrashLogStackFrameInfo> frames;
        if (auto failure = extractFrames(thread->frames, thread->n_frames, frames)) return fail(*failure);
        std::vector<CrashLogRegisterInfo> registers;
        registers.reserve(thread->n_registers);
        for (size_t r = 0; r < thread->n_registers; ++r) {
            const Crashlg__CrashReport__Thread__RegisterValue* value = thread->registers[r];
            if (!value || !value->name) return fail({"Missing register name in register value", false});
            registers.emplace_back(text(value->name), value->value);
        }
        parts.threads.emplace_back(thread->thread_number, std::move(frames), thread->crashed != 0, std::move(registers));
    }

    if (report->n_binary_images == 0) return fail({"Crash report is missing binary image information"});
    parts.images.reserve(report->n_binary_images);
    for (size_t i = 0; i < report->n_binary_images; ++i) {
        const Crashlg__CrashReport__BinaryImage* image = report->binary_images[i];
        if (!image || !image->name) return fail({"Missing image name in image record", false});
        std::optional<CrashLogProcessorInfo> codeType;
        if (image->code_type) {
            if (auto failure = extractProcessor(image->code_type, codeType)) return fail(*failure);
        }
        std::span<const uint8_t> uuid;
        if (image->has_uuid && image->uuid.data) uuid = std::span<const uint8_t>(image->uuid.data, image->uuid.len);
        parts.images.emplace_back(codeType, image->base_address, image->size, text(image->name), uuid);
    }

    if (const Crashlg__CrashReport__Exception* exception = report->exception) {
        if (!exception->name) return fail({"Crash report is missing exception name field"});
        if (!exception->reason) return fail({"Crash report is missing exception reason field"});
        std::optional<std::vector<CrashLogStackFrameInfo>> frames;
        if (exception->n_frames != 0) {
            frames.emplace();
            if (auto failure = extractFrames(exception->frames, exception->n_frames, *frames)) return fail(*failure);
        }
        parts.exceptionInfo.emplace(text(exception->name), text(exception->reason), std::move(frames));
    }

    return CrashLog(std::move(parts));
}

const CrashLogBinaryImageInfo* CrashLog::imageForAddress(uint64_t address) const {
    for (const CrashLogBinaryImageInfo& image : images_) {
        if (image.contains(address)) return &image;
    }
    return nullptr;
}

CrashLogBinaryImageInfo::CrashLogBinaryImageInfo(std::optional<CrashLogProcessorInfo> codeType, uint64_t baseAddress,
                                                 uint64_t size, std::string name, std::span<const uint8_t> uuid)
    : codeType_(codeType), imageBaseAddress_(baseAddress), imageSize_(size), imageName_(std::move(name)) {
    if (uuid.empty()) return;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex(uuid.size() * 2, '0');
    for (size_t i = 0; i < uuid.size(); ++i) {
        hex[2 * i] = kDigits[uuid[i] >> 4];
        hex[2 * i + 1] = kDigits[uuid[i] & 0xF];
    }
    imageUUID_ = std::move(hex);
}

std::string uuidString(const std::array<uint8_t, 16>& uuid) {
    return fmt::format("{:02X}{:02X}{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
                       uuid[0], uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9],
                       uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15]);
}

}  // namespace strombel::crash

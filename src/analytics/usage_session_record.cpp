// The bytes a session sends: its record, its device parameters, the changed
// flags of tracked properties and the upload envelope.

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_network_util.h"
#include "analytics/usage_protocol_data.h"
#include "analytics/usage_session.h"
#include "analytics/usage_util.h"

namespace strombel::analytics {

namespace {

using P = UsageProtocolData;

size_t cappedCount(size_t count) { return std::min(count, UsageProtocolData::kMaximumListCount); }

constexpr const char* kTrackedKeys[] = {"device.locale", "default.timezone", "device.os.version", "device.model.1",
                                        "boot.time",     "scr.height",       "scr.width"};

std::string saltedDigest(const std::string& text) {
    const Bytes& salt = UsageUtil::getFixedSalt();
    return UsageUtil::md5String(text + std::string(salt.begin(), salt.end()));
}

std::string operatingSystemVersion() {
    platform::DeviceFacts facts = UsageUtil::deviceFacts();
    if (std::optional<std::string> version = facts.osRelease("VERSION_ID"); version && !version->empty()) return *version;
    return platform::DeviceFacts::kernelRelease();
}

}  // namespace

uint8_t UsageSession::updateIfTrackedAndChangedPropertyValue(const std::string& value, const std::string& key) {
    if (std::find(std::begin(kTrackedKeys), std::end(kTrackedKeys), key) == std::end(kTrackedKeys)) return 0;
    bool changed = UsageGlobalVariableStorage::sharedInstance()->updatePersistentGlobal(saltedDigest(key), saltedDigest(value));
    return changed ? 1 : 2;
}

void UsageSession::getSessionParametersAtPhase(int phase) {
    platform::DeviceFacts facts = UsageUtil::deviceFacts();
    std::optional<platform::DeviceFacts::Memory> memory = facts.memory();
    if (!memory) UsageUtil::log(2, "Failed to fetch vm statistics");
    platform::DeviceFacts::Memory pages = memory.value_or(platform::DeviceFacts::Memory{});
    auto bytes = [&](uint64_t count) { return fmt::format("{}", count * pages.pageSize); };
    sessionParams["memory.total"] =
        bytes(pages.freePages + pages.activePages + pages.inactivePages + pages.wiredPages);
    const char* suffix = phase == 0 ? "start" : phase == 1 ? "end" : nullptr;
    if (suffix) {
        sessionParams[fmt::format("memory.used.wired.{}", suffix)] = bytes(pages.wiredPages);
        sessionParams[fmt::format("memory.used.active.{}", suffix)] = bytes(pages.activePages);
        sessionParams[fmt::format("memory.used.inactive.{}", suffix)] = bytes(pages.inactivePages);
        sessionParams[fmt::format("cpu.load.{}", suffix)] = fmt::format("{:f}", facts.cpuLoad());
    }
    sessionParams["boot.time"] = fmt::format("{}", UsageUtil::lastBootTime());
    uint64_t size = UsageUtil::getDiskSize();
    uint64_t free = UsageUtil::getFreeDiskspace();
    sessionParams["disk.size.total"] = fmt::format("{}", size);
    sessionParams["disk.size.used"] = fmt::format("{}", size >= free ? size - free : 0);
    if (suffix) {
        platform::DeviceFacts::Battery battery = facts.battery();
        sessionParams[fmt::format("battery.remaining.{}", suffix)] = fmt::format("{:f}", battery.level * 100.0f);
        sessionParams[fmt::format("battery.charging.{}", suffix)] =
            fmt::format("{}", battery.state == platform::DeviceFacts::kBatteryCharging ? 1 : 0);
    }
}

std::optional<Bytes> UsageSession::data() {
    sessionParams["device.locale"] = locale;
    sessionParams["default.timezone"] = timeZone;
    Bytes out;
    P::appendUshort(serializationVersion, out);
    P::appendString(appVersion.value_or(""), out);
    P::appendTimestamp(startTime, out);
    P::appendLong(sessionLength(), out);
    P::appendLong(totalPauseIntervalMillis, out);
    size_t parameterCount = cappedCount(sessionParams.size());
    P::appendUshort(static_cast<int64_t>(parameterCount), out);
    size_t written = 0;
    for (const auto& [key, value] : sessionParams) {
        if (written++ == parameterCount) break;
        P::appendString(key, out);
        P::appendString(value, out);
        P::appendByte(updateIfTrackedAndChangedPropertyValue(value, key), out);
    }
    P::appendString(locale, out);
    P::appendString(timeZone, out);
    P::appendByte(UsageNetworkUtil::networkStatus(), out);
    P::appendString(userID.value_or(""), out);
    P::appendBoolean(true, out);
    P::appendDouble(latitude, out);
    P::appendDouble(longitude, out);
    P::appendFloat(accuracy, out);
    P::appendInt(pageViewCount, out);
    P::appendByte(0, out);
    P::appendByte(0, out);
    P::appendByte(gender, out);
    P::appendBoolean(age.has_value(), out);
    if (age) P::appendTimestamp(*age, out);
    size_t nameCount = cappedCount(eventCounts.size());
    P::appendUshort(static_cast<int64_t>(nameCount), out);
    written = 0;
    for (const auto& [name, count] : eventCounts) {
        if (written++ == nameCount) break;
        P::appendString(name, out);
        P::appendInt(count, out);
    }
    size_t eventCount = cappedCount(eventLog.size());
    P::appendUshort(static_cast<int64_t>(eventCount), out);
    for (size_t i = 0; i < eventCount; ++i) eventLog[i].dataRelativeToSessionStart(startTime, out);
    P::appendBoolean(eventLogComplete, out);
    bool hasCrash = !crashReportData.empty();
    int64_t total = static_cast<int64_t>(totalErrorCount) + (hasCrash ? 1 : 0);
    P::appendInt(UsageUtil::int32FromNSInteger(total), out);
    size_t errorCount = cappedCount(errors.size() + (hasCrash ? 1 : 0));
    P::appendUshort(static_cast<int64_t>(errorCount), out);
    int32_t highest = 0;
    size_t recorded = std::min(errors.size(), errorCount - (hasCrash ? 1 : 0));
    for (size_t i = 0; i < recorded; ++i) {
        errors[i].appendToData(out);
        highest = std::max(highest, static_cast<int32_t>(static_cast<uint16_t>(errors[i].errorID)));
    }
    if (hasCrash) {
        UsageError crash;
        crash.errorID = highest + 1;
        crash.date = now();
        crash.errorString = "";
        crash.errorMessage = "";
        crash.exceptionString = "";
        crash.errorType = 3;
        crash.reportData = crashReportData;
        crash.appendToData(out);
    }
    P::appendUshort(0, out);
    P::appendUshort(0, out);
    return out;
}

std::optional<Bytes> UsageSession::dataForSessions(const std::vector<Bytes>& records) {
    std::optional<std::string> usageId = UsageUtil::getUsageId();
    std::optional<std::string> vendorId = UsageUtil::getIdentifierForVendor();
    std::optional<Bytes> macId = UsageUtil::getMACUID();
    uint16_t identifiers = (usageId ? 1 : 0) + (vendorId ? 1 : 0) + (macId ? 1 : 0);
    if (identifiers == 0) return std::nullopt;

    auto storage = UsageGlobalVariableStorage::sharedInstance();
    UsageEnvelopeSnapshot snapshot = storage->envelopeSnapshot();
    Bytes out;
    P::appendUshort(29, out);
    P::appendUshort(4, out);
    P::appendUshort(1, out);
    P::appendLong(0, out);
    P::appendUshort(0, out);
    P::appendUshort(UsageUtil::isIPad() ? 8 : 2, out);
    P::appendUshort(kUsageAgentVersion, out);
    P::appendTimestamp(now(), out);
    P::appendString(storage->apiKey().value_or(apiKey), out);
    P::appendString(appVersion.value_or(""), out);
    P::appendUshort(identifiers, out);
    if (usageId) {
        P::appendUshort(7, out);
        P::appendString(*usageId, out);
    }
    if (vendorId) {
        P::appendUshort(6, out);
        P::appendString(*vendorId, out);
    }
    if (macId) {
        P::appendUshort(4, out);
        P::appendShortData(*macId, out);
    }
    P::appendByte(0, out);
    P::appendBoolean(sentReportSuccessful(), out);
    P::appendBoolean(UsageUtil::isAdTrackingEnabled(), out);
    P::appendTimestamp(initialTimestamp(), out);
    P::appendTimestamp(startTime, out);

    UsageRect screen = UsageUtil::deviceScreenBounds();
    const std::pair<std::string, std::string> properties[] = {
        {"device.model.1", UsageUtil::devicePlatform()},
        {"device.os.version", operatingSystemVersion()},
        {"device.arch", "arm64"},
        {"scr.width", fmt::format("{}", static_cast<int64_t>(std::trunc(screen.width)))},
        {"scr.height", fmt::format("{}", static_cast<int64_t>(std::trunc(screen.height)))},
    };
    P::appendUshort(5, out);
    for (const auto& [key, value] : properties) {
        P::appendString(key, out);
        P::appendString(value, out);
        P::appendByte(updateIfTrackedAndChangedPropertyValue(value, key), out);
    }
    P::appendUshort(0, out);
    P::appendBoolean(false, out);

    size_t optionCount = cappedCount(snapshot.launchOptions.size());
    P::appendUshort(static_cast<int64_t>(optionCount), out);
    size_t written = 0;
    for (const auto& [key, items] : snapshot.launchOptions) {
        if (written++ == optionCount) break;
        P::appendString(key, out);
        size_t itemCount = cappedCount(items.size());
        P::appendUshort(static_cast<int64_t>(itemCount), out);
        for (size_t i = 0; i < itemCount; ++i) P::appendString(items[i], out);
    }
    size_t originCount = cappedCount(snapshot.originSets.size());
    P::appendUshort(static_cast<int64_t>(originCount), out);
    for (size_t i = 0; i < originCount; ++i) {
        const UsageOriginSet& origin = snapshot.originSets[i];
        P::appendString(origin.originName, out);
        size_t parameterCount = cappedCount(origin.parameters.size());
        P::appendUshort(static_cast<int64_t>(parameterCount), out);
        for (size_t j = 0; j < parameterCount; ++j) {
            P::appendString(origin.parameters[j].first, out);
            P::appendString(origin.parameters[j].second, out);
        }
    }
    size_t sessionCount = cappedCount(records.size());
    P::appendUshort(static_cast<int64_t>(sessionCount), out);
    for (size_t i = 0; i < sessionCount; ++i) out.insert(out.end(), records[i].begin(), records[i].end());
    size_t cookieCount = cappedCount(snapshot.cookies.size());
    P::appendUshort(static_cast<int64_t>(cookieCount), out);
    written = 0;
    for (const auto& [key, value] : snapshot.cookies) {
        if (written++ == cookieCount) break;
        P::appendShortData(std::span(reinterpret_cast<const uint8_t*>(key.data()), key.size()), out);
        P::appendShortData(value, out);
    }
    uint32_t checksum = UsageUtil::dataChecksum(out);
    P::appendInt(static_cast<int32_t>(checksum), out);
    return out;
}

}  // namespace strombel::analytics

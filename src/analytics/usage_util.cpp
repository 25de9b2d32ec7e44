#include "analytics/usage_util.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "analytics/usage_checksum.h"
#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_persistent_state.h"
#include "json/error.h"
#include "platform/application.h"
#include "platform/error.h"
#include "platform/main_bundle.h"
#include "platform/platform_version.h"
#include "platform/serial_queue.h"
#include "platform/whole_file.h"

namespace strombel::analytics {

// The analytics queue's tag (set by UsageImpl on its queue).
extern const int kUsageQueueTag;

namespace {

std::atomic<int32_t> logLevelWord{1};
std::atomic<bool> showErrorInLog{false};

std::mutex consoleMutex;
std::function<void(const std::string&)>& consoleSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

std::mutex counterMutex;
std::map<std::string, int64_t>& counterMap() {
    static std::map<std::string, int64_t> counters;
    return counters;
}

std::mutex optOutMutex;
std::mutex usageIdMutex;

Bytes digest(const EVP_MD* algorithm, std::span<const uint8_t> data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    // Lengths are clamped to 32 bits, as the platform's digest calls take them.
    size_t clamped = std::min<size_t>(data.size(), UINT32_MAX);
    if (EVP_Digest(data.data(), clamped, out.data(), &length, algorithm, nullptr) != 1) return {};
    out.resize(length);
    return out;
}

// The salt's three pieces, each kept as every second byte of its own table.
constexpr std::array<uint8_t, 10> kSaltPieceA = {0x53, 0x11, 0x74, 0x2c, 0x72, 0x9a, 0x6f, 0x04, 0x6d, 0xe7};
constexpr std::array<uint8_t, 10> kSaltPieceB = {0x62, 0x3b, 0x65, 0xd2, 0x6c, 0x40, 0x2d, 0x8e, 0x55, 0x19};
constexpr std::array<uint8_t, 10> kSaltPieceC = {0x73, 0x60, 0x61, 0xa5, 0x67, 0x2f, 0x65, 0xc1, 0x21, 0x77};

Bytes joinSalt() {
    Bytes salt;
    for (const auto* piece : {&kSaltPieceA, &kSaltPieceB, &kSaltPieceC}) {
        for (size_t i = 0; i < piece->size(); i += 2) salt.push_back((*piece)[i]);
    }
    return salt;
}

std::string storageOrientation() {
    return UsageUtil::getOrientationStrFromInterfaceOrientation(platform::DeviceFacts::screen().orientation)
        .value_or("portrait");
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::string usageAgentVersionWithBuild() { return fmt::format("Usage_iOS_{}_{}.{}.{}{}{}", kUsageAgentVersion, 5, 4, 0, "", ""); }

// ---- Logging and exceptions ----

void UsageUtil::setLogLevel(int32_t level) { logLevelWord.store(level); }
int32_t UsageUtil::logLevel() { return logLevelWord.load(); }

void UsageUtil::log(int32_t level, const std::string& line) {
    if (level <= 0 || level > logLevel()) return;
    std::lock_guard lock(consoleMutex);
    if (consoleSink()) {
        consoleSink()(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void UsageUtil::setConsoleSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(consoleMutex);
    consoleSink() = std::move(sink);
}

void UsageUtil::setShowErrorInLogEnabled(bool enabled) { showErrorInLog.store(enabled); }
bool UsageUtil::showErrorInLogEnabled() { return showErrorInLog.load(); }

void UsageUtil::handleException(std::exception_ptr thrown) {
    if (!showErrorInLog.load() || !thrown) return;
    try {
        std::rethrow_exception(thrown);
    } catch (const UsageException& exception) {
        log(2, "Usage: Caught Exception in Usage Analytics Code");
        log(2, "Usage: -----------------------------------------");
        log(2, "Usage: Name:{} Reason:{}", exception.name(), exception.reason());
        log(2, "Usage: {}", describe(exception.userInfo()));
    } catch (const platform::Error& error) {
        log(2, "Usage: Caught Error in Usage Analytics Code");
        log(2, "Usage: -----------------------------------------");
        log(2, "Usage: Code:{} Domain:{}", error.code, error.domain);
        log(2, "Usage: {}", describe(json::errorDetails(error.userInfo)));
    } catch (const std::exception& exception) {
        log(2, "Usage: Caught Exception in Usage Analytics Code");
        log(2, "Usage: -----------------------------------------");
        log(2, "Usage: Name:{} Reason:{}", "std::exception", exception.what());
        log(2, "Usage: {}", "{}");
    } catch (...) {
        log(2, "Usage: Caught Error in Usage Analytics Code");
        log(2, "Usage: {}", "(unknown object)");
    }
}

void UsageUtil::fenced(const std::function<void()>& body) {
    try {
        body();
    } catch (...) {
        handleException(std::current_exception());
    }
}

void UsageUtil::assertThreadIsNotMain() {
#ifndef NDEBUG
    if (!platform::SerialQueue::callingThreadHoldsQueueTagged(&kUsageQueueTag)) {
        std::fprintf(stderr, "UsageSession: a session operation ran off the analytics queue\n");
        std::abort();
    }
#endif
}

// ---- Files ----

std::filesystem::path UsageUtil::filePathDirectory() {
    std::filesystem::path folder = UsageEnvironment::current().applicationSupport / "UsageFiles";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    addSkipBackupAttributeToItemAtURL(folder);
    return folder;
}

std::filesystem::path UsageUtil::oldFilePathDirectoryUptilAgentVersion109() {
    std::filesystem::path folder = UsageEnvironment::current().library / "UsageFiles";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder;
}

bool UsageUtil::addSkipBackupAttributeToItemAtURL(const std::filesystem::path& path) {
    const uint8_t one = 1;
    return ::setxattr(path.c_str(), "user.com.apple.MobileBackup", &one, 1, 0) == 0;
}

bool UsageUtil::writeFileWhole(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    // Usage files are the user's own business: readable by the user alone.
    return platform::writeFileWhole(path, bytes, platform::WholeFileOptions().withMode(0600)).ok();
}

std::optional<Bytes> UsageUtil::readFile(const std::filesystem::path& path, uint64_t limit) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    Bytes bytes;
    uint8_t buffer[64 * 1024];
    for (;;) {
        ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || bytes.size() + static_cast<size_t>(got) > limit) {
            ::close(descriptor);
            return std::nullopt;
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    ::close(descriptor);
    return bytes;
}

bool UsageUtil::archiveObjectToFile(const ArchiveValue& value, const std::filesystem::path& path) {
    std::vector<uint8_t> bytes = KeyedArchive::encode(value);
    return writeFileWhole(path, bytes);
}

std::optional<ArchiveValue> UsageUtil::safeUnarchiveObjectWithFile(const std::filesystem::path& path) {
    if (path.empty()) return std::nullopt;
    std::optional<Bytes> bytes = readFile(path);
    if (!bytes) return std::nullopt;
    platform::Result<ArchiveValue> value = KeyedArchive::decode(*bytes);
    if (!value) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        handleException(std::make_exception_ptr(UsageException("NSInvalidArchiveOperationException", value.error().message())));
        return std::nullopt;
    }
    return std::move(value).value();
}

// ---- Platform facts ----

std::string UsageUtil::systemVersion() { return fmt::format("{}", platform::PlatformVersion::current()); }

int64_t UsageUtil::systemVersionAsInteger(std::string_view version) {
    int64_t total = 0;
    const int64_t weights[3] = {10000, 100, 1};
    for (int part = 0; part < 3; ++part) {
        size_t dot = version.find('.');
        std::string_view piece = version.substr(0, dot);
        total += std::atoll(std::string(piece).c_str()) * weights[part];
        if (dot == std::string_view::npos) break;
        version.remove_prefix(dot + 1);
    }
    return total;
}

int64_t UsageUtil::getSystemVersionAsAnInteger() {
    std::string version = systemVersion();
    if (version.find('.') == std::string::npos) version += ".0";
    return systemVersionAsInteger(version);
}

platform::DeviceFacts UsageUtil::deviceFacts() { return platform::DeviceFacts(UsageEnvironment::current().systemRoot); }

std::string UsageUtil::devicePlatform() { return platform::DeviceFacts::machine(); }

bool UsageUtil::isIPad() { return platform::DeviceFacts::screen().isTablet; }

float UsageUtil::getBatteryLevel() { return deviceFacts().battery().level * 100.0f; }

int64_t UsageUtil::getBatteryState() { return deviceFacts().battery().state; }

uint64_t UsageUtil::getFreeDiskspace() {
    auto disk = platform::DeviceFacts::disk(UsageEnvironment::current().documents);
    if (!disk) {
        log(2, "Error Obtaining System Memory Info: Domain = {}, Code = {}", "NSPOSIXErrorDomain", errno);
        return 0;
    }
    return disk->free;
}

uint64_t UsageUtil::getDiskSize() {
    auto disk = platform::DeviceFacts::disk(UsageEnvironment::current().documents);
    if (!disk) {
        log(2, "Error Obtaining System Memory Info: Domain = {}, Code = {}", "NSPOSIXErrorDomain", errno);
        return 0;
    }
    return disk->total;
}

int64_t UsageUtil::lastBootTime() {
    std::optional<int64_t> boot = deviceFacts().bootTime();
    if (!boot) {
        log(2, "Failed to get last boot time");
        return 0;
    }
    return *boot;
}

std::string UsageUtil::preferredLanguage() {
    std::vector<std::string> languages = platform::DeviceFacts::preferredLanguages();
    return languages.empty() ? "en" : languages.front();
}

std::string UsageUtil::localeIdentifier() { return platform::DeviceFacts::localeIdentifier(); }

std::string UsageUtil::timeZoneName() { return deviceFacts().timeZoneName(); }

uint32_t UsageUtil::uint32FromNSUInteger(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
}

int32_t UsageUtil::int32FromNSInteger(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// ---- Identifiers ----

std::optional<std::string> UsageUtil::MACStringFromEntries(const std::vector<platform::DeviceFacts::LinkAddress>& entries) {
    if (!UsageGlobalVariableStorage::sharedInstance()->macAddressEnabled.load()) return std::nullopt;
    std::optional<std::string> address = platform::DeviceFacts::hardwareAddress(entries, "en0");
    if (!address || address->empty()) return std::nullopt;
    return address;
}

std::optional<std::string> UsageUtil::MACString() { return MACStringFromEntries(platform::DeviceFacts::linkAddresses()); }

std::optional<Bytes> UsageUtil::getMACUIDFromEntries(const std::vector<platform::DeviceFacts::LinkAddress>& entries) {
    if (getSystemVersionAsAnInteger() > 69999) return std::nullopt;
    std::optional<std::string> address = MACStringFromEntries(entries);
    if (!address || address->empty()) return std::nullopt;
    return hashData(std::span(reinterpret_cast<const uint8_t*>(address->data()), address->size()));
}

std::optional<Bytes> UsageUtil::getMACUID() {
    if (getSystemVersionAsAnInteger() > 69999) return std::nullopt;
    return getMACUIDFromEntries(platform::DeviceFacts::linkAddresses());
}

std::optional<std::string> UsageUtil::getIdentifierForVendor() {
    const std::filesystem::path& file = UsageEnvironment::current().vendorIdentifierFile;
    if (file.empty()) return std::nullopt;
    return platform::DeviceFacts::vendorIdentifier(file);
}

void UsageUtil::cleanupStoredIdentifierForVendor() {
    if (auto keychain = UsageKeychainWrapper::keychainWrapperWithIdentifier(kUsageKeychainIdentifier)) {
        keychain->removeObjectForKey("UsageDataKey");
    }
}

std::optional<std::string> UsageUtil::getUsageId() {
    std::lock_guard lock(usageIdMutex);
    return std::nullopt;  // this platform has no advertising identifier
}

bool UsageUtil::isAdTrackingEnabled() { return true; }

std::string UsageUtil::generateCFUUID() { return platform::DeviceFacts::randomUuid(); }

std::string UsageUtil::generateCFUUIDBasedUID() { return "ID" + generateCFUUID(); }

// ---- Digests and checksum ----

Bytes UsageUtil::hashData(std::span<const uint8_t> data) { return digest(EVP_sha1(), data); }

std::string UsageUtil::hashDataToHexString(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

std::string UsageUtil::md5String(std::string_view text) {
    return hashDataToHexString(digest(EVP_md5(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
}

uint32_t UsageUtil::dataChecksum(std::span<const uint8_t> data) { return usageCrc32(data); }

const Bytes& UsageUtil::getFixedSalt() {
    static const Bytes salt = joinSalt();  // made once, whichever thread comes first
    return salt;
}

// ---- Opt-out and cookies ----

void UsageUtil::setUsageOptOut(bool optOut) {
    std::lock_guard lock(optOutMutex);
    if (auto keychain = UsageKeychainWrapper::keychainWrapperWithIdentifier(kUsageKeychainIdentifier)) {
        keychain->setObject(ArchiveValue(optOut), "UsageUserOptOut");
    }
}

bool UsageUtil::hasUserOptedOut() {
    std::lock_guard lock(optOutMutex);
    auto keychain = UsageKeychainWrapper::keychainWrapperWithIdentifier(kUsageKeychainIdentifier);
    if (!keychain) return false;
    std::optional<ArchiveValue> stored = keychain->objectForKey("UsageUserOptOut");
    const bool* flag = stored ? stored->get<bool>() : nullptr;
    return flag && *flag;
}

bool UsageUtil::updateIfChangedCookieValue(const Bytes& data, const std::string& key) {
    return UsageGlobalVariableStorage::sharedInstance()->updateCookie(key, data);
}

// ---- Counters ----

void UsageUtil::incrementCounter(const std::string& name) {
    if (logLevel() < 2) return;
    std::lock_guard lock(counterMutex);
    ++counterMap()[name];
}

void UsageUtil::decrementCounter(const std::string& name) {
    if (logLevel() < 2) return;
    std::lock_guard lock(counterMutex);
    --counterMap()[name];
}

void UsageUtil::incrementCounter(const std::string& name, const char* locationName) {
    incrementCounter(fmt::format("{}_location_{}", name, locationName));
}

void UsageUtil::decrementCounter(const std::string& name, const char* locationName) {
    decrementCounter(fmt::format("{}_location_{}", name, locationName));
}

std::map<std::string, int64_t> UsageUtil::allCounters() {
    std::lock_guard lock(counterMutex);
    return counterMap();
}

void UsageUtil::printCounters() {
    log(2, "=========== Printing All Counters [name, value] ===========");
    for (const auto& [name, value] : allCounters()) log(2, "[{:<100}=> {:>5}]", name, value);
    log(2, "===========================================================");
}

// ---- Screen, orientation and URL operations ----

std::optional<std::string> UsageUtil::getOrientationStrFromInterfaceOrientation(int orientation) {
    switch (orientation) {
        case 1: return "portrait";
        case 2: return "portraitUpsideDown";
        case 3: return "landscapeRight";
        case 4: return "landscapeLeft";
        default: return std::nullopt;
    }
}

bool UsageUtil::canvasInLandscapeRight() { return platform::DeviceFacts::screen().orientation == 3; }
bool UsageUtil::canvasInLandscapeLeft() { return platform::DeviceFacts::screen().orientation == 4; }
bool UsageUtil::canvasInPortraitUpsideDown() { return platform::DeviceFacts::screen().orientation == 2; }
bool UsageUtil::canvasInLandscape() { return canvasInLandscapeRight() || canvasInLandscapeLeft(); }

bool UsageUtil::canvasInLandscapeRight(const std::optional<std::string>& orientation) {
    return orientation ? equalsIgnoringCase(*orientation, "landscapeRight") : canvasInLandscapeRight();
}

bool UsageUtil::canvasInLandscapeLeft(const std::optional<std::string>& orientation) {
    return orientation ? equalsIgnoringCase(*orientation, "landscapeLeft") : canvasInLandscapeLeft();
}

bool UsageUtil::canvasInLandscape(const std::optional<std::string>& orientation) {
    return canvasInLandscapeRight(orientation) || canvasInLandscapeLeft(orientation);
}

std::string UsageUtil::getCanvasOrientation() {
    if (canvasInLandscapeRight()) return "landscapeRight";
    if (canvasInLandscapeLeft()) return "landscapeLeft";
    if (canvasInPortraitUpsideDown()) return "portraitUpsideDown";
    return "portrait";
}

UsageRect UsageUtil::deviceScreenBounds() {
    platform::DeviceFacts::Screen screen = platform::DeviceFacts::screen();
    return {0, 0, std::min(screen.width, screen.height), std::max(screen.width, screen.height)};
}

UsageRect UsageUtil::screenBounds() { return screenBounds(storageOrientation()); }

UsageRect UsageUtil::screenBounds(const std::string& orientation) {
    UsageRect bounds = deviceScreenBounds();
    bounds.height += 0.1;  // the long side, made a little longer
    if (canvasInLandscape(orientation)) std::swap(bounds.width, bounds.height);
    return bounds;
}

bool UsageUtil::isRetina() { return platform::DeviceFacts::screen().scale == 2.0; }

bool UsageUtil::isPortaitOrientationSupportedForWindow(std::optional<uint32_t> windowOrientationMask,
                                                       const platform::MainBundle& bundle) {
    const std::vector<std::string> listed = bundle.strings({"UISupportedInterfaceOrientations"});
    for (const auto& orientation : listed) {
        if (orientation == "UIInterfaceOrientationPortrait" || orientation == "UIInterfaceOrientationPortraitUpsideDown")
            return true;
    }
    if (windowOrientationMask) return (*windowOrientationMask & ((1u << 1) | (1u << 2))) != 0;
    return listed.empty();
}

bool UsageUtil::theAppIsActive() {
    platform::Application* application = UsageEnvironment::current().application;
    if (!application) return true;
    auto state = application->applicationState();
    if (state == platform::Application::kBackground || state == platform::Application::kInactive) {
        log(2, "UsageSession: The App is not active");
        return false;
    }
    return true;
}

json::Value UsageUtil::firstElementFromArray(const json::Value& array) {
    if (!array.isArray() || array.empty()) return {};
    return array[size_t{0}];
}

std::string UsageUtil::encodeToPercentEscapeString(std::string_view text) {
    static constexpr std::string_view kReserved = "!*'();:@&=+$,/?%#[]";
    std::string out;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        bool plain = std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain && kReserved.find(c) == std::string_view::npos) {
            out.push_back(c);
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    return out;
}

std::string UsageUtil::decodeFromPercentEscapeString(std::string_view text) {
    std::string out;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::optional<std::map<std::string, std::string>> UsageUtil::createParamKeysDictFromUrlParams(
    std::string_view text, std::string* header, std::string* keyValueText) {
    size_t question = text.find('?');
    if (question == std::string_view::npos) {
        if (header) *header = std::string(text);
        return std::nullopt;
    }
    std::string_view rest = text.substr(question + 1);
    if (header) *header = std::string(text.substr(0, question));
    if (keyValueText) *keyValueText = std::string(rest);
    std::map<std::string, std::string> pairs;
    while (true) {
        size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        size_t equals = pair.find('=');
        if (equals != std::string_view::npos) pairs[std::string(pair.substr(0, equals))] = std::string(pair.substr(equals + 1));
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return pairs;
}

std::pair<size_t, size_t> UsageUtil::usageRangeOfData(std::span<const uint8_t> needle, std::span<const uint8_t> haystack) {
    if (needle.empty() || needle.size() > haystack.size()) return {0, 0};
    auto found = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    if (found == haystack.end()) return {0, 0};
    return {static_cast<size_t>(found - haystack.begin()), needle.size()};
}

// ---- Descriptions ----

std::string describe(const json::Value& value) {
    switch (value.kind()) {
        case json::Kind::Null: return "(null)";
        case json::Kind::Bool: return value.asBool() ? "1" : "0";
        case json::Kind::Int: return fmt::format("{}", value.asInt64());
        case json::Kind::UInt: return fmt::format("{}", value.asUInt64());
        case json::Kind::Double: return fmt::format("{}", value.asDouble());
        case json::Kind::Decimal:
        case json::Kind::String: return value.asString();
        case json::Kind::Array: {
            std::string text = "(";
            bool first = true;
            for (const json::Value& item : value.items()) {
                text += (first ? "" : ", ") + describe(item);
                first = false;
            }
            return text + ")";
        }
        case json::Kind::Object: {
            std::string text = "{";
            for (const json::Member& member : value.members()) {
                text += fmt::format(" {} = {};", member.key.asString(), describe(member.value));
            }
            return text + " }";
        }
    }
    return {};
}

std::string describeDate(std::optional<UsageDate> date) {
    if (!date) return "(null)";
    time_t seconds = static_cast<time_t>(std::floor(*date));
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return text;
}

}  // namespace strombel::analytics

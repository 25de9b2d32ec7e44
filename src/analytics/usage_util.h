#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/keyed_archive.h"
#include "analytics/usage_environment.h"
#include "json/value.h"
#include "platform/device_facts.h"

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// The agent version: 140, release 5.4.0.
inline constexpr int32_t kUsageAgentVersion = 140;
/// "Usage_iOS_140_5.4.0".
std::string usageAgentVersionWithBuild();

/// A thrown object with a name, a reason and details, as the client's code
/// raises them ("Malformed data" from a record reader).
class UsageException : public std::runtime_error {
public:
    UsageException(std::string name, std::string reason, json::Value userInfo = json::Value::emptyObject())
        : std::runtime_error(reason), name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const json::Value& userInfo() const { return userInfo_; }

private:
    std::string name_;
    std::string reason_;
    json::Value userInfo_;
};

/// A rectangle in points.
struct UsageRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const UsageRect&) const = default;
};

/// Everything of the client that touches the device or the platform: its log
/// level and console lines, exception logging, the analytics folder and its
/// whole-file writes, the device's identifiers, digests and the report checksum,
/// the opt-out flag, the cookie map's updates and device facts. Safe from any
/// thread.
class UsageUtil {
public:
    // ---- Logging and exceptions ----
    static void setLogLevel(int32_t level);
    static int32_t logLevel();
    /// Writes `line` to standard error when `level` is at most the log level
    /// (level 0 silences the client).
    static void log(int32_t level, const std::string& line);
    template <typename... Args>
    static void log(int32_t level, fmt::format_string<Args...> format, Args&&... args) {
        if (level <= logLevel() && level > 0) log(level, fmt::format(format, std::forward<Args>(args)...));
    }
    /// For tests: every console line goes to `sink` instead (empty: standard error again).
    static void setConsoleSink(std::function<void(const std::string&)> sink);

    static void setShowErrorInLogEnabled(bool enabled);
    static bool showErrorInLogEnabled();
    /// Logs a caught object when the show-error flag is on.
    static void handleException(std::exception_ptr thrown);
    /// Runs `body`; anything it throws goes to `handleException`.
    static void fenced(const std::function<void()>& body);
    /// The session code's check of its thread: in debug builds, that the calling
    /// thread holds the analytics queue.
    static void assertThreadIsNotMain();

    // ---- Files ----
    /// "UsageFiles" in the application-support folder, created when missing; the
    /// skip-backup mark is set on it every time.
    static std::filesystem::path filePathDirectory();
    /// "UsageFiles" in the Library folder (agent versions up to 109).
    static std::filesystem::path oldFilePathDirectoryUptilAgentVersion109();
    /// Sets the user extended attribute "user.com.apple.MobileBackup" to the byte 1;
    /// false when the file system refuses (nothing else happens then).
    static bool addSkipBackupAttributeToItemAtURL(const std::filesystem::path& path);
    /// Writes `bytes` whole or not at all (platform::WholeFile), readable by the
    /// user alone.
    static bool writeFileWhole(const std::filesystem::path& path, std::span<const uint8_t> bytes);
    /// The file's bytes; absent when it cannot be read or is larger than `limit`.
    static std::optional<Bytes> readFile(const std::filesystem::path& path, uint64_t limit = 256ull << 20);
    /// `value` as a keyed archive, written whole.
    static bool archiveObjectToFile(const ArchiveValue& value, const std::filesystem::path& path);
    /// The archived value; nothing for an empty path or a missing file. A file
    /// that does not read as an archive is deleted and gives nothing.
    static std::optional<ArchiveValue> safeUnarchiveObjectWithFile(const std::filesystem::path& path);

    // ---- Platform facts ----
    /// The platform version text ("8.0") and its integer (8.1.2 gives 80102).
    static std::string systemVersion();
    static int64_t getSystemVersionAsAnInteger();
    static int64_t systemVersionAsInteger(std::string_view version);
    static std::string devicePlatform();
    static bool isIPad();
    /// Battery level times 100; -100 without a battery.
    static float getBatteryLevel();
    static int64_t getBatteryState();
    static uint64_t getFreeDiskspace();
    static uint64_t getDiskSize();
    static int64_t lastBootTime();
    static std::string preferredLanguage();
    static std::string localeIdentifier();
    static std::string timeZoneName();
    static platform::DeviceFacts deviceFacts();
    static uint32_t uint32FromNSUInteger(uint64_t value);
    static int32_t int32FromNSInteger(int64_t value);

    // ---- Identifiers ----
    /// The hardware address of "en0" ("AA:BB:..."), nil when the setting is off or
    /// there is no such interface.
    static std::optional<std::string> MACString();
    /// The same from a given interface list.
    static std::optional<std::string> MACStringFromEntries(const std::vector<platform::DeviceFacts::LinkAddress>& entries);
    /// SHA-1 of `MACString`; nil from platform version 7.0 on.
    static std::optional<Bytes> getMACUID();
    static std::optional<Bytes> getMACUIDFromEntries(const std::vector<platform::DeviceFacts::LinkAddress>& entries);
    static std::optional<std::string> getIdentifierForVendor();
    static void cleanupStoredIdentifierForVendor();
    /// The advertising identifier: none on this platform.
    static std::optional<std::string> getUsageId();
    /// Advertising tracking: YES, the default where the platform has no such flag.
    static bool isAdTrackingEnabled();
    static std::string generateCFUUID();
    static std::string generateCFUUIDBasedUID();

    // ---- Digests and checksum ----
    static Bytes hashData(std::span<const uint8_t> data);
    static std::string hashDataToHexString(std::span<const uint8_t> bytes);
    static std::string md5String(std::string_view text);
    static uint32_t dataChecksum(std::span<const uint8_t> data);
    /// The fixed 15-byte salt of the property change tracking.
    static const Bytes& getFixedSalt();

    // ---- Opt-out and cookies ----
    static void setUsageOptOut(bool optOut);
    static bool hasUserOptedOut();
    /// Updates the settings store's cookie map; see the definition for the rules.
    static bool updateIfChangedCookieValue(const Bytes& data, const std::string& key);

    // ---- Counters (debug aids) ----
    static void incrementCounter(const std::string& name);
    static void decrementCounter(const std::string& name);
    static void incrementCounter(const std::string& name, const char* locationName);
    static void decrementCounter(const std::string& name, const char* locationName);
    static std::map<std::string, int64_t> allCounters();
    static void printCounters();

    // ---- Screen, orientation and URL operations ----
    static std::optional<std::string> getOrientationStrFromInterfaceOrientation(int orientation);
    static bool canvasInLandscapeRight();
    static bool canvasInLandscapeLeft();
    static bool canvasInPortraitUpsideDown();
    static bool canvasInLandscape();
    static bool canvasInLandscapeRight(const std::optional<std::string>& orientation);
    static bool canvasInLandscapeLeft(const std::optional<std::string>& orientation);
    static bool canvasInLandscape(const std::optional<std::string>& orientation);
    static std::string getCanvasOrientation();
    static UsageRect deviceScreenBounds();
    static UsageRect screenBounds();
    static UsageRect screenBounds(const std::string& orientation);
    static bool isRetina();
    static bool theAppIsActive();
    // No view questions here (whether a view shows in the key window, whether an
    // alert's window is the key one): this library sits below the screens and
    // includes nothing of them, and nothing of the client asks them. The view kit
    // answers them where screens need them: a view's own visibility and hit
    // testing, and the alert presenter's `isAlertVisible`.
    /// Whether a portrait orientation is supported: listed in the bundle's
    /// "UISupportedInterfaceOrientations"; else by the orientation mask the
    /// application gives for the window (`windowOrientationMask`, bit 1 portrait,
    /// bit 2 upside down), when it gives one; else only when the bundle lists none.
    static bool isPortaitOrientationSupportedForWindow(std::optional<uint32_t> windowOrientationMask,
                                                       const platform::MainBundle& bundle);
    static json::Value firstElementFromArray(const json::Value& array);
    static std::string encodeToPercentEscapeString(std::string_view text);
    static std::string decodeFromPercentEscapeString(std::string_view text);
    /// Splits "header?k=v&k2=v2"; nil (header = the whole text) without "?".
    /// A pair without "=" is skipped.
    static std::optional<std::map<std::string, std::string>> createParamKeysDictFromUrlParams(
        std::string_view text, std::string* header, std::string* keyValueText);
    /// (location, length) of the first occurrence; (0, 0) when none.
    static std::pair<size_t, size_t> usageRangeOfData(std::span<const uint8_t> needle, std::span<const uint8_t> haystack);
};

/// Text of a value as the client prints it ("%@"): texts as they are, numbers
/// as their number text, other values as JSON-like text.
std::string describe(const json::Value& value);
/// "2014-05-01 12:00:00 +0000" for a date, "(null)" for none.
std::string describeDate(std::optional<UsageDate> date);

}  // namespace strombel::analytics

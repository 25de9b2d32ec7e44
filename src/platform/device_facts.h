#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strombel::platform {

/// Facts about the machine for usage reports, each read from the kernel's and the
/// system's files under a root folder ("/" normally; tests hand in a synthesized
/// tree): os-release, /proc/stat, /proc/meminfo, /proc/self/task, /proc/uptime,
/// /sys/class/power_supply, the time-zone files. The device class, screen bounds
/// and orientation are not read: the program hands them in.
class DeviceFacts {
public:
    /// Page counts of the memory the kernel reports, and the page size.
    struct Memory {
        uint64_t pageSize = 0;
        uint64_t freePages = 0;
        uint64_t activePages = 0;
        uint64_t inactivePages = 0;
        /// Unevictable memory stands for the platform's wired memory.
        uint64_t wiredPages = 0;
    };

    /// The platform's battery state values.
    enum BatteryState : int32_t { kBatteryUnknown = 0, kBatteryUnplugged = 1, kBatteryCharging = 2, kBatteryFull = 3 };
    struct Battery {
        /// 0 to 1, or -1 when there is no battery.
        float level = -1;
        BatteryState state = kBatteryUnknown;
    };

    /// The device as the program lays itself out for it.
    struct Screen {
        bool isTablet = true;
        /// The main screen's bounds in points, in any orientation.
        double width = 768;
        double height = 1024;
        /// The status bar's orientation: 1 portrait, 2 upside down, 3 and 4 landscape.
        int orientation = 3;
        double scale = 2.0;
    };

    /// One entry of the interface list: its name, whether it is a link-layer
    /// entry of an Ethernet-type interface, and its hardware address bytes.
    struct LinkAddress {
        std::string name;
        bool isLinkLayer = false;
        bool isEthernet = false;
        std::vector<uint8_t> bytes;
    };

    explicit DeviceFacts(std::filesystem::path root = "/");

    /// The machine's hardware name from uname ("x86_64", "aarch64").
    static std::string machine();
    /// The kernel release from uname.
    static std::string kernelRelease();

    /// A value of os-release (etc/os-release, else usr/lib/os-release), quotes removed.
    std::optional<std::string> osRelease(std::string_view key) const;
    /// A value of etc/machine-info (PRETTY_HOSTNAME, ...), quotes removed.
    std::optional<std::string> machineInfo(std::string_view key) const;
    /// The boot time in seconds since 1970 (the "btime" line of proc/stat).
    std::optional<int64_t> bootTime() const;
    /// From proc/meminfo; the page size is the system's.
    std::optional<Memory> memory() const;
    /// The process's CPU load in percent: for each of its threads (proc/self/task),
    /// its CPU time over its lifetime, summed; -1 when a thread cannot be read.
    double cpuLoad() const;
    /// The first battery of sys/class/power_supply.
    Battery battery() const;
    /// The local time zone's name: $TZ when set (without a leading ':'), else
    /// etc/timezone, else the zone etc/localtime links to; "UTC" when none says.
    std::string timeZoneName() const;

    /// Total and free bytes of the file system holding `path`.
    struct Disk {
        uint64_t total = 0;
        uint64_t free = 0;
    };
    static std::optional<Disk> disk(const std::filesystem::path& path);

    /// The locale identifier ("de_DE") from LC_ALL, LC_MESSAGES or LANG, codeset
    /// and modifier removed; "en_US" for the C and POSIX locales or none.
    static std::string localeIdentifier(const std::function<const char*(const char*)>& environment = defaultEnvironment);
    /// The user's preferred languages: LANGUAGE's entries, else the locale's language.
    static std::vector<std::string> preferredLanguages(
        const std::function<const char*(const char*)>& environment = defaultEnvironment);

    /// The link-layer entries of the system's interface list.
    static std::vector<LinkAddress> linkAddresses();
    /// The hardware address of the Ethernet-type link-layer entry named `name`, as
    /// upper-case hexadecimal pairs joined by ':'; absent when there is no such
    /// entry or its address is empty. Other interfaces are never looked at.
    static std::optional<std::string> hardwareAddress(const std::vector<LinkAddress>& entries, std::string_view name);

    /// The identifier of this installation for its vendor: a random UUID made once
    /// and kept in `file` (mode 0600). Never derived from the machine's own ids.
    static std::string vendorIdentifier(const std::filesystem::path& file);
    /// A new random UUID in upper-case text ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
    static std::string randomUuid();

    /// The screen the program reported (the tablet screen until it does).
    static Screen screen();
    static void setScreen(const Screen& screen);

    static const char* defaultEnvironment(const char* name);

    const std::filesystem::path& root() const { return root_; }

private:
    std::optional<std::string> readText(const std::filesystem::path& relative) const;

    std::filesystem::path root_;
};

}  // namespace strombel::platform

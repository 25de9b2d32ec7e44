// The platform pieces the client stands on: keychain, background tasks, device
// facts from synthesized files, hardware addresses, and netlink reachability
// (change events in a private network namespace).

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "analytics_test_support.h"
#include "platform/main_bundle.h"

namespace strombel::analytics::testing {
namespace {

using namespace platform::reachability_flags;

void writeText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

TEST(KeychainTest, ItemsAddUpdateAndGoWithThePlatformsStatuses) {
    strombel::testing::TempDir dir;
    std::filesystem::path file = dir / "Library" / "keychain.sqlite";
    platform::Keychain::Query query{"svc", platform::Keychain::Bytes{'a'}, platform::Keychain::Bytes{'a'}};
    {
        platform::Keychain keychain(file);
        EXPECT_EQ(keychain.add(query, {1}, "ak"), platform::Keychain::kSuccess);
        EXPECT_EQ(keychain.add(query, {2}, "ak"), platform::Keychain::kDuplicateItem);
        EXPECT_EQ(keychain.update(query, {3}), platform::Keychain::kSuccess);
    }
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    platform::Keychain again(file);
    platform::Keychain::Bytes value;
    EXPECT_EQ(again.copyMatching(query, value), platform::Keychain::kSuccess);
    EXPECT_EQ(value, platform::Keychain::Bytes{3});
    EXPECT_EQ(again.remove(query), platform::Keychain::kSuccess);
    EXPECT_EQ(again.copyMatching(query, value), platform::Keychain::kItemNotFound);
}

class KeychainWrapperTest : public AnalyticsTest {};

TEST_F(KeychainWrapperTest, ASecondSetUpdatesAndAnEmptyIdentifierGivesNothing) {
    auto wrapper = UsageKeychainWrapper::keychainWrapperWithIdentifier(kUsageKeychainIdentifier);
    ASSERT_TRUE(wrapper);
    EXPECT_TRUE(wrapper->setString("one", "k"));
    EXPECT_TRUE(wrapper->setString("two", "k"));
    EXPECT_EQ(wrapper->stringForKey("k"), "two");
    EXPECT_FALSE(UsageKeychainWrapper::keychainWrapperWithIdentifier(""));
    EXPECT_FALSE(UsageUtil::hasUserOptedOut());
    UsageUtil::setUsageOptOut(true);
    EXPECT_TRUE(UsageUtil::hasUserOptedOut());
}

TEST(ApplicationTest, ShutdownWaitsForTasksThenRunsTheHandlersOfThoseLeft) {
    platform::ManualClock clock;
    platform::MainLoop loop(clock);
    loop.bindToCurrentThread();
    platform::Application application;
    int expired = 0;
    auto ended = application.beginBackgroundTask([&] { ++expired; });
    application.beginBackgroundTask([&] { expired += 10; });
    EXPECT_NE(ended, platform::Application::kInvalidBackgroundTask);
    loop.post([&] { application.endBackgroundTask(ended); });
    EXPECT_FALSE(application.finishBackgroundTasks(loop, 0));
    EXPECT_EQ(expired, 10);
    EXPECT_EQ(application.openBackgroundTaskCount(), 0u);
    application.endBackgroundTask(platform::Application::kInvalidBackgroundTask);
    EXPECT_TRUE(application.finishBackgroundTasks(loop, 0));
}

TEST(UsageUtilTest, PortraitIsSupportedWhenListedElseByTheWindowsMaskElseOnlyWhenNothingIsListed) {
    struct Case {
        std::vector<std::string> listed;
        std::optional<uint32_t> mask;
        bool supported;
    } cases[] = {
        {{"UIInterfaceOrientationLandscapeLeft", "UIInterfaceOrientationPortraitUpsideDown"}, std::nullopt, true},
        {{"UIInterfaceOrientationPortrait"}, 0u, true},
        {{"UIInterfaceOrientationLandscapeLeft"}, std::nullopt, false},
        {{"UIInterfaceOrientationLandscapeLeft"}, 1u << 2, true},
        {{"UIInterfaceOrientationLandscapeLeft"}, (1u << 3) | (1u << 4), false},
        {{}, std::nullopt, true},
        {{}, 1u << 4, false},
    };
    for (const auto& c : cases) {
        strombel::testing::TempDir dir;
        std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
        if (!c.listed.empty()) {
            plist += "<key>UISupportedInterfaceOrientations</key><array>";
            for (const auto& orientation : c.listed) plist += "<string>" + orientation + "</string>";
            plist += "</array>";
        }
        writeText(dir.path() / "Info.plist", plist + "</dict></plist>");
        platform::MainBundle bundle(dir.path());
        SCOPED_TRACE(::testing::Message() << c.listed.size() << " listed, mask " << (c.mask ? int(*c.mask) : -1));
        EXPECT_EQ(UsageUtil::isPortaitOrientationSupportedForWindow(c.mask, bundle), c.supported);
    }
}

TEST(DeviceFactsTest, FactsComeFromTheFilesUnderTheRoot) {
    strombel::testing::TempDir dir;
    writeText(dir / "etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
    writeText(dir / "proc/stat", "cpu  1 2 3\nbtime 1700000123\n");
    writeText(dir / "proc/meminfo",
              "MemTotal: 1000 kB\nMemFree: 400 kB\nActive: 200 kB\nInactive: 100 kB\nUnevictable: 40 kB\n");
    writeText(dir / "sys/class/power_supply/AC/type", "Mains\n");
    writeText(dir / "sys/class/power_supply/BAT0/type", "Battery\n");
    writeText(dir / "sys/class/power_supply/BAT0/capacity", "57\n");
    writeText(dir / "sys/class/power_supply/BAT0/status", "Charging\n");
    writeText(dir / "etc/timezone", "Europe/Berlin\n");
    writeText(dir / "etc/machine-info", "CHASSIS=desktop\nPRETTY_HOSTNAME=\"Stage \\\"Left\\\"\"\n");
    platform::DeviceFacts facts(dir.path());
    EXPECT_EQ(facts.osRelease("VERSION_ID"), "12");
    EXPECT_EQ(facts.machineInfo("PRETTY_HOSTNAME"), "Stage \"Left\"");
    EXPECT_EQ(facts.machineInfo("ICON_NAME"), std::nullopt);
    EXPECT_EQ(facts.bootTime(), 1700000123);
    auto memory = facts.memory();
    ASSERT_TRUE(memory);
    EXPECT_EQ(memory->freePages * memory->pageSize, 400u * 1024 / memory->pageSize * memory->pageSize);
    EXPECT_EQ(memory->wiredPages, 40u * 1024 / memory->pageSize);
    EXPECT_FLOAT_EQ(facts.battery().level, 0.57f);
    EXPECT_EQ(facts.battery().state, platform::DeviceFacts::kBatteryCharging);
    if (!std::getenv("TZ")) {
        EXPECT_EQ(facts.timeZoneName(), "Europe/Berlin");
    }
    EXPECT_EQ(facts.cpuLoad(), -1) << "no proc/uptime here";

    platform::DeviceFacts bare(dir / "nothing");
    EXPECT_FLOAT_EQ(bare.battery().level, -1.0f);
    EXPECT_FALSE(bare.bootTime());
    EXPECT_FALSE(bare.memory());
    EXPECT_GE(platform::DeviceFacts().cpuLoad(), 0.0) << "the real process";
}

TEST(DeviceFactsTest, LocaleComesFromTheVariables) {
    auto environment = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> const char* {
            auto found = values.find(name);
            return found == values.end() ? nullptr : found->second.c_str();
        };
    };
    EXPECT_EQ(platform::DeviceFacts::localeIdentifier(environment({{"LANG", "de_DE.UTF-8"}})), "de_DE");
    EXPECT_EQ(platform::DeviceFacts::localeIdentifier(environment({{"LC_ALL", "C"}, {"LANG", "de_DE"}})), "en_US");
    EXPECT_EQ(platform::DeviceFacts::preferredLanguages(environment({{"LANGUAGE", "fr:de"}})),
              (std::vector<std::string>{"fr", "de"}));
}

class IdentifierTest : public AnalyticsTest {};

TEST_F(IdentifierTest, OnlyEn0GivesAHardwareAddressAndOnlyBeforeSeven) {
    using Entry = platform::DeviceFacts::LinkAddress;
    std::vector<Entry> others = {{"eth0", true, true, {2, 0, 0, 0, 0, 1}}, {"wlan0", true, true, {2, 0, 0, 0, 0, 2}}};
    std::vector<Entry> withEn0 = others;
    withEn0.push_back({"en0", true, true, {0xAB, 0xCD, 0xEF, 1, 2, 3}});
    EXPECT_FALSE(UsageUtil::MACStringFromEntries(others)) << "no fallback to other interfaces";
    EXPECT_EQ(UsageUtil::MACStringFromEntries(withEn0), "AB:CD:EF:01:02:03");
    EXPECT_FALSE(UsageUtil::getMACUIDFromEntries(withEn0)) << "this platform is 8.0";
    platform::PlatformVersion::setCurrent(6.1);
    std::optional<Bytes> digest = UsageUtil::getMACUIDFromEntries(withEn0);
    ASSERT_TRUE(digest);
    std::string text = "AB:CD:EF:01:02:03";
    EXPECT_EQ(*digest, UsageUtil::hashData(Bytes(text.begin(), text.end())));
    UsageGlobalVariableStorage::sharedInstance()->macAddressEnabled.store(false);
    EXPECT_FALSE(UsageUtil::MACStringFromEntries(withEn0));
    platform::PlatformVersion::setCurrent(8.0);
    EXPECT_EQ(UsageUtil::systemVersionAsInteger("8.1.2"), 80102);
    EXPECT_EQ(UsageUtil::systemVersionAsInteger("6.1.6"), 60106);
}

TEST_F(IdentifierTest, TheVendorIdentifierIsARandomUuidKeptAcrossRuns) {
    std::optional<std::string> first = UsageUtil::getIdentifierForVendor();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 36u);
    EXPECT_EQ(UsageUtil::getIdentifierForVendor(), first);
    EXPECT_EQ(std::filesystem::status(environment.vendorIdentifierFile).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(UsageUtil::getUsageId());
    EXPECT_TRUE(UsageUtil::isAdTrackingEnabled());
}

// The client's reachability objects read their environment: a sandbox of the test's own.
class UsageReachabilityTest : public AnalyticsTest {};

TEST_F(UsageReachabilityTest, FlagsGiveTheStatusesOfTheTable) {
    auto internet = UsageReachability::usageReachabilityForInternetConnection();
    auto wifi = UsageReachability::usageReachabilityForLocalWiFi();
    struct Case {
        uint32_t flags;
        int32_t internet;
        int32_t wifi;
    } cases[] = {
        {kReachable | kIsWWAN, 2, 0},
        {kReachable | kConnectionRequired | kTransientConnection, 0, 0},
        {kReachable, 1, 0},
        {kReachable | kConnectionRequired, 1, 0},
        {kReachable | kInterventionRequired, 0, 0},
        {kReachable | kIsDirect | kIsWWAN, 2, 1},
        {kIsDirect, 0, 0},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(internet->usageNetworkStatusForFlags(test.flags), test.internet) << std::hex << test.flags;
        EXPECT_EQ(wifi->usageNetworkStatusForFlags(test.flags), test.wifi) << std::hex << test.flags;
    }
    EXPECT_EQ(UsageReachability::usageMakeAddressKey(0xC0A80102), "192.168.1.2");
}

TEST(ReachabilityTest, ARouteQueryOnTheRealKernel) {
    auto loopback = platform::NetworkReachability::forIPv4Address(0x7F000001);
    std::optional<uint32_t> flags = loopback->flags();
    ASSERT_TRUE(flags);
    EXPECT_EQ(*flags & (kReachable | kIsLocalAddress | kIsDirect), kReachable | kIsLocalAddress | kIsDirect);
    EXPECT_TRUE(platform::NetworkReachability::forHostName("data.analytics.example")->flags().has_value());
    EXPECT_FALSE(platform::NetworkReachability::forHostName(""));
}

TEST(ReachabilityTest, ModemsAreCellular) {
    strombel::testing::TempDir dir;
    writeText(dir / "class/net/usb0/uevent", "INTERFACE=usb0\nDEVTYPE=wwan\n");
    writeText(dir / "class/net/eth0/uevent", "INTERFACE=eth0\n");
    EXPECT_TRUE(platform::NetworkReachability::isCellularInterface(dir.path(), "usb0"));
    EXPECT_TRUE(platform::NetworkReachability::isCellularInterface(dir.path(), "wwan0"));
    EXPECT_FALSE(platform::NetworkReachability::isCellularInterface(dir.path(), "eth0"));
}

// Run in a child that has a network namespace of its own: lo comes up and a
// default route is added; the notifier must tell the loop both changes.
// Maps the caller to root of its new user namespace, so that the ip tool it runs
// keeps the namespace's network rights.
bool becomeNamespaceRoot(uid_t uid, gid_t gid) {
    auto write = [](const char* file, const std::string& text) {
        int descriptor = ::open(file, O_WRONLY | O_CLOEXEC);
        if (descriptor < 0) return false;
        bool done = ::write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(descriptor);
        return done;
    };
    write("/proc/self/setgroups", "deny");
    return write("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

int watchChangesInPrivateNamespace() {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 || !becomeNamespaceRoot(uid, gid)) {
        std::perror("unshare");
        return 77;
    }
    platform::ManualClock clock;
    platform::MainLoop loop(clock);
    loop.bindToCurrentThread();
    auto internet = platform::NetworkReachability::forIPv4Address(0);
    if (internet->flags() != 0u) return 2;
    std::vector<uint32_t> seen;
    if (!internet->startNotifier(loop, [&](uint32_t flags) { seen.push_back(flags); })) return 3;
    if (std::system("ip link set lo up && ip route add default dev lo") != 0) return 78;
    for (int i = 0; i < 2000 && seen.empty(); ++i) {
        loop.runPending();
        usleep(1000);
    }
    if (seen.empty() || !(seen.back() & kReachable) || !(seen.back() & kIsDirect)) return 4;
    if (std::system("ip route del default dev lo") != 0) return 78;
    for (int i = 0; i < 2000 && !(seen.back() == 0); ++i) {
        loop.runPending();
        usleep(1000);
    }
    return seen.back() == 0 ? 0 : 5;
}

TEST(ReachabilityTest, RouteChangesInAPrivateNetworkNamespace) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(watchChangesInPrivateNamespace());
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this test may not make a network namespace here";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "the ip tool could not change the private namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace strombel::analytics::testing

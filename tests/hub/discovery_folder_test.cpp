// The directory of services against other processes of the user that put
// things in it: FIFOs swapped in, links to files elsewhere, files of other
// users, big files, and a fallback folder made by someone else.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/clock.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_loop.h"
#include "platform/runtime_folder.h"
#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

using namespace std::chrono_literals;
constexpr const char* kType = "_wirehub._udp";

DirectoryServiceDiscovery::Entry entryNamed(const std::string& name) {
    DirectoryServiceDiscovery::Entry entry;
    entry.record = {name, kType, 4242, {}, {{"displayName", name}}};
    entry.owner = ::getpid();
    return entry;
}

void writeText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

/// A loop on a manual clock whose answers a watchdog thread checks: a posted
/// probe that has not run after 10 s means the loop is stuck, and the watchdog
/// then opens `fifo` for writing so that a reader blocked on it comes free and
/// the test fails instead of hanging.
struct WatchedLoop {
    ManualClock clock;
    MainLoop loop{clock};
    std::filesystem::path fifo;
    std::atomic<bool> stuck{false}, stop{false};
    std::thread watchdog;

    void watch(std::filesystem::path blocking) {
        fifo = std::move(blocking);
        watchdog = std::thread([this] {
            while (!stop.load()) {
                auto answered = std::make_shared<std::atomic<bool>>(false);
                loop.post([answered] { answered->store(true); });
                auto limit = std::chrono::steady_clock::now() + 10s;
                while (!answered->load() && !stop.load() && std::chrono::steady_clock::now() < limit) {
                    std::this_thread::sleep_for(1ms);
                }
                if (!answered->load() && !stop.load()) {
                    stuck.store(true);
                    int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0) ::close(fd);
                }
            }
        });
    }
    ~WatchedLoop() {
        stop.store(true);
        if (watchdog.joinable()) watchdog.join();
    }
    /// Runs the loop until `done` or 10 s pass.
    bool pumpUntil(const std::function<bool()>& done) {
        auto limit = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < limit) {
            loop.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(1ms);
        }
        return done();
    }
};

struct Browsed {
    std::set<std::string> names;
    std::vector<std::string> events;
    void attach(DirectoryServiceDiscovery& discovery) {
        ServiceDiscovery::BrowseHandlers handlers;
        handlers.found = [this](const std::string& name) {
            names.insert(name);
            events.push_back("+" + name);
        };
        handlers.removed = [this](const std::string& name) {
            names.erase(name);
            events.push_back("-" + name);
        };
        discovery.browse(kType, handlers);
    }
};

TEST(DiscoveryFolderTest, AFileSwappedWithALinkToAFifoNeverStopsTheDiscovery) {
    strombel::testing::TempDir temp;
    WatchedLoop watched;
    auto fifo = temp / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    watched.watch(fifo);
    auto folder = temp / "services";
    DirectoryServiceDiscovery discovery(folder, watched.loop);
    ASSERT_EQ(discovery.refusal(), "");
    Browsed browsed;
    browsed.attach(discovery);

    // The swapper puts a plain announcement and a link to the FIFO in turn under
    // one name, each renamed into place, while the loop runs.
    const std::string name = DirectoryServiceDiscovery::fileName(kType, "Swapped (Desk)");
    const std::string text = DirectoryServiceDiscovery::encode(entryNamed("Swapped (Desk)"));
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        for (int i = 0; i < 3000 && !watched.stuck.load(); ++i) {
            auto aside = folder / ".swap";
            if (i % 2 == 0) {
                std::filesystem::create_symlink(fifo, aside);
            } else {
                writeText(aside, text);
            }
            std::filesystem::rename(aside, folder / name);
            swaps.store(i + 1);
            if (i % 100 == 0) std::this_thread::sleep_for(1ms);
        }
    });
    while (swaps.load() < 3000 && !watched.stuck.load()) {
        watched.loop.runPending();
        watched.clock.advance(100 * kNanosPerMillisecond);  // the owner checks run too
        std::this_thread::sleep_for(100us);
    }
    swapper.join();
    EXPECT_FALSE(watched.stuck.load()) << "the main loop stopped answering";
    ASSERT_EQ(swaps.load(), 3000);

    // The last swap left the plain file, and a service published now is found:
    // the folder's thread is not stuck either.
    ASSERT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(folder / name)));
    ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(folder, entryNamed("Later (Desk)"), true));
    EXPECT_TRUE(watched.pumpUntil([&] { return browsed.names.count("Swapped (Desk)") && browsed.names.count("Later (Desk)"); }));
    EXPECT_FALSE(watched.stuck.load());
}

TEST(DiscoveryFolderTest, OnlyRegularSmallFilesOfTheUserAreRead) {
    strombel::testing::TempDir temp;
    WatchedLoop watched;
    auto fifo = temp / "outside-fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    watched.watch(fifo);
    auto folder = temp / "services";
    DirectoryServiceDiscovery discovery(folder, watched.loop);
    Browsed browsed;
    browsed.attach(discovery);

    // A file outside the folder that reads as an announcement, last read two
    // days ago: reading it through a link would move its access time.
    auto outside = temp / "outside.service";
    writeText(outside, DirectoryServiceDiscovery::encode(entryNamed("Linked (Desk)")));
    timespec times[2] = {{::time(nullptr) - 2 * 86400, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(::utimensat(AT_FDCWD, outside.c_str(), times, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(outside.c_str(), &before), 0);

    auto place = [&](const std::string& service) { return folder / DirectoryServiceDiscovery::fileName(kType, service); };
    std::filesystem::create_symlink(outside, place("Linked (Desk)"));
    std::filesystem::create_symlink(fifo, place("Fifo (Desk)"));
    ASSERT_EQ(::mkfifo(place("Pipe (Desk)").c_str(), 0600), 0);
    // An announcement followed by 240 KB: no announcement is that large, and
    // none is read to find that out (its access time, two days back, stays).
    writeText(place("Big (Desk)"),
              DirectoryServiceDiscovery::encode(entryNamed("Big (Desk)")) + std::string(240 * 1024, '\n'));
    ASSERT_EQ(::utimensat(AT_FDCWD, place("Big (Desk)").c_str(), times, 0), 0);
    struct stat bigBefore {};
    ASSERT_EQ(::stat(place("Big (Desk)").c_str(), &bigBefore), 0);
    const bool canChown = ::geteuid() == 0;
    if (canChown) {
        writeText(place("Foreign (Desk)"), DirectoryServiceDiscovery::encode(entryNamed("Foreign (Desk)")));
        ASSERT_EQ(::chown(place("Foreign (Desk)").c_str(), 12345, 12345), 0);
    }
    ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(folder, entryNamed("Plain (Desk)"), true));

    ASSERT_TRUE(watched.pumpUntil([&] { return browsed.names.count("Plain (Desk)") > 0; }));
    discovery.rescan();  // looks at every entry again
    // An entry written after the rescan is found once the rescan is over.
    ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(folder, entryNamed("After (Desk)"), true));
    ASSERT_TRUE(watched.pumpUntil([&] { return browsed.names.count("After (Desk)") > 0; }));
    EXPECT_EQ(browsed.names, (std::set<std::string>{"After (Desk)", "Plain (Desk)"}));
    ASSERT_EQ(DirectoryServiceDiscovery::readFolder(folder).size(), 2u);
    struct stat after {};
    ASSERT_EQ(::stat(outside.c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec) << "the file behind the link was read";
    ASSERT_EQ(::stat(place("Big (Desk)").c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, bigBefore.st_atim.tv_sec) << "the oversized entry was read";
    EXPECT_FALSE(watched.stuck.load()) << "the FIFO behind the link was opened";
}

TEST(DiscoveryFolderTest, AFolderOthersCouldReachIsRefused) {
    strombel::testing::TempDir temp;
    std::filesystem::create_directory(temp / "elsewhere");
    ::chmod((temp / "elsewhere").c_str(), 0700);
    std::filesystem::create_symlink(temp / "elsewhere", temp / "link");
    std::filesystem::create_directory(temp / "open");
    ::chmod((temp / "open").c_str(), 0755);
    writeText(temp / "file", "x");
    std::filesystem::create_directory(temp / "foreign");
    ::chmod((temp / "foreign").c_str(), 0700);
    const bool foreign = ::chown((temp / "foreign").c_str(), 12345, 12345) == 0;

    struct Row {
        const char* folder;
        const char* why;  // empty: used
        PrivateFolderError code;
    } rows[] = {
        {"fresh", "", {}},
        {"elsewhere", "", {}},
        {"link", "symbolic link", PrivateFolderNotAFolder},
        {"open", "mode 0755", PrivateFolderNotPrivate},
        {"file", "is not a folder", PrivateFolderNotAFolder},
        {"foreign", "belongs to another user", PrivateFolderNotPrivate},
        {"file/inside", "cannot be made: Not a directory", PrivateFolderUnreachable},
    };
    for (const auto& row : rows) {
        if (std::string(row.folder) == "foreign" && !foreign) continue;  // only root can give a folder away
        const Result<void> prepared = preparePrivateFolder(temp / row.folder);
        if (*row.why == 0) {
            EXPECT_TRUE(prepared) << row.folder << ": " << (prepared ? "" : prepared.error().message());
        } else {
            ASSERT_FALSE(prepared) << row.folder;
            EXPECT_NE(prepared.error().message().find(row.why), std::string::npos) << prepared.error().message();
            EXPECT_EQ(prepared.error().code, row.code) << prepared.error().message();
        }
    }
    struct stat made {};
    ASSERT_EQ(::lstat((temp / "fresh").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);
    EXPECT_EQ((std::filesystem::status(temp / "open").permissions() & std::filesystem::perms::all),
              std::filesystem::perms(0755));  // refused, and left as it was

    // The fallback under the temporary folder, when another made it first: the
    // discovery neither publishes nor writes there.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* tmpdir = std::getenv("TMPDIR");
    std::string savedRuntime = runtime ? runtime : "", savedTmp = tmpdir ? tmpdir : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    auto fallback = DirectoryServiceDiscovery::defaultFolder();
    EXPECT_EQ(fallback, temp / ("strombel-services-" + std::to_string(::geteuid())));
    std::filesystem::create_symlink(temp / "elsewhere", fallback);
    if (runtime) ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    if (tmpdir) {
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    ManualClock clock;
    MainLoop loop(clock);
    DirectoryServiceDiscovery discovery(fallback, loop);
    EXPECT_NE(discovery.refusal().find("symbolic link"), std::string::npos) << discovery.refusal();
    std::optional<int32_t> result;
    discovery.publish({"Mine (Desk)", kType, 4000, {}, {}}, [&](int32_t r) { result = r; });
    loop.runPending();
    EXPECT_EQ(result, ServiceDiscovery::ErrorUnknown);
    EXPECT_TRUE(std::filesystem::is_empty(temp / "elsewhere"));
}

TEST(DiscoveryFolderTest, ManyEntriesReachTheHandlersAFewPerTurn) {
    strombel::testing::TempDir temp;
    ManualClock clock;
    MainLoop loop(clock);
    auto folder = temp / "services";
    DirectoryServiceDiscovery discovery(folder, loop);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(folder, entryNamed("peer" + std::to_string(i) + " (Desk)"), true));
    }
    // A probe that posts itself again counts the loop's turns; handler calls
    // are counted per turn.
    int turn = 0;
    std::map<int, size_t> perTurn;
    std::set<std::string> found;
    ServiceDiscovery::BrowseHandlers handlers;
    handlers.found = [&](const std::string& name) {
        found.insert(name);
        ++perTurn[turn];
    };
    discovery.browse(kType, handlers);
    std::function<void()> probe = [&] {
        ++turn;
        if (found.size() < 100) loop.post(probe);
    };
    loop.post(probe);
    auto limit = std::chrono::steady_clock::now() + 10s;
    while (found.size() < 100 && std::chrono::steady_clock::now() < limit) {
        loop.runPending();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(found.size(), 100u);
    size_t most = 0;
    for (auto& [at, calls] : perTurn) most = std::max(most, calls);
    EXPECT_GE(perTurn.size(), 100 / DirectoryServiceDiscovery::kEventsPerTurn);
    EXPECT_LE(most, DirectoryServiceDiscovery::kEventsPerTurn);
}

// Files named like announcements that are none, more than the announcements
// kept and the junk remembered, around a real one: the first look reads the
// whole listing, and an announcement written after it is found too, however
// full the folder is of junk.
TEST(DiscoveryFolderTest, JunkBeyondTheBoundsHidesNoAnnouncement) {
    strombel::testing::TempDir temp;
    WatchedLoop watched;
    auto folder = temp / "services";
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(folder, entryNamed("Early (Desk)"), true));
    for (size_t i = 0; i < DirectoryServiceDiscovery::kMaximumEntries + 256; ++i)
        writeText(folder / ("junk-" + std::to_string(i) + ".service"), "not an announcement");
    DirectoryServiceDiscovery discovery(folder, watched.loop);
    Browsed browsed;
    browsed.attach(discovery);
    EXPECT_TRUE(watched.pumpUntil([&] { return browsed.names.count("Early (Desk)") > 0; }));

    ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(folder, entryNamed("Late (Desk)"), true));
    EXPECT_TRUE(watched.pumpUntil([&] { return browsed.names.count("Late (Desk)") > 0; }));
    EXPECT_EQ(browsed.names, (std::set<std::string>{"Early (Desk)", "Late (Desk)"}));
}

}  // namespace
}  // namespace strombel::platform

#include "app/open_url_handover.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/information_wiring.h"
#include "platform/data_folder_lock.h"
#include "info/social_client.h"
#include "social_network_server.h"
#include "support/temp_dir.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/kit/context.h"
#include "ui/kit/presenters.h"

namespace strombel::app {
namespace {

using namespace std::chrono_literals;

/// Runs Qt's events until `done` answers true; false after the guard.
bool processUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

/// Hands `url` over on a thread of its own while this one serves.
std::optional<bool> handOverServed(const std::filesystem::path& path, const std::string& url) {
    auto answer = std::async(std::launch::async, [&] { return handOverOpenURL(path, url); });
    processUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return answer.get();
}

/// Runs the program with `arguments` while this one serves; its exit status.
/// `errors`, when given, receives what it wrote to standard error.
int runProgram(const QStringList& arguments, std::string* errors = nullptr,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess program;
    program.setProgram(STROMBEL_PROGRAM);
    program.setProcessEnvironment(environment);
    program.setArguments(arguments);
    program.setProcessChannelMode(errors ? QProcess::ForwardedOutputChannel : QProcess::ForwardedChannels);
    program.start();
    if (!processUntil([&] { return program.state() == QProcess::NotRunning; })) {
        program.kill();
        program.waitForFinished();
        return -1;
    }
    if (errors) *errors = program.readAllStandardError().toStdString();
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

class OpenUrlHandoverTest : public ::testing::Test {
protected:
    strombel::testing::TempDir dir;
    /// The test plays the program that owns the data folder.
    std::unique_ptr<platform::DataFolderLock> owner = std::make_unique<platform::DataFolderLock>(dir.path());
    std::filesystem::path socket = OpenUrlServer::socketPathFor(dir.path()).value();
    std::vector<std::string> received;
    bool answer = true;
    OpenUrlServer::Handler handler = [this](const std::string& url) {
        received.push_back(url);
        return answer;
    };
};

TEST_F(OpenUrlHandoverTest, AddressesReachTheRunningProgramWithItsAnswer) {
    EXPECT_EQ(handOverOpenURL(socket, "sn1://authorize#x"), std::nullopt);  // nobody listens
    OpenUrlServer server(socket, handler, platform::MainLoop::shared());
    ASSERT_TRUE(server.isListening()) << server.error();
    EXPECT_EQ(handOverServed(socket, "sn1://authorize#access_token=a"), true);
    answer = false;
    EXPECT_EQ(handOverServed(socket, "http://elsewhere/"), false);
    EXPECT_EQ(received, (std::vector<std::string>{"sn1://authorize#access_token=a", "http://elsewhere/"}));
    // An empty line only asks whether someone listens; too long an address is refused.
    EXPECT_EQ(handOverServed(socket, ""), false);
    EXPECT_EQ(handOverServed(socket, std::string(OpenUrlServer::kMaximumURLSize + 1, 'a')), false);
    EXPECT_EQ(received.size(), 2u);
    // Each data folder has its own socket, in a folder only the user may enter.
    EXPECT_NE(OpenUrlServer::socketPathFor(dir / "other").value(), socket);
}

TEST_F(OpenUrlHandoverTest, ASocketLeftByAProgramThatEndedIsReplaced) {
    {
        std::ofstream stale(socket);  // a file where the socket was
    }
    OpenUrlServer server(socket, handler, platform::MainLoop::shared());
    EXPECT_TRUE(server.isListening()) << server.error();
    EXPECT_EQ(handOverServed(socket, "sn1://authorize#t"), true);
}

TEST_F(OpenUrlHandoverTest, TheProgramHandsItsAddressToTheRunningOneAndEnds) {
    OpenUrlServer server(socket, handler, platform::MainLoop::shared());
    ASSERT_TRUE(server.isListening());
    EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url", "sn1://authorize#t=1"}), 0);
    EXPECT_EQ(received, std::vector<std::string>{"sn1://authorize#t=1"});
    answer = false;
    EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url", "sn2://x"}), 1);
    EXPECT_EQ(runProgram({"--open-url"}), 2);  // the address is missing
}

TEST_F(OpenUrlHandoverTest, ARefusedAddressIsExplainedOnStandardError) {
    info::SocialClient client("482915736204518", nullptr);
    OpenUrlServer server(socket, OpenUrlServer::ExplainingHandler(
                                     [&](const std::string& url) { return client.handleLoginRedirect(url); }),
                         platform::MainLoop::shared());
    ASSERT_TRUE(server.isListening());
    const struct {
        std::string url, reason;
    } cases[] = {
        {"sn482915736204518://authorize#access_token=t", "no login is under way"},
        {"https://elsewhere.example.com/", "sn482915736204518://authorize"},
        {"sn482915736204518://authorize#" + std::string(OpenUrlServer::kMaximumURLSize, 'a'), "longer than 64 KiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 60));
        std::string errors;
        EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url",
                              QString::fromStdString(c.url)},
                             &errors),
                  1);
        EXPECT_NE(errors.find("strombel: the address was not opened: "), std::string::npos) << errors;
        EXPECT_NE(errors.find(c.reason), std::string::npos) << errors;
    }
    EXPECT_FALSE(client.isSessionValid());
}

/// The program's environment with a runtime folder of the test's own: its hub
/// announces itself there, seen by no other program of the machine.
QProcessEnvironment ownRuntime(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(folder.string()));
    return environment;
}

// A Strombel started for the address would have no login under way and refuse
// it: nothing starts (no display is needed, no library is made), and the reason
// is the one that Strombel would give.
TEST_F(OpenUrlHandoverTest, WithNoStrombelRunningTheAddressIsRefusedBeforeAnythingStarts) {
    const struct {
        std::string url, reason;
    } cases[] = {
        {"sn482915736204518://authorize#access_token=t", "no login is under way"},
        {"https://elsewhere.example.com/", "sn482915736204518://authorize"},
    };
    QProcessEnvironment environment = ownRuntime(dir / "runtime");
    for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(display);
    const std::filesystem::path alone = dir / "alone";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        std::string errors;
        EXPECT_EQ(runProgram({"--root", QString::fromStdString(alone.string()), "--open-url",
                              QString::fromStdString(c.url)},
                             &errors, environment),
                  1)
            << errors;
        EXPECT_NE(errors.find("strombel: the address was not opened: no Strombel runs on the folder " +
                              alone.string()),
                  std::string::npos)
            << errors;
        EXPECT_NE(errors.find(c.reason), std::string::npos) << errors;
        EXPECT_FALSE(std::filesystem::exists(alone / "Documents" / ".strombel.xcdatamodeld")) << "the library was made";
    }
}

TEST_F(OpenUrlHandoverTest, AWrongBundleFolderIsNamedAtStartAndTheIdleCrashClientSaysNothing) {
    QProcessEnvironment environment = ownRuntime(dir / "runtime");
    const std::string nowhere = (dir / "no bundle").string();
    environment.insert("STROMBEL_BUNDLE", QString::fromStdString(nowhere));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("STROMBEL_AUDIO", "null");
    QProcess program;
    program.setProgram(STROMBEL_PROGRAM);
    program.setProcessEnvironment(environment);
    program.setArguments({"--root", QString::fromStdString((dir / "alone").string())});
    program.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    program.start();
    // The whole launch speaks (its last step opens the address socket), then the user quits.
    auto listening = [&] {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "runtime", ignored))
            if (entry.path().extension() == ".socket") return true;
        return false;
    };
    EXPECT_TRUE(processUntil([&] { return program.state() == QProcess::NotRunning || listening(); }));
    std::string errors;
    const std::string named = "strombel: the bundle folder " + nowhere + " (STROMBEL_BUNDLE) does not exist";
    program.terminate();
    EXPECT_TRUE(processUntil([&] { return program.state() == QProcess::NotRunning; }));
    errors += program.readAllStandardError().toStdString();
    EXPECT_EQ(program.exitCode(), 0) << errors;
    EXPECT_NE(errors.find(named), std::string::npos) << errors;
    EXPECT_EQ(errors.find("CrashUpload"), std::string::npos) << errors;
}

/// The command line a desktop makes of an entry's Exec line: the value's own
/// escapes first, then arguments split at spaces outside quotes (a backslash
/// inside quotes takes the next character as it is), %u becoming the address
/// and %% a percent sign.
std::vector<std::string> desktopCommand(const std::string& exec, const std::string& url) {
    std::string line;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (c == '\\' && i + 1 < exec.size()) {
            c = exec[++i];
            c = c == 's' ? ' ' : c == 't' ? '\t' : c == 'n' ? '\n' : c;
        }
        line += c;
    }
    std::vector<std::string> arguments;
    std::string argument;
    bool begun = false, quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' && !quoted) {
            if (begun) arguments.push_back(std::exchange(argument, {}));
            begun = false;
            continue;
        }
        begun = true;
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && quoted && i + 1 < line.size()) {
            argument += line[++i];
        } else if (c == '%' && i + 1 < line.size()) {
            argument += line[++i] == 'u' ? url : line[i] == '%' ? "%" : "";
        } else {
            argument += c;
        }
    }
    if (begun) arguments.push_back(argument);
    return arguments;
}

// The browser comes back through the desktop entry the build writes: its command
// names the program whatever the checkout's folder holds (spaces, letters beyond
// ASCII) and hands the address to the Strombel running on the user's folder.
TEST_F(OpenUrlHandoverTest, TheDesktopEntryHandsTheBrowsersAddressToTheRunningProgram) {
    std::ifstream entry(STROMBEL_DESKTOP_ENTRY);
    std::string line, exec;
    while (std::getline(entry, line)) {
        if (line.rfind("Exec=", 0) == 0) exec = line.substr(5);
    }
    const std::vector<std::string> command = desktopCommand(exec, "sn1://authorize#t=2");
    ASSERT_EQ(command.size(), 3u) << exec;
    EXPECT_EQ(command[0], STROMBEL_PROGRAM) << exec;
    OpenUrlServer server(socket, handler, platform::MainLoop::shared());
    ASSERT_TRUE(server.isListening());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("STROMBEL_ROOT", QString::fromStdString(dir.path().string()));
    EXPECT_EQ(runProgram({QString::fromStdString(command[1]), QString::fromStdString(command[2])}, nullptr,
                         environment),
              0);
    EXPECT_EQ(received, std::vector<std::string>{"sn1://authorize#t=2"});
}

/// The browser's way: the screen asks the browser for the login page, the test
/// plays the browser (the login page answers with a redirect to the program's
/// own address) and hands that address over with `strombel --open-url`.
TEST_F(OpenUrlHandoverTest, LoginThroughTheBrowserComesBackAndTheFeedFollows) {
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    ui::kit::Context context(loop);
    auto urls = std::make_unique<ui::kit::RecordingUrlOpener>();
    ui::kit::RecordingUrlOpener* browser = urls.get();
    context.setUrlOpener(std::move(urls));
    info::test_support::LoopbackSocialNetwork network;

    struct Opener : info::SocialUrlOpener {
        bool openURL(const std::string& url) override {
            return ui::kit::Context::current().urlOpener().openUrl(url) && url.rfind("http", 0) == 0;
        }
    } opener;
    info::SocialClient client("482915736204518", nullptr);
    client.setHosts(network.hosts());
    client.setUrlOpener(&opener);
    info::StrombelInformationViewController::setServices({[&] { return &client; }, [] {}, [] { return false; }});
    OpenUrlServer server(socket, [&](const std::string& url) { return client.handleOpenURL(url); },
                         platform::MainLoop::shared());

    {
        info::StrombelInformationViewController screen;
        screen.socialBtnPressed();
        ASSERT_EQ(browser->opened.size(), 2u);  // no social application: the browser
        const std::string login = browser->opened[1];
        ASSERT_EQ(login.rfind(network.url("/dialog/oauth?"), 0), 0u) << login;
        for (const char* pair : {"client_id=482915736204518", "type=user_agent", "display=touch", "sdk=ios",
                                 "redirect_uri=sn482915736204518%3A%2F%2Fauthorize", "scope="}) {
            EXPECT_NE(login.find(pair), std::string::npos) << pair;
        }

        httplib::Client browserClient("127.0.0.1", network.port());
        auto page = browserClient.Get(login.substr(network.url("").size()));
        ASSERT_TRUE(page);
        ASSERT_EQ(page->status, 302);
        const std::string back = page->get_header_value("Location");
        ASSERT_EQ(back.rfind("sn482915736204518://authorize#access_token=", 0), 0u) << back;

        EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url",
                              QString::fromStdString(back)}),
                  0);
        EXPECT_TRUE(client.isSessionValid());
        ASSERT_NE(client.socialDialog(), nullptr);
        EXPECT_EQ(client.socialDialog()->params().at("access_token"), "T0KEN/x");
        EXPECT_EQ(client.socialDialog()->params().at("caption"), "A new dimension in live sets");
    }
    // A login answer nobody asked for (the login was answered already) is
    // refused: nothing changes, nothing opens.
    const info::SocialDialog* shown = client.socialDialog();
    const size_t opened = browser->opened.size();
    EXPECT_EQ(handOverServed(socket, "sn482915736204518://authorize#access_token=later"), false);
    EXPECT_EQ(handOverServed(socket, "sn482915736204518://authorize?error=service_disabled_use_browser"), false);
    EXPECT_EQ(client.socialDialog(), shown);
    EXPECT_EQ(client.accessToken(), "T0KEN/x");
    EXPECT_EQ(browser->opened.size(), opened);
    info::StrombelInformationViewController::setServices({});
}

/// A connection to the socket that sends `bytes` and then nothing more.
int connectIdle(const std::filesystem::path& path, const std::string& bytes) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    if (!bytes.empty()) (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return fd;
}

/// Whether the server closed the connection (end of file, nothing sent).
bool closedByServer(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST_F(OpenUrlHandoverTest, IdleConnectionsAreClosedAfterTwoSecondsAndAtMostSixteenHeld) {
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    OpenUrlServer server(socket, handler, loop);
    ASSERT_TRUE(server.isListening());
    // Twenty that never finish their address: sixteen are held, the rest closed.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(connectIdle(socket, i % 2 ? "sn1://authorize#half" : ""));
        ASSERT_GE(idle.back(), 0);
        QCoreApplication::processEvents();  // the kernel's queue holds sixteen
    }
    ASSERT_TRUE(processUntil([&] {
        return server.connections() == OpenUrlServer::kMaximumConnections &&
               std::count_if(idle.begin(), idle.end(), closedByServer) == 4;
    })) << server.connections() << " held";
    // Just before two seconds they are still held; at two seconds all are closed.
    loop.advance(OpenUrlServer::kAddressTimeLimit - platform::kNanosPerMillisecond);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(server.connections(), OpenUrlServer::kMaximumConnections);
    loop.advance(platform::kNanosPerMillisecond);
    EXPECT_TRUE(processUntil([&] { return std::all_of(idle.begin(), idle.end(), closedByServer); }));
    EXPECT_EQ(server.connections(), 0u);
    for (int fd : idle) ::close(fd);
    EXPECT_TRUE(received.empty());
    // A whole address still gets its answer.
    EXPECT_EQ(handOverServed(socket, "sn1://authorize#whole"), true);
    EXPECT_EQ(received, std::vector<std::string>{"sn1://authorize#whole"});
}

TEST_F(OpenUrlHandoverTest, ASecondStartKeepsTryingTheOwnerForTenSecondsAndNeverTakesBusyForNobody) {
    // The owner is still starting: its socket is not where this start looks
    // until it announces it in the data folder.
    platform::ManualClock connectionClock;
    platform::MainLoop loop{connectionClock};
    OpenUrlServer server(dir / "owner.socket", handler, loop);
    ASSERT_TRUE(server.isListening()) << server.error();
    const std::string url = "sn1://authorize#t";
    enum class AtFirstPause { nothing, theOwnerAnnounces, theOwnerEnds, aSignalComes };
    const struct {
        const char* what;
        AtFirstPause then;
        std::optional<int> status;
        const char* reason;  // part of it; empty: none
    } rows[] = {
        {"never reached", AtFirstPause::nothing, std::nullopt, "did not take the address within 10 s"},
        {"a signal", AtFirstPause::aSignalComes, 0, ""},
        {"the owner announces its socket", AtFirstPause::theOwnerAnnounces, 0, ""},
        {"the owner ends: the folder is this start's", AtFirstPause::theOwnerEnds, std::nullopt, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(dir / OpenUrlServer::kAnnouncementName);
        platform::DataFolderLock folder(dir.path());
        ASSERT_TRUE(folder.ownedElsewhere());
        platform::ManualClock clock;
        const uint64_t began = clock.nowNanos();
        int pauses = 0;
        HandOverTries tries;
        tries.clock = &clock;
        tries.wait = [&](uint64_t nanos) {
            clock.advance(nanos);
            if (pauses++ > 0) return true;
            if (row.then == AtFirstPause::theOwnerAnnounces) {
                EXPECT_TRUE(server.announceIn(dir.path()));
            }
            if (row.then == AtFirstPause::theOwnerEnds) owner.reset();
            return row.then != AtFirstPause::aSignalComes;
        };
        auto second = std::async(std::launch::async, [&] { return startOnOwnedFolder(folder, dir.path(), url, tries); });
        ASSERT_TRUE(processUntil([&] { return second.wait_for(0s) == std::future_status::ready; }));
        const SecondStart ended = second.get();
        EXPECT_EQ(ended.status, row.status);
        EXPECT_NE(ended.reason.find(row.reason), std::string::npos) << ended.reason;
        EXPECT_EQ(ended.reason.empty(), std::string(row.reason).empty()) << ended.reason;
        EXPECT_GE(pauses, 1) << "not reached at first";
        if (row.then == AtFirstPause::nothing) {
            EXPECT_GE(clock.nowNanos() - began, HandOverTries::kTimeAllowed);
        }
        EXPECT_EQ(folder.owned(), row.then == AtFirstPause::theOwnerEnds);
        EXPECT_EQ(received,
                  row.then == AtFirstPause::theOwnerAnnounces ? std::vector<std::string>{url} : std::vector<std::string>{});
        received.clear();
    }
    // Without an address, the second start only says that Strombel runs there.
    platform::DataFolderLock owned(dir.path()), second(dir.path());
    ASSERT_TRUE(owned.owned());
    const SecondStart plain = startOnOwnedFolder(second, dir.path(), std::nullopt, HandOverTries{});
    EXPECT_FALSE(plain.status);
    EXPECT_EQ(plain.reason, "another Strombel already runs on the folder " + dir.path().string());
}

// A Strombel started from another session (another $XDG_RUNTIME_DIR) looks
// for the owner's socket through the link the owner left in the data folder.
TEST_F(OpenUrlHandoverTest, AStartFromAnotherSessionFindsTheOwnerThroughTheDataFolder) {
    OpenUrlServer server(dir / "owner.socket", handler, platform::MainLoop::shared());
    ASSERT_TRUE(server.announceIn(dir.path())) << server.error();
    EXPECT_EQ(runProgram({"--root", QString::fromStdString(dir.path().string()), "--open-url", "sn1://authorize#s=1"},
                         nullptr, ownRuntime(dir / "another session")),
              0);
    EXPECT_EQ(received, std::vector<std::string>{"sn1://authorize#s=1"});
}

// Another process of the user's opens and closes connections as fast as it
// can: the owner takes them a few at a time, sets none of them up, and the one
// that brings an address is answered.
TEST_F(OpenUrlHandoverTest, AFloodOfConnectionsIsTakenAFewAtATimeAndTheAddressAmidItIsAnswered) {
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    OpenUrlServer server(socket, handler, loop);
    ASSERT_TRUE(server.isListening());
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        while (flooding) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::close(fd);
        }
    });
    ASSERT_TRUE(processUntil([&] { return server.resting(); })) << "the flood filled no turn";
    EXPECT_EQ(server.taken(), uint64_t(OpenUrlServer::kConnectionsPerTurn));
    // Resting, it takes nothing more until the turn is over.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(server.taken(), uint64_t(OpenUrlServer::kConnectionsPerTurn));

    auto answer = std::async(std::launch::async, [&] { return handOverOpenURL(socket, "sn1://authorize#amid"); });
    auto answered = [&] { return answer.wait_for(0s) == std::future_status::ready; };
    for (int turn = 0; turn < 1000 && !answered(); ++turn) {
        // A turn: the rest is over, and the flood fills the next one.
        loop.advance(OpenUrlServer::kRestAfterFullTurn);
        ASSERT_TRUE(processUntil([&] { return server.resting() || answered(); }));
        ASSERT_LE(server.taken(), uint64_t(OpenUrlServer::kConnectionsPerTurn) * (turn + 2));
    }
    flooding = false;
    flood.join();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(server.connections(), 0u) << "connections that went are let go";
    ASSERT_EQ(answer.wait_for(0s), std::future_status::ready) << "the address never got in";
    EXPECT_EQ(answer.get(), true);
    EXPECT_EQ(received, std::vector<std::string>{"sn1://authorize#amid"});
    EXPECT_EQ(server.droppedUnread(), server.taken() - 1) << "every other connection went unread";
}

// A queue the owner has not taken from yet is waited out in the kernel, woken
// as the owner takes connections: no try is lost to it.
TEST_F(OpenUrlHandoverTest, AFullQueueIsWaitedOutNotCountedAsAFailedTry) {
    // An owner that does not take connections for now: a queue of one, full.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) >= 0;) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    platform::DataFolderLock folder(dir.path());
    platform::ManualClock clock;
    std::atomic<int> pauses{0};
    std::atomic<pid_t> thread{0};
    HandOverTries tries;
    tries.clock = &clock;
    tries.wait = [&](uint64_t nanos) {
        ++pauses;
        clock.advance(nanos);
        return true;
    };
    auto second = std::async(std::launch::async, [&] {
        thread = ::gettid();
        return startOnOwnedFolder(folder, dir.path(), "sn1://authorize#q", tries);
    });
    // Until the start waits in its connect, or has given the try up.
    auto inConnect = [&] {
        std::ifstream state("/proc/self/task/" + std::to_string(thread.load()) + "/syscall");
        long number = -1;
        return thread.load() && (state >> number) && number == SYS_connect;
    };
    ASSERT_TRUE(processUntil([&] { return pauses > 0 || inConnect(); }));
    // The owner takes its queue, the start's connection last, and answers it.
    for (size_t i = 0; i <= fillers.size(); ++i) {
        const int taken = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(taken, 0);
        if (i < fillers.size()) {
            ::close(taken);
            continue;
        }
        std::string line;
        char c;
        while (::recv(taken, &c, 1, 0) == 1 && c != '\n') line += c;
        EXPECT_EQ(line, "sn1://authorize#q");
        (void)!::send(taken, "YES\n", 4, MSG_NOSIGNAL);
        ::close(taken);
    }
    const SecondStart ended = second.get();
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(pauses, 0) << "the full queue counted as a failed try";
    for (int fd : fillers) ::close(fd);
    ::close(listener);
}

TEST(OpenUrlFallbackFolder, IsUsedOnlyWhenItIsTheUsersAlone) {
    strombel::testing::TempDir dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string savedRuntime = runtime ? runtime : "", savedTmp = tmpdir ? tmpdir : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    const auto fallback = dir / ("strombel-" + std::to_string(::geteuid()));
    std::filesystem::create_directory(dir / "elsewhere");
    std::vector<std::pair<std::string, std::function<bool()>>> rows = {
        {"mode 0755", [&] { return ::mkdir(fallback.c_str(), 0700) == 0 && ::chmod(fallback.c_str(), 0755) == 0; }},
        {"symbolic link", [&] { return ::symlink((dir / "elsewhere").c_str(), fallback.c_str()) == 0; }},
        {"another user", [&] {
             return ::geteuid() == 0 && ::mkdir(fallback.c_str(), 0700) == 0 && ::chown(fallback.c_str(), 12345, 12345) == 0;
         }},
    };
    for (auto& [why, make] : rows) {
        std::filesystem::remove(fallback);
        if (!make()) continue;  // giving a folder away takes root
        const auto refused = OpenUrlServer::socketPathFor(dir / "data");
        ASSERT_FALSE(refused) << why;
        EXPECT_NE(refused.error().message().find(why), std::string::npos) << refused.error().message();
    }
    std::filesystem::remove(fallback);
    auto made = OpenUrlServer::socketPathFor(dir / "data");
    if (runtime) ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    if (tmpdir) {
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    ASSERT_TRUE(made);
    EXPECT_EQ(made->parent_path(), fallback);
    struct stat info {};
    ASSERT_EQ(::lstat(fallback.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
}

TEST(DistributionHomePage, ReadsHomeUrlFromOsRelease) {
    strombel::testing::TempDir dir;
    std::ofstream(dir / "os-release") << "NAME=\"Debian\"\nHOME_URL=\"https://www.debian.example/\"\nID=debian\n";
    EXPECT_EQ(distributionHomePage(dir / "os-release"), "https://www.debian.example/");
    EXPECT_EQ(distributionHomePage(dir / "missing"), "");
}

}  // namespace
}  // namespace strombel::app

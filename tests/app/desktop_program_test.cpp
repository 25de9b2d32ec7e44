// The real program on a real X server, played with real clicks as a user plays
// it: quick clicks on a pad and on "+" are each a hit, a phone layout opens at a
// readable size, an alert shown at launch reaches the screen, a social network
// login answered through the browser opens the post dialog's page. What the
// program stored is read back after it quits.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <xcb/xcb.h>

#include <QRectF>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <httplib.h>

#include "app/information_wiring.h"
#include "program_test_support.h"
#include "social_network_server.h"
#include "support/x_server.h"
#include "ui/small_button_control.h"

namespace strombel::app::scenario {
namespace {

/// The program's window on the X server, and where points of its layout are.
struct ProgramWindow {
    std::string id;
    double width = 0, height = 0;
    QSizeF points;

    /// Window pixels of a layout point: the layout is scaled to fit, centred.
    std::pair<int, int> at(const QPointF& point) const {
        const double scale = std::min(width / points.width(), height / points.height());
        const double left = (width - points.width() * scale) / 2, top = (height - points.height() * scale) / 2;
        return {int(std::lround(left + point.x() * scale)), int(std::lround(top + point.y() * scale))};
    }
};

/// A rectangle of the screen as the X server shows it, read from the root window
/// (the screen itself when no compositor runs). Not with xwd: its dump of the
/// root shows a window black when it lies wholly inside another window with the
/// same colormap of its own, as each Qt window has, though the screen shows it.
struct ScreenArea {
    int x = 0, y = 0, width = 0, height = 0;
    std::vector<uint32_t> pixels;  // 0xRRGGBB, row by row

    /// Pixels whose red, green and blue all lie in [low, high].
    double shareBetween(int low, int high) const {
        if (pixels.empty()) return 0;
        size_t count = 0;
        for (uint32_t pixel : pixels) {
            const int r = int(pixel >> 16 & 0xff), g = int(pixel >> 8 & 0xff), b = int(pixel & 0xff);
            if (std::min({r, g, b}) >= low && std::max({r, g, b}) <= high) ++count;
        }
        return double(count) / double(pixels.size());
    }
};

/// A connection of the test's own to the X server, to read the screen.
class ScreenReader {
public:
    explicit ScreenReader(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(connection_) == 0)
            screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    }
    ~ScreenReader() { xcb_disconnect(connection_); }
    ScreenReader(const ScreenReader&) = delete;
    ScreenReader& operator=(const ScreenReader&) = delete;

    /// Where `window`'s inside lies on the screen, with what the screen shows there.
    std::optional<ScreenArea> areaOf(uint32_t window) const {
        if (!screen_ || screen_->root_depth != 24) return std::nullopt;
        xcb_get_geometry_reply_t* geometry =
            xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr);
        xcb_translate_coordinates_reply_t* at = xcb_translate_coordinates_reply(
            connection_, xcb_translate_coordinates(connection_, window, screen_->root, 0, 0), nullptr);
        std::optional<ScreenArea> area;
        if (geometry && at) area = ScreenArea{at->dst_x, at->dst_y, geometry->width, geometry->height, {}};
        std::free(geometry);
        std::free(at);
        if (!area) return std::nullopt;
        xcb_get_image_reply_t* image = xcb_get_image_reply(
            connection_,
            xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, int16_t(area->x), int16_t(area->y),
                          uint16_t(area->width), uint16_t(area->height), ~0u),
            nullptr);
        if (!image) return std::nullopt;
        const size_t count = size_t(area->width) * size_t(area->height);
        if (size_t(xcb_get_image_data_length(image)) >= count * 4) {
            const auto* data = reinterpret_cast<const uint32_t*>(xcb_get_image_data(image));
            area->pixels.reserve(count);
            for (size_t i = 0; i < count; ++i) area->pixels.push_back(data[i] & 0xffffff);
        }
        std::free(image);
        if (area->pixels.empty()) return std::nullopt;
        return area;
    }

private:
    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
};

class DesktopProgramTest : public ProgramTest {
protected:
    void SetUp() override {
        if (x_.display().empty()) GTEST_SKIP() << "no X server: install xvfb (scripts/setup does)";
        if (!x_.xdotool({"version"})) GTEST_SKIP() << "no xdotool: install it (scripts/setup does)";
    }

    /// Starts the program on the X server with its own root; null when it did not start.
    /// `errors`, when not -1, takes what the program writes to standard error.
    std::unique_ptr<testing::ChildProcess> launch(const std::filesystem::path& root, int guiType,
                                                  std::vector<std::string> environment = {}, int errors = -1) {
        environment.push_back("STROMBEL_AUDIO=null");
        environment.push_back("XDG_RUNTIME_DIR=" + runtimeFolder(root).string());
        auto program = std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{STROMBEL_PROGRAM, "--root", root.string(), "--gui", std::to_string(guiType)},
            x_.environment(environment), -1, errors);
        if (!program->started()) return nullptr;
        launched_ = program.get();
        return program;
    }

    /// The hub's directory of services and the address socket in the run's own
    /// folder, not the machine's.
    static std::filesystem::path runtimeFolder(const std::filesystem::path& root) {
        const auto runtime = root.parent_path() / "runtime";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        return runtime;
    }

    /// Waits up to a minute for the window of the program last launched to show
    /// and reads its size. When it does not show, the failure says what the
    /// program was doing meanwhile.
    std::optional<ProgramWindow> windowOf(QSizeF points) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::optional<std::string> found;
        for (;;) {
            found = x_.xdotool({"search", "--onlyvisible", "--name", "^Strombel$"});
            if (found && !found->empty()) break;
            if (!launched_ || launched_->wait(0) || std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "the program's window did not show\n" << whatTheProgramDoes();
                return std::nullopt;
            }
            pause(0.2);
        }
        ProgramWindow window;
        window.id = found->substr(0, found->find('\n'));
        window.points = points;
        auto geometry = x_.xdotool({"getwindowgeometry", "--shell", window.id});
        if (!geometry) return std::nullopt;
        std::istringstream lines(*geometry);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("WIDTH=", 0) == 0) window.width = std::stod(line.substr(6));
            if (line.rfind("HEIGHT=", 0) == 0) window.height = std::stod(line.substr(7));
        }
        if (window.width <= 0 || window.height <= 0) return std::nullopt;
        return window;
    }

    /// Clicks the middle of `view` (laid out as in `layout`) `count` times, `delayMs` apart.
    void click(const ProgramWindow& window, const ui::kit::View* view, int count = 1, int delayMs = 100) {
        clickAt(window, view->mapToScene(view->bounds().center()), count, delayMs);
    }
    void clickAt(const ProgramWindow& window, QPointF point, int count = 1, int delayMs = 100) {
        const auto [x, y] = window.at(point);
        ASSERT_TRUE(x_.xdotool({"mousemove", "--window", window.id, "--sync", std::to_string(x), std::to_string(y),
                                "click", "--repeat", std::to_string(count), "--delay", std::to_string(delayMs), "1"}));
    }

    /// The program's threads and children with where each waits, the threads'
    /// stacks when gdb is there, and the windows the X server has.
    std::string whatTheProgramDoes() const {
        if (!launched_ || launched_->wait(0)) return "the program had ended";
        const pid_t pid = launched_->pid();
        std::ostringstream told;
        const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
            auto read = [&](const char* name) {
                std::ifstream in(task.path() / name);
                std::string text;
                std::getline(in, text);
                return text;
            };
            told << "thread " << task.path().filename().string() << " " << read("comm") << ": waits in "
                 << read("wchan") << "\n";
            // A child it started and still waits on, with where the child waits.
            std::istringstream children(read("children"));
            for (std::string child; children >> child;) {
                std::ifstream comm("/proc/" + child + "/comm"), wchan("/proc/" + child + "/wchan");
                std::string name, waits;
                std::getline(comm, name);
                std::getline(wchan, waits);
                told << "  its child " << child << " " << name << ": waits in " << waits << "\n";
            }
        }
        // The main thread first: it is the one that shows the window, and a
        // long report may be cut short where it is read.
        if (auto stacks = testing::runCommand({"gdb", "-batch", "-p", std::to_string(pid), "-ex", "thread apply 1 bt 40",
                                               "-ex", "thread apply all bt 12"},
                                              testing::environmentWith({}), 60)) {
            std::istringstream lines(*stacks);
            for (std::string line; std::getline(lines, line);)
                if (line.rfind("[New LWP", 0) != 0) told << line << "\n";
        }
        if (auto windows = x_.xdotool({"search", "--name", ".", "getwindowname", "%@"})) told << "windows:\n" << *windows;
        return told.str();
    }

    static void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

    /// Ends the program as the desktop does, with SIGTERM; true when it quit cleanly.
    static bool quit(testing::ChildProcess& program) {
        program.signal(SIGTERM);
        const std::optional<int> status = program.wait(20);
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    }

    testing::XServer x_;
    testing::ChildProcess* launched_ = nullptr;  ///< the program last launched, owned by the test
};

TEST_F(DesktopProgramTest, QuickClicksOnAPadDuringRecAndOnPlusEachCount) {
    // The layout, as the program lays it out: the same screen built offscreen.
    auto layout = start();
    ui::StrombelViewController& screen = layout->screen();
    tap(*layout, screen.sequencerBtn());
    const QSizeF points = layout->program().window().sceneRect().size();
    const auto root = temp_ / "desktop";
    {
        // A quick tempo, so that hits 100 ms apart fall on steps of their own.
        std::filesystem::create_directories(root / "Library" / "Preferences");
        platform::UserDefaults defaults(root / "Library" / "Preferences" / "defaults.sqlite");
        defaults.setInteger("BeatsPerMinute", 200);
    }

    auto program = launch(root, 0);
    ASSERT_TRUE(program) << "the program did not start";
    auto window = windowOf(points);
    ASSERT_TRUE(window) << "the program's window did not show";
    pause(0.5);

    click(*window, screen.sequencerBtn());
    pause(0.3);
    // A double-click on "+": two steps up.
    click(*window, &screen.sequencerScreen()->rightButton(), 2, 80);
    pause(0.3);
    // Two bars, so that the hits fit in the pattern without coming round.
    click(*window, screen.barsBtn());
    pause(0.2);
    click(*window, &screen.sequencerScreen()->rightButton());
    pause(0.2);
    // REC, the count-in bar, then ten hits 100 ms apart.
    click(*window, screen.recBtn());
    pause(4 * 60.0 / 202 + 0.15);
    click(*window, screen.tapButton(0), 10, 100);
    pause(0.4);
    click(*window, screen.playBtn());
    pause(0.5);
    ASSERT_TRUE(quit(*program)) << "the program did not quit cleanly on SIGTERM";

    platform::UserDefaults defaults(root / "Library" / "Preferences" / "defaults.sqlite");
    EXPECT_EQ(defaults.integerForKey("BeatsPerMinute"), 202) << "a double-click on + is two steps";
    sqlite3* database = nullptr;
    const std::string store = (root / "Documents" / library::SoundDataManager::kStoreFileName).string();
    ASSERT_EQ(sqlite3_open_v2(store.c_str(), &database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(database, "SELECT count(*) FROM SequencerEvent WHERE eventType = 0", -1, &statement,
                                 nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 10) << "ten clicks, ten recorded hits";
    sqlite3_finalize(statement);
    sqlite3_close(database);
}

TEST_F(DesktopProgramTest, APhoneLayoutOpensAtTwiceItsPoints) {
    auto program = launch(temp_ / "phone", 1);
    ASSERT_TRUE(program);
    auto window = windowOf(QSizeF(480, 320));
    ASSERT_TRUE(window);
    EXPECT_EQ(window->width, 960);
    EXPECT_EQ(window->height, 640);
    EXPECT_TRUE(quit(*program));
}

/// A start on a data folder that would lie inside a file: none of its folders
/// can be made, and the program says so in a message box. The box's window, or
/// nothing when the program ended without one.
std::optional<std::string> startOnAFolderThatCannotBeMade(const testing::XServer& x,
                                                          const std::filesystem::path& temp,
                                                          std::unique_ptr<testing::ChildProcess>& program) {
    std::filesystem::create_directories(temp);
    const auto blocker = temp / "blocker";
    std::ofstream(blocker) << "a file, not a folder";
    const auto runtime = temp / "runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    program = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{STROMBEL_PROGRAM, "--root", (blocker / "root").string()},
        x.environment({"STROMBEL_AUDIO=null", "XDG_RUNTIME_DIR=" + runtime.string()}));
    ScreenReader reader(x.display());
    for (int attempt = 0; attempt < 100 && program->started() && !program->wait(0); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto found = x.xdotool({"search", "--onlyvisible", "--name", "^Strombel$"});
        if (!found || found->empty()) continue;
        const std::string id = found->substr(0, found->find('\n'));
        // Painted: mostly the light face of a dialog, with dark letters on it.
        auto box = reader.areaOf(uint32_t(std::stoul(id)));
        if (box && box->shareBetween(0xc0, 0xff) > 0.5 && box->shareBetween(0, 0x60) > 0.002) return id;
    }
    return std::nullopt;
}

TEST_F(DesktopProgramTest, AFolderThatCannotBeMadeIsToldInAMessageBoxBeforeTheProgramEnds) {
    std::unique_ptr<testing::ChildProcess> program;
    const auto box = startOnAFolderThatCannotBeMade(x_, temp_.path(), program);
    ASSERT_TRUE(box) << "the program ended without a word on the screen";
    EXPECT_FALSE(program->wait(0.3)) << "it waits until the user has read it";
    ASSERT_TRUE(x_.xdotool({"windowactivate", "--sync", box.value(), "key", "Return"}));
    const std::optional<int> status = program->wait(10);
    ASSERT_TRUE(status) << "closing the message box ends the program";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
}

TEST_F(DesktopProgramTest, CtrlCOrSigtermEndsTheMessageBoxOfAStartThatCannotGoOn) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        std::unique_ptr<testing::ChildProcess> program;
        ASSERT_TRUE(startOnAFolderThatCannotBeMade(x_, temp_ / std::to_string(signal), program));
        program->signal(signal);
        // At once, with the status of the start that failed (1).
        const std::optional<int> status = program->wait(2);
        ASSERT_TRUE(status) << "the signal did not end the message box";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    }
}

/// A line of the program's memory map that shows the web engine or a GL driver
/// loaded; empty when neither is.
std::string webEngineOrGLMapped(const testing::ChildProcess& program) {
    std::ifstream maps("/proc/" + std::to_string(program.pid()) + "/maps");
    std::string line, engine;
    while (std::getline(maps, line))
        if (line.find("WebEngine") != std::string::npos || line.find("strombel_web_view") != std::string::npos ||
            line.find("/dri/") != std::string::npos)
            engine = line;
    return engine;
}

/// The program in one layout on the X server, its post dialog's page reached as
/// a user reaches it: INFO, SHARE, the login in the browser, the way back.
class PostDialogTest : public DesktopProgramTest {
protected:
    /// Starts the program and opens the post dialog; `window` is the program's
    /// window as it was before the dialog. Fails the test when a step does not
    /// happen.
    void openPostDialog(ui::GuiType guiType) {
        // Where INFO and SHARE lie: the same screens, built offscreen.
        auto layout = start(guiType);
        points_ = layout->program().window().sceneRect().size();
        QPointF info, share;
        {
            // INFO is the leftmost button of the panel that holds SORT.
            std::vector<ui::kit::View*> buttons = layout->screen().sortBtn()->superview()->subviews();
            std::erase_if(buttons, [](ui::kit::View* view) { return !dynamic_cast<ui::SmallButtonControl*>(view); });
            ASSERT_FALSE(buttons.empty());
            const auto leftmost = std::min_element(buttons.begin(), buttons.end(), [](auto* a, auto* b) {
                return a->frame().x() < b->frame().x();
            });
            info = (*leftmost)->mapToScene((*leftmost)->bounds().center());
            visitInformationScreen(*layout, [&] {
                auto* screen = dynamic_cast<info::StrombelInformationViewController*>(
                    ui::kit::Context::current().modals().presented(layout->program().window()));
                ASSERT_NE(screen, nullptr);
                share = screen->socialBtn()->mapToScene(screen->socialBtn()->bounds().center());
            });
        }

        const auto root = temp_ / "social";
        {
            std::filesystem::create_directories(root / "Library" / "Preferences");
            platform::UserDefaults defaults(root / "Library" / "Preferences" / "defaults.sqlite");
            const info::SocialHosts hosts = network_.hosts();
            defaults.setString(InformationSettingKeys::kSocialDialogBaseURL, hosts.dialogBaseURL);
            defaults.setString(InformationSettingKeys::kSocialGraphBaseURL, hosts.graphBaseURL);
            defaults.setString(InformationSettingKeys::kSocialMethodBaseURL, hosts.methodBaseURL);
            defaults.setString(InformationSettingKeys::kSocialLoginURL, hosts.loginURL);
        }
        // The user's browser: it writes down the addresses it is asked to open.
        const auto browser = temp_ / "browser";
        std::filesystem::create_directories(browser);
        const auto opened = temp_ / "opened";
        std::ofstream(browser / "xdg-open") << "#!/bin/sh\necho \"$1\" >> '" << opened.string() << "'\n";
        std::filesystem::permissions(browser / "xdg-open", std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        errors_ = temp_ / "errors";
        const int errorsFile = ::open(errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        program_ = launch(root, int(guiType), {"PATH=" + browser.string() + ":" + (path ? path : "/usr/bin:/bin")},
                          errorsFile);
        ::close(errorsFile);
        ASSERT_TRUE(program_) << "the program did not start";
        auto window = windowOf(points_);
        ASSERT_TRUE(window) << "the program's window did not show";
        window_ = *window;
        pause(0.5);
        clickAt(window_, info);
        pause(1.0);  // the information screen slides in
        clickAt(window_, share);

        // The browser opens the login page, which sends it back to the program's
        // own address with the login's answer; the desktop hands that to the program.
        std::string login;
        for (int wait = 0; wait < 200 && login.rfind("http", 0) != 0; ++wait) {
            pause(0.05);
            std::ifstream lines(opened);
            for (std::string line; std::getline(lines, line);)
                if (line.rfind("http", 0) == 0) login = line;
        }
        ASSERT_EQ(login.rfind(network_.url("/dialog/oauth?"), 0), 0u) << "the browser was not asked to log in: " << login;
        // The information screen and a login in the browser show no page of ours.
        EXPECT_EQ(webEngineOrGLMapped(*program_), "") << "mapped before the post dialog";
        httplib::Client page("127.0.0.1", network_.port());
        auto answer = page.Get(login.substr(network_.url("").size()));
        ASSERT_TRUE(answer);
        const std::string back = answer->get_header_value("Location");
        ASSERT_NE(back.find("&state="), std::string::npos) << back;
        testing::ChildProcess handOver({STROMBEL_PROGRAM, "--root", root.string(), "--open-url", back},
                                       x_.environment({"XDG_RUNTIME_DIR=" + runtimeFolder(root).string()}));
        const std::optional<int> handedOver = handOver.wait(30);
        if (const std::optional<int> ended = program_->wait(0)) FAIL() << "the program ended on the answer: " << ending(*ended);
        ASSERT_TRUE(handedOver && WIFEXITED(*handedOver) && WEXITSTATUS(*handedOver) == 0) << "the answer was not taken";

        // The post dialog loads its page in the web engine and shows it, white,
        // over the information screen.
        for (int wait = 0; wait < 300 && !program_->wait(0) && pageShown() < 0.2; ++wait) pause(0.1);
        if (const std::optional<int> ended = program_->wait(0)) FAIL() << "the program ended as the dialog opened: " << ending(*ended);
        EXPECT_EQ(network_.count("/dialog/feed"), 1u) << "the post dialog did not ask for its page";
    }

    /// What the window shows now, read from the screen (nothing when it cannot
    /// be read); looked up anew, whatever window now shows the program.
    std::optional<ScreenArea> shown() {
        if (network_.count("/dialog/feed") == 0) return std::nullopt;
        auto window = windowOf(points_);
        return window ? ScreenReader(x_.display()).areaOf(uint32_t(std::stoul(window->id))) : std::nullopt;
    }
    /// The share of the window that is the page's white.
    double pageShown() {
        auto area = shown();
        return area ? area->shareBetween(0xf8, 0xff) : 0;
    }
    static std::string ending(int status) {
        return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                   : "status " + std::to_string(WEXITSTATUS(status));
    }

    info::test_support::LoopbackSocialNetwork network_;
    std::unique_ptr<testing::ChildProcess> program_;
    ProgramWindow window_;
    QSizeF points_;
    std::filesystem::path errors_;  ///< what the program wrote on standard error
};

TEST_F(PostDialogTest, ASocialLoginAnsweredThroughTheBrowserOpensThePostDialog) {
    ASSERT_NO_FATAL_FAILURE(openPostDialog(ui::GuiType::tablet));
    EXPECT_GE(pageShown(), 0.2) << "the post dialog's page does not show";
    EXPECT_TRUE(quit(*program_));

    // What the start and the login wrote for the user: nothing of what went as
    // planned (no store named, the social network's own program not there, the
    // web engine's set-up).
    std::ifstream written(errors_);
    const std::string said((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    for (const char* noise : {"store catalogue", "refusing to open", "qt.webenginecontext", "Init Parameters"})
        EXPECT_EQ(said.find(noise), std::string::npos) << noise << " in:\n" << said;
}

TEST_F(PostDialogTest, ThePageJoinsTheProgramsOwnWindowAndTakesItsKeys) {
    ASSERT_NO_FATAL_FAILURE(openPostDialog(ui::GuiType::tablet));
    ASSERT_GE(pageShown(), 0.2) << "the post dialog's page does not show";
    // The window the user had is the one that shows the page: no other window
    // took its place (which the desktop showed as the window going and coming).
    auto now = windowOf(points_);
    ASSERT_TRUE(now);
    EXPECT_EQ(now->id, window_.id);

    // A click into the message box, a word, Tab to Share and Return: the post
    // is sent and the dialog goes.
    // The tablet's panel: 614 by 448 points in the middle of the window below
    // the status bar; its page 11 points in, below the close button.
    const QPointF page = QPointF(512, 20 + (768 - 20) / 2) - QPointF(614, 448) / 2 + QPointF(11, 33);
    pause(1.0);  // the panel's bounce ends
    clickAt(window_, page + QPointF(60, 70));
    pause(0.3);
    ASSERT_TRUE(x_.xdotool({"type", "--delay", "40", "hello"}));
    ASSERT_TRUE(x_.xdotool({"key", "Tab", "Return"}));
    double white = 1;
    for (int wait = 0; wait < 50 && white > 0.05; ++wait) {
        pause(0.1);
        white = pageShown();
    }
    EXPECT_LE(white, 0.05) << "the keys did not reach the page: the dialog stays";
    EXPECT_TRUE(quit(*program_)) << "the program did not quit with a page shown";
}

TEST_F(PostDialogTest, UprightThePageStandsInsideTheWindow) {
    ASSERT_NO_FATAL_FAILURE(openPostDialog(ui::GuiType::phonePortrait));
    ASSERT_GE(pageShown(), 0.2) << "the post dialog's page does not show";
    // The page's white fills the middle of the window, and the panel's margin
    // shows at both edges: it is not cut by them. The panel comes in with a
    // bounce that grows it past its size for a moment, so a page that shows
    // early may touch the edges until the bounce ends: the screen is read
    // again until it settles, for far longer than the bounce lasts.
    std::optional<ScreenArea> area;
    auto whiteIn = [&](int x) {
        int white = 0;
        for (int y = area->height / 4; y < area->height * 3 / 4; ++y) {
            const uint32_t pixel = area->pixels[size_t(y) * size_t(area->width) + size_t(x)];
            white += (pixel & 0xf8f8f8) == 0xf8f8f8 ? 1 : 0;
        }
        return double(white) / double(area->height / 2);
    };
    for (int read = 0; read < 50; ++read) {
        if (read > 0) pause(0.1);
        area = shown();
        ASSERT_TRUE(area);
        if (whiteIn(2) < 0.1 && whiteIn(area->width - 3) < 0.1) break;
    }
    EXPECT_GT(whiteIn(area->width / 2), 0.9);
    EXPECT_LT(whiteIn(2), 0.1) << "the page runs into the window's left edge";
    EXPECT_LT(whiteIn(area->width - 3), 0.1) << "the page runs into the window's right edge";
    EXPECT_TRUE(quit(*program_));
}

TEST_F(DesktopProgramTest, NeitherTheWebEngineNorGLIsLoadedBeforeAPageIsShown) {
    auto program = launch(temp_ / "lean", 0);
    ASSERT_TRUE(program);
    ASSERT_TRUE(windowOf(QSizeF(1024, 768)));
    EXPECT_EQ(webEngineOrGLMapped(*program), "") << "mapped at start";
    EXPECT_TRUE(quit(*program));
}

/// The program's alert and its window, once the alert is painted on the screen.
struct AlertOverWindow {
    ScreenArea alert;
    uint32_t window = 0;
};

/// Starts the program on a damaged library, which it tells in an alert as its
/// window shows.
class AlertAtLaunchTest : public DesktopProgramTest {
protected:
    std::unique_ptr<testing::ChildProcess> launchDamaged(const std::filesystem::path& root) {
        std::filesystem::create_directories(root / "Documents");
        std::ofstream damaged(root / "Documents" / library::SoundDataManager::kStoreFileName, std::ios::binary);
        damaged << std::string(4096, '\x5a');
        damaged.close();
        auto program = launch(root, 0);
        if (program && !windowOf(QSizeF(1024, 768))) return nullptr;
        return program;
    }

    /// The alert is the smaller of the program's two windows; the last look when
    /// it never showed painted.
    std::optional<AlertOverWindow> waitForAlert() {
        ScreenReader reader(x_.display());
        std::optional<AlertOverWindow> seen;
        for (int attempt = 0; attempt < 100; ++attempt) {
            pause(0.1);
            auto found = x_.xdotool({"search", "--onlyvisible", "--name", "^Strombel$"});
            std::istringstream ids(found.value_or(""));
            std::optional<ScreenArea> smallest;
            size_t largest = 0;
            uint32_t window = 0;
            int windows = 0;
            for (std::string id; std::getline(ids, id);) {
                if (id.empty()) continue;
                ++windows;
                auto area = reader.areaOf(uint32_t(std::stoul(id)));
                if (!area) continue;
                if (area->pixels.size() > largest) {
                    largest = area->pixels.size();
                    window = uint32_t(std::stoul(id));
                }
                if (!smallest || area->pixels.size() < smallest->pixels.size()) smallest = std::move(area);
            }
            if (windows < 2 || !smallest) continue;
            seen = AlertOverWindow{std::move(*smallest), window};
            // Painted: mostly the light face of a dialog, with dark letters on it.
            if (seen->alert.shareBetween(0xc0, 0xff) > 0.5 && seen->alert.shareBetween(0, 0x60) > 0.002) break;
        }
        return seen;
    }

    /// Asks `window` to close as the window manager does for its close button.
    void askToClose(uint32_t window) const {
        xcb_connection_t* connection = xcb_connect(x_.display().c_str(), nullptr);
        auto atom = [connection](const char* name) {
            xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
                connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
            const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
            std::free(reply);
            return atom;
        };
        xcb_client_message_event_t request{};
        request.response_type = XCB_CLIENT_MESSAGE;
        request.format = 32;
        request.window = window;
        request.type = atom("WM_PROTOCOLS");
        request.data.data32[0] = atom("WM_DELETE_WINDOW");
        request.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&request));
        // A question answered after the request: the server has taken the request
        // before the connection closes (closed at once, it could drop it unread).
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        xcb_disconnect(connection);
    }
};

TEST_F(AlertAtLaunchTest, AnAlertAtLaunchIsReadableOnTheScreen) {
    auto program = launchDamaged(temp_ / "alert");
    ASSERT_TRUE(program) << "the program did not start, or its window did not show";
    const std::optional<AlertOverWindow> shown = waitForAlert();
    ASSERT_TRUE(shown) << "no alert showed";
    const ScreenArea& alert = shown->alert;
    EXPECT_GT(alert.shareBetween(0xc0, 0xff), 0.5)
        << "the alert's face does not show at " << alert.x << "," << alert.y << " (" << alert.width << "x"
        << alert.height << "); black: " << alert.shareBetween(0, 0);
    EXPECT_GT(alert.shareBetween(0, 0x60), 0.002) << "no letters show on the alert";
    EXPECT_TRUE(quit(*program));
}

TEST_F(AlertAtLaunchTest, ClosingTheWindowWhileAnAlertAsksEndsTheProgram) {
    auto program = launchDamaged(temp_ / "close");
    ASSERT_TRUE(program) << "the program did not start, or its window did not show";
    const std::optional<AlertOverWindow> shown = waitForAlert();
    ASSERT_TRUE(shown && shown->window) << "no alert showed";
    askToClose(shown->window);
    const std::optional<int> status = program->wait(10);
    ASSERT_TRUE(status) << "the close was dropped while the alert was open";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
}  // namespace strombel::app::scenario

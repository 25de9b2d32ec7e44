// The desktop clipboard with a second process, on a real X server: Xvfb on a
// display of its own (started before the application, killed after the last
// test), Qt on its xcb platform, and xclip as the other program. While xclip
// reads what we copied, our event loop turns: this process serves the selection.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "editor/wave_files.h"
#include "support/temp_dir.h"
#include "support/x_server.h"
#include "ui/editor/exchange_screens.h"
#include "ui/ui_test_support.h"

namespace strombel::editor {
namespace {

using strombel::testing::ChildProcess;
using strombel::testing::TempDir;

/// The X server of this run; null when the tests skip.
strombel::testing::XServer* xServer = nullptr;
/// Why the tests skip (Xvfb or xclip missing).
std::string whyNoX;

std::string fileUri(const std::filesystem::path& file) {
    return QUrl::fromLocalFile(QString::fromStdString(file.string())).toString(QUrl::FullyEncoded).toStdString();
}

struct PasteRecorder final : ExchangePasteViewControllerDelegate {
    void didPaste(ExchangePasteViewController&, const std::string& path, const std::string& name, const void*) override {
        pasted.push_back({path, name});
    }
    std::vector<std::pair<std::string, std::string>> pasted;
};

class ClipboardWithXTest : public strombel::testing::UiTest {
protected:
    void SetUp() override {
        if (!xServer) GTEST_SKIP() << whyNoX;
        std::filesystem::create_directories(temp / "pasted");
    }
    // The clipboard outlives a test: what one copied is not left to the next.
    void TearDown() override {
        if (xServer && QGuiApplication::clipboard()->ownsClipboard()) QGuiApplication::clipboard()->clear();
        strombel::testing::UiTest::TearDown();
    }

    /// Turns Qt's event loop until `done` (or ten seconds have gone).
    static bool turnUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    /// Runs xclip with `arguments` to its end, turning our event loop meanwhile;
    /// what it printed, or nothing when it failed.
    std::optional<std::string> xclipOut(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"xclip", "-selection", "clipboard"});
        const std::filesystem::path out = temp / "xclip.out";
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return std::nullopt;
        ChildProcess xclip(arguments, xServer->environment({}), fd);
        ::close(fd);
        std::optional<int> status;
        turnUntil([&] { return (status = xclip.wait(0)).has_value(); });
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
        return strombel::testing::fileBytes(out);
    }

    /// xclip offering `file`'s bytes as `type`, until the test ends.
    std::unique_ptr<ChildProcess> xclipOffer(const std::filesystem::path& file, const std::string& type) {
        auto xclip = std::make_unique<ChildProcess>(
            std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-i", "-t", type, file.string()},
            xServer->environment({}));
        // It owns the clipboard once our side sees the type there, offered by
        // another program (what this one copied earlier may offer it too).
        const bool offered = turnUntil([&] {
            QClipboard* clipboard = QGuiApplication::clipboard();
            const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard);
            return !clipboard->ownsClipboard() && data && data->hasFormat(QString::fromStdString(type));
        });
        EXPECT_TRUE(offered) << "xclip never offered " << type;
        return xclip;
    }

    /// Pastes the only item the paste screen lists; what the delegate was told.
    PasteRecorder pasteTheClipboard(const std::string& expectedName) {
        PasteRecorder delegate;
        ExchangePasteViewController sheet((temp / "pasted").string());
        sheet.setDelegate(&delegate);
        EXPECT_EQ(sheet.itemNames(), std::vector<std::string>{expectedName}) << sheet.message().toStdString();
        if (sheet.itemNames().size() != 1) return delegate;
        sheet.pasteItem(0);
        sheet.waitForWriter();
        pump();
        lastMessage = sheet.message();
        return delegate;
    }

    TempDir temp;
    QString lastMessage;
};

TEST_F(ClipboardWithXTest, CopyOffersTheSnapshotAsWaveBytesAndAsAFileUriToAnotherProgram) {
    ASSERT_TRUE(strombel::testing::writeWave(temp / "AUDIOEXCHANGE.wav",
                                             strombel::testing::sineSamples(440, 44100, 20000, 2), 2));
    const std::string copied = strombel::testing::fileBytes(temp / "AUDIOEXCHANGE.wav");
    AudioExchangeViewController sheet((temp / "AUDIOEXCHANGE.wav").string());
    sheet.copyBtnPressed();
    ASSERT_EQ(sheet.message(), "Copied. Paste it into another program.");
    ASSERT_TRUE(turnUntil([] { return QGuiApplication::clipboard()->ownsClipboard(); }));
    // The next export overwrites the file; what was copied stays.
    std::ofstream(temp / "AUDIOEXCHANGE.wav", std::ios::trunc) << "overwritten by the next export";

    const std::optional<std::string> targets = xclipOut({"-o", "-t", "TARGETS"});
    ASSERT_TRUE(targets);
    EXPECT_NE(targets->find("audio/wav\n"), std::string::npos) << *targets;
    EXPECT_NE(targets->find("text/uri-list\n"), std::string::npos) << *targets;

    EXPECT_EQ(xclipOut({"-o", "-t", "audio/wav"}), copied);
    const std::optional<std::string> uri = xclipOut({"-o", "-t", "text/uri-list"});
    ASSERT_TRUE(uri);
    const std::string prefix = "file://";
    ASSERT_EQ(uri->rfind(prefix, 0), 0u) << *uri;
    std::string path = uri->substr(prefix.size());
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    EXPECT_EQ(strombel::testing::fileBytes(path), copied) << "the URI names the snapshot";
}

TEST_F(ClipboardWithXTest, WaveBytesAnotherProgramOffersArePasted) {
    const auto tone = strombel::testing::sineSamples(660, 44100, 12000, 2);
    ASSERT_TRUE(strombel::testing::writeWave(temp / "offered.wav", tone, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24));
    auto xclip = xclipOffer(temp / "offered.wav", "audio/wav");
    PasteRecorder told = pasteTheClipboard("Clipboard");
    ASSERT_EQ(told.pasted.size(), 1u) << lastMessage.toStdString();
    EXPECT_EQ(std::filesystem::path(told.pasted[0].first).parent_path(), temp / "pasted");
    uint32_t channels = 0;
    int format = 0;
    EXPECT_EQ(strombel::testing::readWave(told.pasted[0].first, &channels, nullptr, &format), tone);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
}

TEST_F(ClipboardWithXTest, AFileUriIsPastedAndAFolderUriIsRefusedWithNothingWritten) {
    const auto tone = strombel::testing::sineSamples(220, 44100, 5000, 1);
    ASSERT_TRUE(strombel::testing::writeWave(temp / "kick drum.wav", tone, 1));
    std::ofstream(temp / "file.uri") << fileUri(temp / "kick drum.wav") << "\r\n";
    {
        auto xclip = xclipOffer(temp / "file.uri", "text/uri-list");
        PasteRecorder told = pasteTheClipboard("kick drum");
        ASSERT_EQ(told.pasted.size(), 1u) << lastMessage.toStdString();
        EXPECT_EQ(strombel::testing::readWave(told.pasted[0].first), tone);
    }
    const size_t before = strombel::testing::namesIn(temp / "pasted").size();
    std::filesystem::create_directories(temp / "a folder.wav");
    std::ofstream(temp / "folder.uri") << fileUri(temp / "a folder.wav") << "\r\n";
    auto xclip = xclipOffer(temp / "folder.uri", "text/uri-list");
    PasteRecorder told = pasteTheClipboard("a folder");
    EXPECT_TRUE(told.pasted.empty());
    EXPECT_TRUE(lastMessage.startsWith("Nothing was pasted: ")) << lastMessage.toStdString();
    EXPECT_EQ(strombel::testing::namesIn(temp / "pasted").size(), before);
}

}  // namespace
}  // namespace strombel::editor

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    std::unique_ptr<strombel::testing::XServer> server;
    {
        if (!strombel::testing::runCommand({"sh", "-c", "command -v xclip"}, strombel::testing::environmentWith({}))) {
            strombel::editor::whyNoX = "xclip is not installed";
        } else {
            server = std::make_unique<strombel::testing::XServer>();
            if (server->display().empty()) {
                strombel::editor::whyNoX = "no X server could be started (is Xvfb installed?)";
                server.reset();
            }
        }
    }
    if (server) {
        ::setenv("DISPLAY", server->display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        strombel::editor::xServer = server.get();
    } else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    strombel::testing::application();
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
    // The application is never destroyed (see application()): the process ends
    // here, with the X server gone and no exit handler left to talk to it.
    server.reset();
    std::_Exit(result);
}

// What a user is told when what they make cannot be kept: a read-only library
// and settings, a disk that is full at start or fills while they record. The
// disks are real: a read-only mount and a small tmpfs.

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>

#include "midi/note_map_file.h"
#include "program_test_support.h"
#include "support/test_mounts.h"

namespace strombel::app::scenario {
namespace {

class StorageProblemsTest : public ProgramTest {
protected:
    std::unique_ptr<ProgramRun> startAt(const std::filesystem::path& root) {
        return std::make_unique<ProgramRun>(root, clock_, loop_);
    }
    /// Records one hit on the first pad into pattern 1, as the user does.
    void recordHit(ProgramRun& run) {
        ui::StrombelViewController& screen = run.screen();
        if (!screen.sequencerBtn()->isPressedDown()) tap(run, screen.sequencerBtn());
        tap(run, screen.recBtn());
        runFor(run, 4 * 60.0 / run.program().sequencer()->bpm() + 0.1);
        touchDown(run, screen.tapButton(0));
        runFor(run, 0.05);
        touchUp(run, screen.tapButton(0));
        runFor(run, 0.3);
        tap(run, screen.playBtn());
        loop_.runPending();
    }
    /// Recorded notes in the store file as another program reads it.
    static int storedNotes(const std::filesystem::path& root) {
        sqlite3* database = nullptr;
        const std::string file = (root / "Documents" / library::SoundDataManager::kStoreFileName).string();
        int count = -1;
        if (sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(database, "SELECT count(*) FROM SequencerEvent WHERE eventType = 0", -1,
                                   &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                count = sqlite3_column_int(statement, 0);
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(database);
        return count;
    }
    static std::filesystem::path settingsFile(const std::filesystem::path& root) {
        return root / "Library" / "Preferences" / "defaults.sqlite";
    }
    static std::filesystem::path storeFile(const std::filesystem::path& root) {
        return root / "Documents" / library::SoundDataManager::kStoreFileName;
    }
};

TEST_F(StorageProblemsTest, AReadOnlyLibraryAndSettingsAreToldBeforeTheFirstRecording) {
    const auto root = temp_ / "root";
    {
        auto run = startAt(root);
        run->defaults().setInteger("BeatsPerMinute", 140);
        recordHit(*run);
    }
    ASSERT_EQ(storedNotes(root), 1);
    const std::string store = testing::fileBytes(storeFile(root));
    const std::string settings = testing::fileBytes(settingsFile(root));

    std::string why;
    auto readOnly = testing::TestMount::readOnly(root, temp_ / "read-only", why);
    if (!readOnly) GTEST_SKIP() << "mounting is refused here (" << why << "): the read-only case cannot be made";
    auto run = startAt(temp_ / "read-only");

    // Told at start, in one alert, before anything is recorded.
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    const std::string told = run->alerts().shown[0].message.toStdString();
    EXPECT_NE(told.find("library cannot be saved"), std::string::npos) << told;
    EXPECT_NE(told.find("settings cannot be saved"), std::string::npos) << told;
    ASSERT_NE(run->screen().storageWarning(), nullptr);
    EXPECT_TRUE(run->screen().storageWarning()->text().startsWith("NOT SAVED"));
    // What the files hold still counts: the tempo and the recorded note.
    EXPECT_EQ(run->program().sequencer()->bpm(), 140);
    EXPECT_TRUE(run->program().sequencer()->patternHasEvents(0));

    // Playing on tells nothing new, and nothing touches the files.
    recordHit(*run);
    run->defaults().setInteger("BeatsPerMinute", 150);
    EXPECT_EQ(run->alerts().shown.size(), 1u);
    run.reset();
    EXPECT_EQ(testing::fileBytes(storeFile(root)), store);
    EXPECT_EQ(testing::fileBytes(settingsFile(root)), settings);
}

TEST_F(StorageProblemsTest, AFullDiskAtStartKeepsTheSettingsFileByteForByte) {
    const auto root = temp_ / "disk" / "root";
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp_ / "disk", 8 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    {
        auto run = startAt(root);
        run->defaults().setInteger("BeatsPerMinute", 140);
        run->defaults().setBool("SequencerButton", true);
    }
    const std::string settings = testing::fileBytes(settingsFile(root));
    ASSERT_FALSE(settings.empty());
    testing::fillDisk(temp_ / "disk" / "filler");

    {
        auto run = startAt(root);
        ASSERT_EQ(run->alerts().shown.size(), 1u);
        const std::string told = run->alerts().shown[0].message.toStdString();
        EXPECT_NE(told.find("settings cannot be saved"), std::string::npos) << told;
        EXPECT_EQ(told.find("damaged"), std::string::npos) << "a full disk is no damage: " << told;
        EXPECT_EQ(run->program().sequencer()->bpm(), 140) << "the settings are read, not replaced by defaults";
        run->defaults().setInteger("BeatsPerMinute", 90);  // lasts for this run only
    }
    EXPECT_EQ(testing::fileBytes(settingsFile(root)), settings);
    std::error_code ignored;
    EXPECT_TRUE(std::filesystem::directory_iterator(root / "Library" / "Preferences", ignored) !=
                std::filesystem::directory_iterator())
        << "nothing set aside";
    for (const auto& entry : std::filesystem::directory_iterator(root / "Library" / "Preferences"))
        EXPECT_EQ(entry.path().string().find("damaged"), std::string::npos) << entry.path();

    // With space again, the same settings come back.
    std::filesystem::remove(temp_ / "disk" / "filler");
    auto run = startAt(root);
    EXPECT_TRUE(run->alerts().shown.empty());
    EXPECT_EQ(run->program().sequencer()->bpm(), 140);
}

TEST_F(StorageProblemsTest, ADiskThatFillsWhileRecordingIsToldOnceAndNothingIsLostOnceThereIsRoom) {
    const auto root = temp_ / "disk" / "root";
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp_ / "disk", 8 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    auto run = startAt(root);
    ASSERT_TRUE(run->alerts().shown.empty());
    recordHit(*run);
    EXPECT_EQ(run->program().storageLine(), "");

    testing::fillDisk(temp_ / "disk" / "filler");
    recordHit(*run);
    recordHit(*run);
    ASSERT_EQ(run->alerts().shown.size(), 1u) << "told once, not at every note";
    EXPECT_NE(run->alerts().shown[0].message.toStdString().find("cannot save its library"), std::string::npos);
    ASSERT_NE(run->screen().storageWarning(), nullptr);
    EXPECT_FALSE(run->program().storageLine().empty());

    // Room again: the next save carries what waited, and the line goes.
    std::filesystem::remove(temp_ / "disk" / "filler");
    recordHit(*run);
    EXPECT_EQ(run->program().storageLine(), "");
    EXPECT_EQ(run->screen().storageWarning(), nullptr);
    run.reset();
    EXPECT_EQ(storedNotes(root), 1) << "the hits share pad and step, so they are one note";
}

TEST_F(StorageProblemsTest, TheNoteMapIsWrittenWhenLearningChangedItAndAFailedWriteIsTold) {
    const auto root = temp_ / "disk" / "root";
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp_ / "disk", 8 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    auto run = startAt(root);
    ui::StrombelViewController& screen = run->screen();
    midi::MidiController& hub = *run->program().midiHub();
    const std::filesystem::path map = hub.noteToButtonMapFilePath();
    auto fileIdentity = [&] {
        struct stat status {};
        return ::stat(map.c_str(), &status) == 0 ? status.st_ino : ino_t(0);
    };
    const ino_t written = fileIdentity();
    ASSERT_NE(written, ino_t(0));

    // Panels switched, LEARN turned on and off without a note: nothing to write.
    tap(*run, screen.sequencerBtn());
    tap(*run, screen.inOutBtn());
    tap(*run, screen.midiLearnBtn());
    tap(*run, screen.midiLearnBtn());
    tap(*run, screen.sequencerBtn());
    EXPECT_EQ(fileIdentity(), written) << "the note map was written again unchanged";

    // A note learned on a full disk: told once, in words, and on the line.
    testing::fillDisk(temp_ / "disk" / "filler");
    tap(*run, screen.inOutBtn());
    tap(*run, screen.midiLearnBtn());
    tap(*run, screen.tapButton(4));
    hub.receiveNotesFrom("Keys", true);
    std::thread midiThread([&] {
        platform::ThreadRoleScope role(platform::ThreadRole::midiAction);
        hub.handleMidiMessage(midi::MidiMessage(std::make_shared<const std::string>("Keys"), 0x90, 42, 100));
    });
    midiThread.join();
    loop_.runPending();
    tap(*run, screen.midiLearnBtn());
    loop_.runPending();
    // (The settings, written at every switch, are told on their own.)
    std::string told;
    for (const auto& alert : run->alerts().shown)
        if (alert.message.contains("MIDI learn")) told += alert.message.toStdString();
    EXPECT_FALSE(told.empty());
    EXPECT_EQ(told.find("!!!"), std::string::npos) << told;
    EXPECT_NE(run->program().storageLine().find("MIDI note map"), std::string::npos) << run->program().storageLine();

    // Room again: the next time LEARN goes off the map is written, and the line goes.
    std::filesystem::remove(temp_ / "disk" / "filler");
    tap(*run, screen.midiLearnBtn());
    tap(*run, screen.midiLearnBtn());
    loop_.runPending();
    EXPECT_EQ(run->program().storageLine(), "");
    EXPECT_NE(fileIdentity(), written);
    const midi::NoteMapRead read = midi::readNoteToButtonMapFile(map);
    ASSERT_EQ(read.outcome, midi::NoteMapRead::Outcome::loaded);
    EXPECT_EQ(read.map.at(42), 4);
}

}  // namespace
}  // namespace strombel::app::scenario

// What a user is told when what they make cannot be kept: a read-only library
// and settings, a disk that is full at start or fills while they record. The
// disks are real: a read-only mount and a small tmpfs.

#include <sndfile.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "logging/log_core.h"
#include "midi/note_map_file.h"
#include "platform/audio_file.h"
#include "ui/editor/edit_sample_view_controller.h"
#include "program_test_support.h"
#include "support/recording_logger.h"
#include "support/test_mounts.h"

namespace strombel::app::scenario {
namespace {

class StorageProblemsTest : public ProgramTest {
protected:
    std::unique_ptr<ProgramRun> startAt(const std::filesystem::path& root) {
        return std::make_unique<ProgramRun>(root, clock_, loop_);
    }
    /// MIC-IN opens the editor, REC starts a take, and a tenth of a second of
    /// sound comes in.
    void startATake(ProgramRun& run) {
        run.screen().toggleSampleRecording();
        editor::EditSampleViewController* panel = run.screen().editSampleViewController();
        ASSERT_NE(panel, nullptr);
        panel->recordBtnPressed();
        ASSERT_TRUE(panel->isRecording());
        run.device().deliverInput(std::vector<int32_t>(4410, 1000 << 9));
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

TEST_F(StorageProblemsTest, ADamagedNoteMapIsToldAtStartAndTheUsersFileIsKept) {
    const std::string damaged = "{\"noteToButtonMap\": {\"36\": 0, ";
    const struct {
        const char* name;
        bool folderInItsPlace;  // else a note map cut short
        bool libraryDamagedToo;
        const char* told;
    } cases[] = {
        {"cut short", false, false, "The MIDI note map was damaged; it was set aside as "},
        {"a folder in its place", true, false, "could not be read"},
        {"with the library", false, true, "The MIDI note map was damaged; it was set aside as "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto root = temp_ / c.name;
        const auto map = root / "Documents" / midi::kNoteToButtonMapFileName;
        std::filesystem::create_directories(root / "Documents");
        if (c.folderInItsPlace) {
            std::filesystem::create_directories(map / "inside");
        } else {
            std::ofstream(map, std::ios::binary) << damaged;
        }
        if (c.libraryDamagedToo) std::ofstream(storeFile(root), std::ios::binary) << std::string(4096, '\x5a');
        auto run = startAt(root);
        ASSERT_EQ(run->program().launchProblems().size(), 1u) << "the stored data is told in one alert";
        const std::string told = run->program().launchProblems()[0];
        EXPECT_EQ(told.find("The sound library file was damaged") != std::string::npos, c.libraryDamagedToo) << told;
        EXPECT_NE(told.find(c.told), std::string::npos) << told;
        EXPECT_NE(told.find("usual MIDI notes"), std::string::npos) << told;
        ASSERT_EQ(run->alerts().shown.size(), 1u) << "told once the window shows";
        EXPECT_EQ(run->alerts().shown[0].message.toStdString(), told);
        if (c.folderInItsPlace) {
            EXPECT_TRUE(std::filesystem::is_directory(map / "inside")) << "kept as it is";
            continue;
        }
        // The user's file, byte for byte, where the alert says.
        const size_t at = told.find(" as ", told.find("note map")) + 4;
        const std::filesystem::path aside = told.substr(at, told.find(".\n", at) - at);
        std::ifstream kept(aside, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), damaged) << aside;
        EXPECT_EQ(run->program().midiHub()->noteToButtonMap(), midi::defaultNoteToButtonMap());
        run.reset();
        EXPECT_TRUE(startAt(root)->program().launchProblems().empty()) << "told once: the new map reads";
    }
}

TEST_F(StorageProblemsTest, ALibraryWithDamagedPagesIsToldInWordsAndItsCheckGoesToTheLog) {
    const auto root = temp_ / "root";
    startAt(root)->program().flush();
    // One page in the middle of the file overwritten, as a failing disk leaves it.
    const auto store = storeFile(root);
    const uintmax_t pages = std::filesystem::file_size(store) / 4096;
    ASSERT_GE(pages, 3u);
    {
        std::fstream file(store, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(std::streamoff(pages / 2 * 4096));
        file << std::string(4096, '\x5a');
    }
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    auto run = startAt(root);
    logging::Log::flushLog();
    logging::Log::removeLogger(logger);

    ASSERT_FALSE(run->program().launchProblems().empty());
    const std::string told = run->program().launchProblems()[0];
    EXPECT_EQ(told.rfind("The sound library file was damaged: parts of it could not be read.", 0), 0u) << told;
    for (const char* raw : {"***", "btree", "error code", "Page "})
        EXPECT_EQ(told.find(raw), std::string::npos) << "SQLite's words reach the user: " << told;
    const size_t at = told.find("set aside as ");
    ASSERT_NE(at, std::string::npos) << told;
    const std::string aside = told.substr(at + 13, told.find(" and a new library", at) - at - 13);
    EXPECT_TRUE(std::filesystem::exists(aside)) << aside;
    EXPECT_NE(told.find("carried over"), std::string::npos) << told;

    const auto lines = logger->lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("in database main") != std::string::npos;
    })) << "the integrity check's own words are for the log";
}

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

TEST_F(StorageProblemsTest, ATakeUnderWayWhenMicInClosesTheEditorIsKeptAndTheEditorStaysClosed) {
    auto run = startAt(temp_ / "root");
    ASSERT_NO_FATAL_FAILURE(startATake(*run));
    run->screen().toggleSampleRecording();
    EXPECT_EQ(run->screen().editSampleViewController(), nullptr);
    EXPECT_NE(run->program().library()->sampleWithFilepath("Documents/recording 01.wav"), nullptr)
        << "the take ends as REC would end it";
    // The take was opened as it was kept; the panel, closed after that, does not
    // come back when the pad screen shows again.
    EXPECT_FALSE(run->defaults().hasObject("SampleEditor-relativeSoundPath"));
    run->screen().viewWillAppear();
    EXPECT_EQ(run->screen().editSampleViewController(), nullptr);
}

TEST_F(StorageProblemsTest, ATakeUnderWayWhenTheProgramIsAskedToEndIsKeptAsARecording) {
    const auto root = temp_ / "root";
    {
        auto run = startAt(root);
        ASSERT_NO_FATAL_FAILURE(startATake(*run));
        run->program().flush();  // what SIGTERM (or closing the window) runs before the program goes
        EXPECT_NE(run->program().library()->sampleWithFilepath("Documents/recording 01.wav"), nullptr);
    }
    auto run = startAt(root);
    EXPECT_NE(run->program().library()->sampleWithFilepath("Documents/recording 01.wav"), nullptr);
    EXPECT_TRUE(run->program().launchProblems().empty()) << "kept at the end, nothing left to recover";
    EXPECT_FALSE(std::filesystem::exists(root / "Library" / "Caches" / engine::SoundBox::kSampleRecordFileName));
}

TEST_F(StorageProblemsTest, ATakeHalfWrittenByARunThatWasKilledIsKeptAtTheNextStartOnceThereIsRoom) {
    const auto root = temp_ / "disk" / "root";
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp_ / "disk", 8 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    // What a run killed while recording leaves: the take half-written beside its
    // name, its header still saying it holds nothing.
    const std::filesystem::path take = root / "Library" / "Caches" / engine::SoundBox::kSampleRecordFileName;
    const std::filesystem::path left = platform::WaveWriter::partialPathFor(take);
    std::filesystem::create_directories(take.parent_path());
    {
        const std::filesystem::path scratch = temp_ / "scratch" / "micinput.wav";
        std::filesystem::create_directories(scratch.parent_path());
        platform::WaveWriter writer;
        ASSERT_TRUE(writer.open(scratch, 1, 44100, 44100));
        const std::vector<int32_t> frames(22050, 1000 << 9);
        const int32_t* channels[1] = {frames.data()};
        ASSERT_TRUE(writer.write(channels, uint32_t(frames.size())));
        std::filesystem::copy_file(platform::WaveWriter::partialPathFor(scratch), left);
    }
    auto toldOfTheTake = [](ProgramRun& run) {
        for (const std::string& told : run.program().launchProblems())
            if (told.find("A recording under way when Strombel last ended") != std::string::npos) return told;
        return std::string();
    };

    // No room in the documents folder: told where the take is; it stays.
    testing::fillDisk(temp_ / "disk" / "filler");
    {
        auto run = startAt(root);
        const std::string told = toldOfTheTake(*run);
        EXPECT_NE(told.find("could not be kept ("), std::string::npos) << told;
        EXPECT_NE(told.find("It is still in " + left.string()), std::string::npos) << told;
    }
    EXPECT_TRUE(std::filesystem::exists(left)) << "never removed unkept";

    std::filesystem::remove(temp_ / "disk" / "filler");
    auto run = startAt(root);
    EXPECT_NE(toldOfTheTake(*run).find("was kept as 'recording 01'."), std::string::npos) << toldOfTheTake(*run);
    EXPECT_NE(run->program().library()->sampleWithFilepath("Documents/recording 01.wav"), nullptr);
    SF_INFO info{};
    SNDFILE* kept = sf_open((root / "Documents" / "recording 01.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(kept, nullptr);
    std::vector<short> samples(30000);
    EXPECT_EQ(sf_readf_short(kept, samples.data(), 30000), 22050) << "every frame the run wrote";
    sf_close(kept);
    EXPECT_EQ(samples[22049], 1000);
    EXPECT_FALSE(std::filesystem::exists(left));
    // Its header says so too, for any program that trusts it.
    std::ifstream bytes(root / "Documents" / "recording 01.wav", std::ios::binary);
    std::vector<uint8_t> header(44);
    bytes.read(reinterpret_cast<char*>(header.data()), 44);
    auto at = [&](size_t offset) {
        return uint32_t(header[offset]) | uint32_t(header[offset + 1]) << 8 | uint32_t(header[offset + 2]) << 16 |
               uint32_t(header[offset + 3]) << 24;
    };
    EXPECT_EQ(std::string(header.begin() + 36, header.begin() + 40), "data");
    EXPECT_EQ(at(40), 44100u) << "the sound's size";
    EXPECT_EQ(at(4), 44100u + 36) << "the file's size";
}

TEST_F(StorageProblemsTest, SettingsChangedWhileTheDiskIsFullAreToldAndWrittenOnceThereIsRoom) {
    const auto root = temp_ / "disk" / "root";
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp_ / "disk", 8 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    {
        auto run = startAt(root);
        ui::StrombelViewController& screen = run->screen();
        if (!screen.inOutBtn()->isPressedDown()) tap(*run, screen.inOutBtn());
        ASSERT_TRUE(run->alerts().shown.empty());

        testing::fillDisk(temp_ / "disk" / "filler");
        tap(*run, screen.sequencerBtn());  // the SEQ panel in place of I/O
        ASSERT_TRUE(screen.sequencerBtn()->isPressedDown());
        // The settings' writer has tried the file, and its word has reached the screen.
        run->defaults().synchronize();
        loop_.runPending();
        ASSERT_EQ(run->alerts().shown.size(), 1u) << "told during the session, as the library is";
        const std::string told = run->alerts().shown[0].message.toStdString();
        EXPECT_NE(told.find("cannot save its settings"), std::string::npos) << told;
        EXPECT_NE(told.find("saved as soon as saving works again"), std::string::npos) << told;
        EXPECT_NE(run->program().storageLine(), "");

        // Room again: the next change carries what waited.
        std::filesystem::remove(temp_ / "disk" / "filler");
        run->screen().sequencerControlPlusPressed();
        run->defaults().synchronize();
        loop_.runPending();
        EXPECT_EQ(run->program().storageLine(), "");
    }
    auto run = startAt(root);
    EXPECT_TRUE(run->alerts().shown.empty());
    EXPECT_TRUE(run->screen().sequencerBtn()->isPressedDown()) << "the SEQ panel comes back";
    EXPECT_FALSE(run->screen().inOutBtn()->isPressedDown());
}

TEST_F(StorageProblemsTest, SettingsRefusedByAFullDiskAreWrittenWhenTheLibrarySavesAgain) {
    const auto root = temp_ / "disk" / "root";
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp_ / "disk", 8 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    {
        auto run = startAt(root);
        testing::fillDisk(temp_ / "disk" / "filler");
        run->defaults().setInteger("BeatsPerMinute", 97);
        recordHit(*run);
        ASSERT_FALSE(run->program().storageLine().empty());
        std::filesystem::remove(temp_ / "disk" / "filler");
        recordHit(*run);  // the library saves again; no setting changes
        EXPECT_EQ(run->program().storageLine(), "");
    }
    platform::UserDefaults stored(settingsFile(root));
    EXPECT_EQ(stored.integerForKey("BeatsPerMinute"), 97);
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
    run->defaults().synchronize();  // the settings' writer has tried the file too
    loop_.runPending();
    EXPECT_EQ(run->program().storageLine(), "");
    EXPECT_NE(fileIdentity(), written);
    const midi::NoteMapRead read = midi::readNoteToButtonMapFile(map);
    ASSERT_EQ(read.outcome, midi::NoteMapRead::Outcome::loaded);
    EXPECT_EQ(read.map.at(42), 4);
}

}  // namespace
}  // namespace strombel::app::scenario

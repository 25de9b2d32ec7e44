#include <gtest/gtest.h>

#include <algorithm>

#include "library_world.h"
#include "support/recording_logger.h"
#include "support/test_mounts.h"

namespace strombel::library {
namespace {

using testing::LibraryWorld;
using testing::TempDir;

const std::vector<std::string> kPackIdsInImportOrder = {
    "groovekitpreview",  "tamboro-preview",   "ravellenights", "dunmarshtidewell",
    "calderwickshortvocals", "calderwickvocals", "calderwicksamples", "quenby"};

/// The pack ids in the order the packs were first stored.
std::vector<std::string> packIdsByCreation(SoundDataManager& library) {
    std::vector<std::string> ids;
    for (const auto& [row, pack] : library.managedObjectContext().soundpacks()) {
        if (pack->packId() != SoundDataManager::kUserSamplesPackId) ids.push_back(pack->packId());
    }
    return ids;
}

/// A copy of the stock bundle that a test may damage.
std::filesystem::path copyOfBundle(const TempDir& dir) {
    auto copy = dir / "Tumblecraft.app";
    std::filesystem::create_directories(copy);
    for (const auto& entry : std::filesystem::directory_iterator(testing::stockBundle())) {
        if (entry.path().extension() == ".pack") std::filesystem::copy_file(entry.path(), copy / entry.path().filename());
    }
    return copy;
}

TEST(DataMigration, FirstLaunchBringsEightPacksWhoseBanksFillEveryPad) {
    LibraryWorld world;
    SoundDataManager& library = world.launch();

    EXPECT_EQ(packIdsByCreation(library), kPackIdsInImportOrder);
    EXPECT_EQ(library.soundpacks().size(), 8u);
    auto banks = library.soundbanks();
    ASSERT_GE(banks.size(), 8u);
    for (uint64_t bank = 0; bank < banks.size(); ++bank) {
        EXPECT_NE(banks[bank]->name().rfind("Soundbank ", 0), 0u) << "no empty bank of our own on a first launch";
        auto paths = library.samplePathsOfSoundbank(bank);
        for (size_t pad = 0; pad < 12; ++pad) {
            ASSERT_FALSE(paths[pad].empty()) << banks[bank]->name() << " pad " << pad;
            EXPECT_TRUE(paths[pad].starts_with("Tumblecraft.app/"));
            EXPECT_TRUE(std::filesystem::is_regular_file(library.absolutePathOfSample(paths[pad]))) << paths[pad];
        }
    }
    for (const char* key : {DataMigrationManager::kStockSoundpacksImportedKey,
                            DataMigrationManager::kVersion20MigrationCompleteKey,
                            DataMigrationManager::kSampleFilepathsMadeRelativeKey}) {
        EXPECT_TRUE(world.defaults().boolForKey(key)) << key;
    }

    // The flags are on disk: a new settings object over the same file sees them.
    platform::UserDefaults reread(world.root() / "Library" / "Preferences" / "defaults.sqlite");
    EXPECT_TRUE(reread.boolForKey(DataMigrationManager::kVersion20MigrationCompleteKey));
}

TEST(DataMigration, ASecondLaunchChangesNothing) {
    LibraryWorld world;
    SoundDataManager& first = world.launch();
    const auto samples = first.samples().size();
    const auto banks = first.soundbanks().size();
    first.soundbanks()[0]->setName("My Favourite");
    first.saveSoundbanks();
    world.quit();

    SoundDataManager& second = world.launch();
    EXPECT_FALSE(second.storeWasCreatedFresh());
    EXPECT_EQ(second.samples().size(), samples);
    EXPECT_EQ(second.soundbanks().size(), banks);
    EXPECT_EQ(second.soundbanks()[0]->name(), "My Favourite");
    EXPECT_EQ(second.soundpacks().size(), 8u);
}

TEST(DataMigration, AStockPackTheUserRemovedStaysRemovedAndItsFilesStay) {
    LibraryWorld world;
    SoundDataManager& library = world.launch();
    auto packs = library.soundpacks();
    auto quenby = std::find_if(packs.begin(), packs.end(), [](const auto& p) { return p->packId() == "quenby"; });
    ASSERT_NE(quenby, packs.end());
    const auto banks = library.soundbanks().size();
    EXPECT_TRUE(library.removeSoundpackAtIndex(static_cast<uint64_t>(quenby - packs.begin())));
    EXPECT_EQ(library.soundpacks().size(), 7u);
    EXPECT_EQ(library.sampleWithFilepath("Tumblecraft.app/qb_kick.wav"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(world.bundle() / "qb_kick.wav"));
    // Its bank stays, with its pads empty.
    EXPECT_EQ(library.soundbanks().size(), banks);
    world.quit();

    SoundDataManager& again = world.launch();
    EXPECT_EQ(again.soundpacks().size(), 7u);
    EXPECT_FALSE(again.soundpackWithIdExists("quenby"));
}

TEST(DataMigration, LostSettingsBringBackNoPackTheUserRemoved) {
    LibraryWorld world;
    SoundDataManager& library = world.launch();
    for (const char* id : {"ravellenights", "quenby"}) {
        auto packs = library.soundpacks();
        auto pack = std::find_if(packs.begin(), packs.end(), [id](const auto& p) { return p->packId() == id; });
        ASSERT_NE(pack, packs.end()) << id;
        ASSERT_TRUE(library.removeSoundpackAtIndex(static_cast<uint64_t>(pack - packs.begin()))) << id;
    }
    const size_t banks = library.soundbanks().size();
    world.quit();
    // The settings file is lost (or damaged and started anew): no flag is left.
    for (const char* key : {DataMigrationManager::kStockSoundpacksImportedKey,
                            DataMigrationManager::kVersion20MigrationCompleteKey,
                            DataMigrationManager::kSampleFilepathsMadeRelativeKey}) {
        world.defaults().removeObject(key);
    }

    SoundDataManager& again = world.launch();
    EXPECT_EQ(again.soundpacks().size(), 6u);
    EXPECT_FALSE(again.soundpackWithIdExists("ravellenights"));
    EXPECT_FALSE(again.soundpackWithIdExists("quenby"));
    EXPECT_EQ(again.soundbanks().size(), banks);
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
}

TEST(DataMigration, StockPacksThatCouldNotBeSavedAreImportedOnceTheDiskHasRoom) {
    LibraryWorld world;
    std::string why;
    auto disk = testing::TestMount::tmpfs(world.documents(), 1024 * 1024, why);
    if (!disk) GTEST_SKIP() << "cannot mount a small disk: " << why;
    // A nearly full disk: 96 KiB left for the library.
    const std::filesystem::path filler = world.documents() / "filler.bin";
    const size_t written = testing::fillDisk(filler);
    ASSERT_GT(written, 96u * 1024);
    std::filesystem::resize_file(filler, written - 96 * 1024);

    SoundDataManager& first = world.launch();
    EXPECT_FALSE(first.writeProblem().empty()) << "the packs did not fit";
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kVersion20MigrationCompleteKey));
    world.quit();

    // The user frees space as told, and starts again.
    std::filesystem::remove(filler);
    SoundDataManager& library = world.launch();
    EXPECT_EQ(library.soundpacks().size(), 8u);
    for (const std::string& id : kPackIdsInImportOrder) EXPECT_TRUE(library.soundpackWithIdExists(id)) << id;
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kVersion20MigrationCompleteKey));
    world.quit();
}

TEST(DataMigration, WithoutAStoreFileTheStockSoundsPlayFromMemory) {
    LibraryWorld world;
    world.launch();
    world.quit();  // an earlier start imported the packs and set the flags
    // The store file cannot be opened nor made: a folder stands where it belongs.
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(world.storeFile().string() + suffix);
    std::filesystem::create_directories(world.storeFile());

    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    SoundDataManager& library = world.launch();
    logging::Log::flushLog();
    const std::vector<std::string> lines = logger->lines();
    logging::testing::resetLogging();

    EXPECT_EQ(library.persistentStore(), nullptr);
    EXPECT_EQ(library.soundpacks().size(), 8u) << "the start says the stock sounds play from memory";
    auto pads = library.samplePathsOfSoundbank(0);
    EXPECT_TRUE(std::all_of(pads.begin(), pads.end(), [](const std::string& path) { return !path.empty(); }));
    auto logged = [&lines](const char* text) {
        return std::count_if(lines.begin(), lines.end(),
                             [text](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_EQ(logged("could not create data store"), 1);
    // The object context is made all the same (in memory): no coordinator failed.
    EXPECT_EQ(logged("can't create core data (coordinator)"), 0);
}

TEST(DataMigration, AStartWithoutAStoreSetsNoFlagSoTheNextStartStillImportsTheStockPacks) {
    LibraryWorld world;
    world.launch(false);  // a store made, holding no sample yet
    world.quit();
    const std::filesystem::path aside = world.dir() / "aside";
    std::filesystem::create_directories(aside);
    auto move = [](const std::filesystem::path& from, const std::filesystem::path& folder, bool back) {
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const std::filesystem::path stored = from.string() + suffix;
            const std::filesystem::path kept = folder / stored.filename();
            if (std::filesystem::exists(back ? kept : stored)) std::filesystem::rename(back ? kept : stored, back ? stored : kept);
        }
    };
    // This start the store cannot be used (a folder stands in its place): the
    // packs play from memory, and nothing of them is done for good.
    move(world.storeFile(), aside, false);
    std::filesystem::create_directories(world.storeFile());
    SoundDataManager& inMemory = world.launch();
    ASSERT_EQ(inMemory.persistentStore(), nullptr);
    EXPECT_EQ(inMemory.soundpacks().size(), 8u);
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kVersion20MigrationCompleteKey));
    world.quit();

    // The next start finds its store again: not new, and still without the packs.
    std::filesystem::remove(world.storeFile());
    move(world.storeFile(), aside, true);
    SoundDataManager& library = world.launch();
    ASSERT_NE(library.persistentStore(), nullptr);
    EXPECT_FALSE(library.storeWasCreatedFresh());
    EXPECT_EQ(packIdsByCreation(library), kPackIdsInImportOrder);
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
}

TEST(DataMigration, AnOldLibraryWithUserSamplesOnlyGetsNoPreviewPacks) {
    LibraryWorld world;
    world.dropFile("mine.wav");
    SoundDataManager& before = world.launch(false);
    before.notifyOfNewUserSample("Documents/mine.wav");
    world.defaults().setBool(DataMigrationManager::kVersion20MigrationCompleteKey, true);
    world.quit();

    SoundDataManager& library = world.launch();
    EXPECT_TRUE(packIdsByCreation(library).empty());
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
    ASSERT_EQ(library.soundbanks().size(), 1u);
    EXPECT_EQ(library.soundbanks()[0]->name(), "Soundbank 1");
}

TEST(DataMigration, AFormerPackAlreadyThereIsNotImportedAgain) {
    LibraryWorld world;
    SoundDataManager& before = world.launch(false);
    ASSERT_TRUE(before.addSoundpackFromJson(
        R"json({"id": "quenby", "name": "Quenby (store)", "banks": [{"name": "Q", "sounds": [{"file": "q.wav"}]}]})json")
                    .ok());
    world.quit();

    SoundDataManager& library = world.launch();
    auto ids = packIdsByCreation(library);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), "quenby"), 1);
    // The library was not empty, so no preview pack; the other four former packs.
    EXPECT_EQ(ids, (std::vector<std::string>{"quenby", "dunmarshtidewell", "calderwickshortvocals", "calderwickvocals",
                                             "calderwicksamples"}));
    EXPECT_EQ(library.sampleWithFilepath("Tumblecraft.app/qb_kick.wav"), nullptr);
}

TEST(DataMigration, AnUnreadableStockPackIsTriedAgainAtTheNextLaunch) {
    TempDir bundleDir;
    auto bundle = copyOfBundle(bundleDir);
    auto saved = bundleDir / "saved.pack";
    std::filesystem::rename(bundle / "TM-Preview.pack", saved);
    std::filesystem::rename(bundle / "Quenby.pack", bundleDir / "saved-quenby.pack");

    LibraryWorld world(bundle);
    world.launch();
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kVersion20MigrationCompleteKey));
    EXPECT_EQ(world.library().soundpacks().size(), 6u);
    world.quit();

    std::filesystem::rename(saved, bundle / "TM-Preview.pack");
    std::filesystem::rename(bundleDir / "saved-quenby.pack", bundle / "Quenby.pack");
    SoundDataManager& library = world.launch();
    EXPECT_EQ(library.soundpacks().size(), 8u);
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kStockSoundpacksImportedKey));
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kVersion20MigrationCompleteKey));
}

TEST(DataMigration, OldAbsolutePathsBecomeRelative) {
    struct Case {
        std::string stored, expected;
    };
    const std::vector<Case> cases = {
        {"/var/mobile/Applications/1234-ABCD/Tumblecraft.app/kick.wav", "Tumblecraft.app/kick.wav"},
        {"/var/mobile/Applications/1234-ABCD/Documents/loop.wav", "Documents/loop.wav"},
        {"/var/mobile/Applications/1234-ABCD/Library/Caches/downloads/pad.wav", "Library/Caches/downloads/pad.wav"},
        {"/var/mobile/Applications/MyDocuments/Tumblecraft.app/a.wav", "Tumblecraft.app/a.wav"},
        {"/var/mobile/Applications/1234/Elsewhere/b.wav", "/var/mobile/Applications/1234/Elsewhere/b.wav"},
        {"/home/someone/Documents/c.wav", "/home/someone/Documents/c.wav"},
    };
    LibraryWorld world;
    SoundDataManager& before = world.launch(false);
    auto pack = before.userSamplesSoundpack();
    for (const Case& c : cases) {
        auto sample = before.managedObjectContext().insertSample();
        sample->setFilepath(c.stored);
        sample->setName(c.stored);
        sample->setSoundpack(pack);
    }
    before.save();
    world.defaults().setBool(DataMigrationManager::kStockSoundpacksImportedKey, true);
    world.defaults().setBool(DataMigrationManager::kVersion20MigrationCompleteKey, true);
    world.quit();

    SoundDataManager& library = world.launch();
    for (const Case& c : cases) {
        bool found = false;
        for (const auto& sample : library.samples()) found |= sample->name() == c.stored && sample->filepath() == c.expected;
        EXPECT_TRUE(found) << c.stored << " should become " << c.expected;
    }
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kSampleFilepathsMadeRelativeKey));
}

TEST(DataMigration, PathsWhoseConversionCouldNotBeSavedAreConvertedAtTheNextStart) {
    LibraryWorld world;
    std::string why;
    auto disk = testing::TestMount::tmpfs(world.documents(), 1024 * 1024, why);
    if (!disk) GTEST_SKIP() << "cannot mount a small disk: " << why;
    SoundDataManager& before = world.launch(false);
    for (int i = 0; i < 200; ++i) {
        auto sample = before.managedObjectContext().insertSample();
        sample->setFilepath("/var/mobile/Applications/1234-ABCD/Documents/loop" + std::to_string(i) + ".wav");
        sample->setName("loop" + std::to_string(i));
        sample->setSoundpack(before.userSamplesSoundpack());
    }
    ASSERT_TRUE(before.save());
    world.defaults().setBool(DataMigrationManager::kStockSoundpacksImportedKey, true);
    world.defaults().setBool(DataMigrationManager::kVersion20MigrationCompleteKey, true);
    world.quit();
    auto relativePaths = [](SoundDataManager& library) {
        const auto samples = library.samples();
        return std::count_if(samples.begin(), samples.end(),
                             [](const auto& sample) { return sample->filepath().starts_with("Documents/loop"); });
    };

    // The store's disk is full; the settings lie on another.
    const std::filesystem::path filler = world.documents() / "filler.bin";
    testing::fillDisk(filler);
    SoundDataManager& full = world.launch();
    EXPECT_FALSE(full.writeProblem().empty());
    EXPECT_EQ(relativePaths(full), 200) << "converted in memory for this run";
    EXPECT_FALSE(world.defaults().boolForKey(DataMigrationManager::kSampleFilepathsMadeRelativeKey));
    world.quit();

    std::filesystem::remove(filler);
    SoundDataManager& library = world.launch();
    EXPECT_EQ(relativePaths(library), 200);
    EXPECT_TRUE(world.defaults().boolForKey(DataMigrationManager::kSampleFilepathsMadeRelativeKey));
    world.quit();
    EXPECT_EQ(relativePaths(world.launch(false)), 200) << "on disk";
}

TEST(DataMigration, ADamagedStoreIsRecoveredWithTheUsersFilesAndPacksBack) {
    LibraryWorld world;
    const std::string recording = testing::fileBytes(world.dropFile("my-recording.wav"));
    SoundDataManager& first = world.launch();
    world.wait(5.0);
    ASSERT_EQ(first.userSamples().size(), 1u);
    world.quit();

    // Something scribbles over the store's header.
    {
        std::fstream file(world.storeFile(), std::ios::in | std::ios::out | std::ios::binary);
        file.write("this is not a database at all!!", 31);
    }

    SoundDataManager& library = world.launch();
    EXPECT_TRUE(library.storeWasCreatedFresh());
    ASSERT_NE(library.persistentStore(), nullptr);
    const auto aside = library.persistentStore()->setAsidePath();
    ASSERT_FALSE(aside.empty());
    EXPECT_TRUE(std::filesystem::exists(aside));
    // The eight stock packs are back at once; the user's recording at the next scan.
    EXPECT_EQ(library.soundpacks().size(), 8u);
    world.wait(5.0);
    ASSERT_EQ(library.userSamples().size(), 1u);
    EXPECT_EQ(library.userSamples()[0]->filepath(), "Documents/my-recording.wav");
    EXPECT_EQ(testing::fileBytes(world.documents() / "my-recording.wav"), recording);
    EXPECT_EQ(library.soundpacks().size(), 9u);
}

}  // namespace
}  // namespace strombel::library

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <thread>

#include "library_world.h"
#include "support/test_mounts.h"

namespace strombel::library {
namespace {

using testing::LibraryWorld;
using testing::RecordingObserver;

/// A library with three user samples (a.wav, b.wav, c.wav) and one empty bank.
class Library : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.wav", "b.wav", "c.wav"}) world.dropFile(name);
        library = &world.launch(false);
        library->makeSureAtLeastOneSoundbankExists();
        for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
            library->notifyOfNewUserSample(std::string("Documents/") + name);
        }
        a = library->sampleWithFilepath("Documents/a.wav");
        b = library->sampleWithFilepath("Documents/b.wav");
        c = library->sampleWithFilepath("Documents/c.wav");
        ASSERT_TRUE(a && b && c);
        library->addDelegate(&observer);
    }

    LibraryWorld world;
    SoundDataManager* library = nullptr;
    std::shared_ptr<Sample> a, b, c;
    RecordingObserver observer;
};

TEST_F(Library, APadTakesASampleOnceAndOnlyPadsZeroToEleven) {
    EXPECT_TRUE(library->setSample(a, 0, 0));
    EXPECT_FALSE(library->setSample(a, 0, 5));  // already on this bank
    EXPECT_TRUE(library->setSample(a, 0, 5, true, false));
    EXPECT_FALSE(library->setSample(b, 0, 12));
    EXPECT_TRUE(library->setSample(b, 0, 11));
    EXPECT_FALSE(library->setSample(b, 1, 0));  // no second bank
    auto paths = library->samplePathsOfSoundbank(0);
    EXPECT_EQ(paths[0], "Documents/a.wav");
    EXPECT_EQ(paths[5], "Documents/a.wav");
    EXPECT_EQ(paths[11], "Documents/b.wav");
    EXPECT_EQ(paths[1], "");
    EXPECT_EQ(observer.soundbanksChangedCount, 3);

    // Replacing a pad keeps one assignment per pad.
    EXPECT_TRUE(library->setSample(c, 0, 0));
    EXPECT_EQ(library->soundbankSamplesOfSoundbank(0).size(), 3u);
    EXPECT_EQ(library->sampleForSoundbank(0, 0)->filepath(), "Documents/c.wav");
}

TEST_F(Library, SwitchingPadsMovesSamplesAndAnEmptyPadStaysEmpty) {
    library->setSample(a, 0, 0);
    library->setSample(b, 0, 1);
    EXPECT_TRUE(library->switchSamplesInSoundbank(0, 0, 1));
    EXPECT_EQ(library->sampleForSoundbank(0, 0), b);
    EXPECT_EQ(library->sampleForSoundbank(0, 1), a);
    EXPECT_TRUE(library->switchSamplesInSoundbank(0, 1, 7));
    EXPECT_EQ(library->sampleForSoundbank(0, 1), nullptr);
    EXPECT_EQ(library->sampleForSoundbank(0, 7), a);
    // A pad that does not exist loses nothing.
    EXPECT_FALSE(library->switchSamplesInSoundbank(0, 7, 12));
    EXPECT_EQ(library->sampleForSoundbank(0, 7), a);
    EXPECT_TRUE(library->removeSampleFromSoundbank(0, 7));
    EXPECT_FALSE(library->removeSampleFromSoundbank(0, 7));
}

TEST_F(Library, BanksAreCreatedMovedAndRemovedInOrder) {
    library->createNewSoundbank();
    library->createNewSoundbank();
    library->saveSoundbanks();
    auto banks = library->soundbanks();
    ASSERT_EQ(banks.size(), 3u);
    EXPECT_EQ(banks[2]->name(), "Soundbank 3");
    auto first = banks[0];
    EXPECT_TRUE(library->moveSoundbankFromIndex(0, 2));
    banks = library->soundbanks();
    EXPECT_EQ(banks[2], first);
    for (int64_t i = 0; i < 3; ++i) EXPECT_EQ(banks[static_cast<size_t>(i)]->orderId(), i);
    EXPECT_FALSE(library->moveSoundbankFromIndex(0, 3));

    EXPECT_TRUE(library->removeSoundbankAtIndex(0));
    EXPECT_TRUE(library->removeSoundbankAtIndex(0));
    EXPECT_TRUE(library->removeSoundbankAtIndex(0));
    // The last one gone, a new one stands in.
    banks = library->soundbanks();
    ASSERT_EQ(banks.size(), 1u);
    EXPECT_EQ(banks[0]->orderId(), 1);
    EXPECT_EQ(banks[0]->name(), "Soundbank 1");
    EXPECT_FALSE(library->removeSoundbankAtIndex(1));
}

TEST_F(Library, ABankLookedUpByPositionIsTheOneTheOrderedListHoldsThereEvenAmongEqualOrders) {
    // Order ids as a damaged or merged library may have them: repeated, out of row order.
    for (int i = 0; i < 6; ++i) library->createNewSoundbank();
    const int64_t orders[] = {4, 1, 1, 3, 1, 0, 3};
    auto banks = library->soundbanks();
    ASSERT_EQ(banks.size(), std::size(orders));
    for (size_t i = 0; i < banks.size(); ++i) banks[i]->setOrderId(orders[i]);
    banks = library->soundbanks();
    ASSERT_EQ(library->soundbankCount(), banks.size());
    for (size_t i = 0; i < banks.size(); ++i) {
        EXPECT_EQ(library->soundbankAtIndex(i), banks[i]) << "position " << i;
        if (i > 0 && banks[i]->orderId() == banks[i - 1]->orderId()) {
            EXPECT_LT(banks[i - 1]->rowId(), banks[i]->rowId()) << "equal orders keep the order they were made in";
        }
    }
    EXPECT_EQ(library->soundbankAtIndex(banks.size()), nullptr);
    // A pad's sample is found the same by position and by the bank at hand.
    ASSERT_TRUE(library->setSample(a, 3, 5));
    EXPECT_EQ(library->sampleForSoundbank(3, 5), a);
    auto onPad = SoundDataManager::soundbankSampleOnPad(*banks[3], 5);
    ASSERT_NE(onPad, nullptr);
    EXPECT_EQ(onPad->sample(), a);
    EXPECT_EQ(SoundDataManager::soundbankSampleOnPad(*banks[3], 6), nullptr);
}

TEST_F(Library, RemovingASampleDeletesItsFileAndClearsItsPads) {
    library->setSample(a, 0, 2);
    observer.soundbanksChangedCount = 0;
    EXPECT_TRUE(library->removeSampleWithFilePath("Documents/a.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "a.wav"));
    EXPECT_EQ(observer.removed, (std::vector<std::string>{"Documents/a.wav"}));
    EXPECT_EQ(library->samplePathsOfSoundbank(0)[2], "");
    EXPECT_EQ(observer.soundbanksChangedCount, 1);
    EXPECT_EQ(library->userSamples().size(), 2u);
    EXPECT_FALSE(library->removeSampleWithFilePath("Documents/a.wav"));

    // The user pack stays when its last sample goes.
    EXPECT_TRUE(library->removeSample(b, true));
    EXPECT_TRUE(library->removeSample(c, true));
    EXPECT_NE(library->userSamplesSoundpack(), nullptr);
}

TEST_F(Library, RemovingAUserSampleMovesItsFileToTheTrashBesideWhatIsThere) {
    world.dropFile("recording 01.wav");
    ASSERT_TRUE(library->notifyOfNewUserSample("Documents/recording 01.wav"));
    const std::filesystem::path trash = world.sandbox().trash();
    // The trash already holds a file of that name, from another program.
    std::filesystem::create_directories(trash / "files");
    std::filesystem::create_directories(trash / "info");
    std::ofstream(trash / "files" / "recording 01.wav") << "older";
    std::ofstream(trash / "info" / "recording 01.wav.trashinfo") << "[Trash Info]\n";
    const std::string bytes = testing::fileBytes(world.documents() / "recording 01.wav");

    EXPECT_TRUE(library->removeSampleWithFilePath("Documents/recording 01.wav"));
    EXPECT_EQ(library->sampleWithFilepath("Documents/recording 01.wav"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "recording 01.wav"));
    EXPECT_EQ(testing::fileBytes(trash / "files" / "recording 01.2.wav"), bytes);
    EXPECT_EQ(testing::fileBytes(trash / "files" / "recording 01.wav"), "older");
    const std::string info = testing::fileBytes(trash / "info" / "recording 01.2.wav.trashinfo");
    const std::string where = (world.documents() / "recording").string() + "%2001.wav";
    EXPECT_TRUE(std::regex_match(info, std::regex("\\[Trash Info\\]\nPath=(.*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT"
                                                  "\\d\\d:\\d\\d:\\d\\d\n")))
        << info;
    EXPECT_NE(info.find("Path=" + where + "\n"), std::string::npos) << info;
}

TEST_F(Library, AUserSampleWhoseFileCannotGoToTheTrashIsKeptAndSaysWhy) {
    // Something that is no folder stands where the trash would be made.
    const std::filesystem::path trash = world.sandbox().trash();
    std::ofstream(trash) << "not a folder";
    const std::string bytes = testing::fileBytes(world.documents() / "a.wav");
    EXPECT_FALSE(library->removeSampleWithFilePath("Documents/a.wav"));
    EXPECT_NE(library->sampleWithFilepath("Documents/a.wav"), nullptr);
    EXPECT_EQ(testing::fileBytes(world.documents() / "a.wav"), bytes);
    EXPECT_NE(library->removalProblem().find("'a' could not be moved to the trash"), std::string::npos)
        << library->removalProblem();
    EXPECT_NE(library->removalProblem().find("The file is kept."), std::string::npos);
    EXPECT_TRUE(observer.removed.empty());
}

TEST_F(Library, ATrashOnAnotherFileSystemLeavesTheFileWhereItIs) {
    std::string why;
    auto elsewhere = testing::TestMount::tmpfs(world.sandbox().trash(), 1 << 20, why);
    if (!elsewhere) GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    EXPECT_FALSE(library->removeSampleWithFilePath("Documents/b.wav"));
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "b.wav"));
    EXPECT_NE(library->removalProblem().find("another file system"), std::string::npos) << library->removalProblem();
    EXPECT_TRUE(std::filesystem::is_empty(world.sandbox().trash() / "info")) << "no information left behind";
}

TEST_F(Library, RemovingASampleWhoseFileIsAlreadyGoneSucceeds) {
    std::filesystem::remove(world.documents() / "b.wav");
    EXPECT_TRUE(library->removeSample(b, true));
    EXPECT_EQ(library->sampleWithFilepath("Documents/b.wav"), nullptr);
}

TEST_F(Library, AFileThatCannotBeDeletedKeepsItsSample) {
    // Something else now stands at the sample's path: a folder with a file in it.
    std::filesystem::remove(world.documents() / "c.wav");
    std::filesystem::create_directories(world.documents() / "c.wav");
    std::ofstream(world.documents() / "c.wav" / "inside.txt") << "x";
    EXPECT_FALSE(library->removeSample(c, true));
    EXPECT_NE(library->sampleWithFilepath("Documents/c.wav"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "c.wav" / "inside.txt"));
    EXPECT_TRUE(observer.removed.empty());
}

TEST_F(Library, RemovalNeverDeletesFilesOfTheBundleOrOutsideTheLibrarysFolders) {
    const auto outside = world.dir() / "precious.wav";
    std::ofstream(outside) << "keep";
    std::filesystem::create_directories(world.root() / "My.app.backup");
    std::ofstream(world.root() / "My.app.backup" / "x.wav") << "keep";
    std::filesystem::create_directories(world.root() / "Library" / "Preferences");
    auto pack = library->userSamplesSoundpack();
    auto add = [&](const std::string& path) {
        auto sample = library->managedObjectContext().insertSample();
        sample->setFilepath(path);
        sample->setName(path);
        sample->setSoundpack(pack);
        return sample;
    };
    auto bundled = add("Tumblecraft.app/gk_kick.wav");
    auto escaping = add("Documents/../../precious.wav");
    auto absolute = add(outside.string());
    auto settings = add("Library/Preferences/defaults.sqlite");
    auto containsApp = add("Documents/My.app.backup.wav");
    std::ofstream(world.documents() / "My.app.backup.wav") << "x";

    for (const auto& sample : {bundled, escaping, absolute, settings}) EXPECT_TRUE(library->removeSample(sample, true));
    EXPECT_TRUE(std::filesystem::exists(world.bundle() / "gk_kick.wav"));
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists(world.root() / "Library" / "Preferences" / "defaults.sqlite"));
    // ".app" inside a name does not make a file part of the bundle.
    EXPECT_TRUE(library->removeSample(containsApp, true));
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "My.app.backup.wav"));
}

TEST_F(Library, RemovalDoesNotFollowALinkOutOfTheDocumentsFolder) {
    const auto outside = world.dir() / "elsewhere";
    std::filesystem::create_directories(outside);
    std::ofstream(outside / "keep.wav") << "keep";
    std::filesystem::create_directory_symlink(outside, world.documents() / "linked");
    auto sample = library->managedObjectContext().insertSample();
    sample->setFilepath("Documents/linked/keep.wav");
    sample->setName("keep");
    sample->setSoundpack(library->userSamplesSoundpack());
    EXPECT_TRUE(library->removeSample(sample, true));
    EXPECT_TRUE(std::filesystem::exists(outside / "keep.wav"));
}

// The file takes the name as typed, spaces and signs included, not only its
// letters and digits: the user finds it in the documents folder by that name.
TEST_F(Library, RenamingAUserSampleKeepsTheTypedNameInItsFileNotOnlyItsLettersAndDigits) {
    library->setSample(a, 0, 4);
    observer.soundbanksChangedCount = 0;
    auto renamed = library->renameUserSampleWithPath("Documents/a.wav", "My Loop #2");
    ASSERT_TRUE(renamed.has_value());
    EXPECT_EQ(library->samplePathsOfSoundbank(0)[4], "Documents/My Loop #2.wav");
    EXPECT_EQ(observer.soundbanksChangedCount, 1);
    EXPECT_EQ(*renamed, "Documents/My Loop #2.wav");
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "My Loop #2.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "a.wav"));
    EXPECT_EQ(a->name(), "My Loop #2");
    EXPECT_EQ(a->filepath(), "Documents/My Loop #2.wav");
    // b, c, My Loop #2 by upper-cased name.
    EXPECT_EQ(b->packOrderId(), 0);
    EXPECT_EQ(c->packOrderId(), 1);
    EXPECT_EQ(a->packOrderId(), 2);

    // The next scan sees nothing new.
    world.wait(5.0);
    EXPECT_EQ(library->userSamples().size(), 3u);
    EXPECT_TRUE(observer.removed.empty());
}

TEST_F(Library, RenameRefusesEmptyNamesAndNeverOverwrites) {
    EXPECT_FALSE(library->renameUserSampleWithPath("Documents/a.wav", " #!? ").has_value());
    EXPECT_FALSE(library->renameUserSampleWithPath("Documents/a.wav", "").has_value());
    // "taken.wav" is another sample's file (it was named otherwise).
    world.dropFile("taken.wav");
    auto other = library->managedObjectContext().insertSample();
    other->setFilepath("Documents/taken.wav");
    other->setName("Something Else");
    other->setSoundpack(library->userSamplesSoundpack());
    EXPECT_FALSE(library->renameUserSampleWithPath("Documents/a.wav", "taken").has_value());
    EXPECT_EQ(library->renameProblem(), "'taken' cannot be used as a name: the file taken.wav is another sample's");
    // A file that is no sample is not replaced either.
    world.dropFile("keep.wav", "precious");
    library->removeDelegate(&observer);
    EXPECT_FALSE(library->renameUserSampleWithPath("Documents/a.wav", "keep").has_value());
    EXPECT_EQ(library->renameProblem(),
              "'keep' cannot be used as a name: a file keep.wav is in the documents folder already");
    std::ifstream kept(world.documents() / "keep.wav");
    std::string bytes;
    kept >> bytes;
    EXPECT_EQ(bytes, "precious");
    EXPECT_EQ(a->filepath(), "Documents/a.wav");
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "a.wav"));
    EXPECT_FALSE(library->renameUserSampleWithIdx(library->userSamples().size(), "x").has_value());
    // Letters of other scripts stay, and so do the spaces.
    auto renamed = library->renameUserSampleWithPath("Documents/a.wav", "Ça va ße");
    ASSERT_TRUE(renamed.has_value());
    EXPECT_EQ(*renamed, "Documents/Ça va ße.wav");
}

TEST_F(Library, ARenameToANameAnotherSampleShowsOrThatClimbsOutIsRefusedWithAReason) {
    world.dropFile("first.wav");
    world.dropFile("second.wav");
    ASSERT_TRUE(library->notifyOfNewUserSample("Documents/first.wav"));
    ASSERT_TRUE(library->notifyOfNewUserSample("Documents/second.wav"));
    const struct {
        const char* name;
        const char* reason;  // empty: the name is fine
    } cases[] = {
        {"second", "'second' cannot be used as a name: another sample is shown as 'SECOND'"},
        {"SECOND", "'SECOND' cannot be used as a name: another sample is shown as 'SECOND'"},
        {"../../evil", "'../../evil' cannot be used as a name: it may not contain '/' or be '.' or '..'"},
        {"..", "'..' cannot be used as a name: it may not contain '/' or be '.' or '..'"},
        {" #!? ", "' #!? ' cannot be used as a name: it has no letters or digits"},
        {".hidden", "'.hidden' cannot be used as a name: a file name beginning with '.' is hidden"},
        {"First", ""},  // its own name, in another case
        {"second take", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(library->userSampleNameProblem("Documents/first.wav", c.name), c.reason) << c.name;
        if (!*c.reason) continue;
        EXPECT_FALSE(library->renameUserSampleWithPath("Documents/first.wav", c.name)) << c.name;
        EXPECT_EQ(library->renameProblem(), c.reason) << "the reason the user is told";
    }
    // Nothing moved on the disk: no SECOND.wav beside second.wav, nothing outside.
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "first.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "SECOND.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "evil.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.root().parent_path() / "evil.wav"));
    EXPECT_EQ(library->sampleWithFilepath("Documents/first.wav")->name(), "first");
}

TEST_F(Library, ANameShownInTheSameCapitalsAsAnotherBeyondAsciiIsRefusedToo) {
    // The screens print names in capitals of every script: "Straße" shows as
    // "STRASSE", "ärger" as "ÄRGER".
    for (const char* file : {"Straßenmusik Großstadt.wav", "ärger.wav", "café.wav", "take.wav"}) {
        world.dropFile(file);
        ASSERT_TRUE(library->notifyOfNewUserSample(std::string("Documents/") + file)) << file;
    }
    const struct {
        const char* name;
        const char* shown;  // empty: the name is fine
    } cases[] = {
        {"STRASSENMUSIK GROSSSTADT", "STRASSENMUSIK GROSSSTADT"},
        {"Strassenmusik Großstadt", "STRASSENMUSIK GROSSSTADT"},
        {"Ärger", "ÄRGER"},
        {"CAFÉ", "CAFÉ"},
        {"Straßenmusik", ""},
        {"arger", ""},
        {"cafe", ""},
    };
    for (const auto& c : cases) {
        const std::string reason =
            *c.shown ? "'" + std::string(c.name) + "' cannot be used as a name: another sample is shown as '" + c.shown + "'"
                     : std::string();
        EXPECT_EQ(library->userSampleNameProblem("Documents/take.wav", c.name), reason) << c.name;
        const std::optional<std::string> renamed = library->renameUserSampleWithPath("Documents/take.wav", c.name);
        EXPECT_EQ(renamed.has_value(), !*c.shown) << c.name;
        if (renamed) {
            ASSERT_TRUE(library->renameUserSampleWithPath(*renamed, "take"));
        }
    }
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "take.wav"));
    EXPECT_FALSE(std::filesystem::exists(world.documents() / "STRASSENMUSIK GROSSSTADT.wav"));
}

TEST_F(Library, ObserversHearMessagesInOrderAndMayLeaveWhileTold) {
    struct Leaver : SoundDataManagerDelegate {
        SoundDataManager* library = nullptr;
        SoundDataManagerDelegate* other = nullptr;
        int told = 0;
        void samplesChanged() override {
            ++told;
            library->removeDelegate(this);
            library->removeDelegate(other);
        }
    };
    library->removeDelegate(&observer);
    Leaver leaver;
    RecordingObserver later;
    leaver.library = library;
    leaver.other = &later;
    library->addDelegate(&leaver);
    library->addDelegate(&leaver);  // once only
    library->addDelegate(&later);
    library->saveSamples();
    library->saveSamples();
    EXPECT_EQ(leaver.told, 1);
    EXPECT_EQ(later.samplesChangedCount, 0);
    {
        RecordingObserver shortLived;
        library->addDelegate(&shortLived);
    }
    library->saveSamples();  // the destroyed observer left by itself
}

TEST_F(Library, MessagesFromAnotherThreadArriveOnTheMainLoop) {
    std::thread other([&] {
        library->informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    });
    other.join();
    EXPECT_EQ(observer.soundbanksChangedCount, 0);
    world.loop().runPending();
    EXPECT_EQ(observer.soundbanksChangedCount, 1);

    // A message still on its way when the library goes is dropped.
    std::thread late([&] {
        library->informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    });
    late.join();
    world.quit();
    EXPECT_EQ(observer.soundbanksChangedCount, 1);
}

TEST_F(Library, PatternsAndEventsAreStoredAndCopied) {
    auto pattern = library->patternForIdx(3);
    EXPECT_EQ(pattern->numBars(), 1);
    EXPECT_EQ(library->patternForIdx(3), pattern);
    pattern->setNumBars(2);
    library->addSequenceEventOnPattern(3, 8, 0, "Documents/a.wav");
    library->addSequenceEventOnPattern(3, 2, 0, "Documents/b.wav");
    library->addSequenceEventOnPattern(3, 9, 1, "Documents/a.wav");
    library->addSequenceEventOnPattern(3, 4, 0, "Documents/missing.wav");
    auto events = library->sequencerEventsForPattern(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]->step(), 2u);
    EXPECT_EQ(events[2]->eventType(), 1u);

    library->copyAllSequencerEventsOfPattern(3, 5);
    EXPECT_EQ(library->sequencerEventsForPattern(5).size(), 3u);
    EXPECT_EQ(library->patternForIdx(5)->numBars(), 2);
    library->removeSequenceEventOnPattern(3, 8, "Documents/a.wav");
    EXPECT_EQ(library->sequencerEventsForPattern(3).size(), 2u);
    library->save();

    // Removing a sample takes its events; the rest survives a restart.
    library->removeSample(b, true);
    world.quit();
    SoundDataManager& again = world.launch(false);
    EXPECT_EQ(again.sequencerEventsForPattern(3).size(), 1u);
    EXPECT_EQ(again.sequencerEventsForPattern(5).size(), 2u);
    again.removeAllSequencerEventsOfPattern(5);
    EXPECT_TRUE(again.sequencerEventsForPattern(5).empty());
}

TEST(LibraryStore, TheStoreFileIsMadeInTheDocumentsFolderAtOnce) {
    LibraryWorld world;
    world.launch(false);
    EXPECT_TRUE(std::filesystem::exists(world.storeFile()));
    auto exportFolder = world.library().exportTempFolder();
    EXPECT_EQ(exportFolder, world.root() / "Library" / "Caches" / "export");
    EXPECT_TRUE(std::filesystem::is_directory(exportFolder));
    EXPECT_EQ(world.library().exportTempFolder(), exportFolder);
    EXPECT_EQ(world.library().downloadsFolder(), world.root() / "Library" / "Caches" / "downloads");
    EXPECT_EQ(world.library().applicationDirectory() / "Documents/loop.wav", world.documents() / "loop.wav");
    auto user = world.library().userSamplesSoundpack();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->name(), "User");
    EXPECT_EQ(user->imagePath(), (world.bundle() / "icon152.png").string());
}

TEST(LibraryStore, WithoutAStoreFileTheLibrarySaysSoAndStillWorksInMemory) {
    LibraryWorld world;
    std::filesystem::remove_all(world.documents());
    std::ofstream(world.documents()) << "a file where the documents folder should be";
    SoundDataManager& library = world.launch(false);
    EXPECT_EQ(library.persistentStore(), nullptr);
    EXPECT_FALSE(library.storeProblem().empty());
    EXPECT_FALSE(library.save());
    library.makeSureAtLeastOneSoundbankExists();
    EXPECT_EQ(library.soundbanks().size(), 1u);
    EXPECT_TRUE(library.managedObjectContext().hasChanges());
}

TEST(LibraryStore, ANamedPipeInPlaceOfTheStoreOrItsSideFilesIsLeftAsItIsAndTheStartGoesOn) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        SCOPED_TRACE(suffix);
        LibraryWorld world;
        const std::filesystem::path pipe = world.storeFile().string() + suffix;
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        SoundDataManager& library = world.launch();
        EXPECT_EQ(library.persistentStore(), nullptr);
        EXPECT_EQ(library.storeProblem(), "the store file cannot be used: " + pipe.string() +
                                              " is a named pipe, not a regular file");
        EXPECT_EQ(library.soundpacks().size(), 8u) << "the stock sounds play from memory";
        struct stat info {};
        EXPECT_TRUE(::lstat(pipe.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << "left as it is";
    }
}

}  // namespace
}  // namespace strombel::library

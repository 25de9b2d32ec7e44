#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

#include "library/object_context.h"
#include "library/persistent_store.h"
#include "library_world.h"

namespace strombel::library {
namespace {

// Saves `context`, keeping the reason of a failure in `error`.
bool save(ObjectContext& context, std::string& error) {
    const platform::Result<void> saved = context.save();
    if (!saved) error = saved.error().message();
    return saved.ok();
}

using testing::LibraryWorld;
using testing::TempDir;

int64_t userVersion(const std::filesystem::path& file) {
    sqlite3* database = nullptr;
    sqlite3_open(file.c_str(), &database);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database, "PRAGMA user_version", -1, &statement, nullptr);
    int64_t version = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(database);
    return version;
}

std::vector<std::filesystem::path> setAsideFiles(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().find(".damaged-") != std::string::npos) found.push_back(entry.path());
    }
    return found;
}

/// A bank "Mine" with one sample on pad 3 and one pattern event.
void buildSmallLibrary(ObjectContext& context) {
    auto pack = context.insertSoundpack();
    pack->setPackId("mine");
    pack->setName("Mine");
    auto sample = context.insertSample();
    sample->setFilepath("Documents/beat.wav");
    sample->setName("beat");
    sample->setSoundpack(pack);
    auto bank = context.insertSoundbank();
    bank->setName("Mine");
    bank->setOrderId(1);
    auto pad = context.insertSoundbankSample();
    pad->setOrderId(3);
    pad->setSample(sample);
    pad->setSoundbank(bank);
    auto pattern = context.insertPattern();
    pattern->setPatternId(2);
    pattern->setNumBars(4);
    auto event = context.insertSequencerEvent();
    event->setStep(5);
    event->setPattern(pattern);
    event->setSample(sample);
}

TEST(ObjectContext, SavedObjectsAndRelationshipsComeBackAfterReopening) {
    TempDir dir;
    {
        PersistentStore store(dir / "store");
        ObjectContext context(&store);
        buildSmallLibrary(context);
        std::string error;
        ASSERT_TRUE(save(context, error)) << error;
        EXPECT_FALSE(context.hasChanges());
    }
    PersistentStore store(dir / "store");
    EXPECT_FALSE(store.createdFresh());
    ObjectContext context(&store);
    ASSERT_EQ(context.samples().size(), 1u);
    auto sample = context.samples().begin()->second;
    EXPECT_EQ(sample->filepath(), "Documents/beat.wav");
    EXPECT_EQ(sample->soundpack()->name(), "Mine");
    ASSERT_EQ(sample->soundbanks().size(), 1u);
    EXPECT_EQ(sample->soundbanks()[0]->orderId(), 3u);
    EXPECT_EQ(sample->soundbanks()[0]->soundbank()->name(), "Mine");
    ASSERT_EQ(sample->sequencerEvents().size(), 1u);
    EXPECT_EQ(sample->sequencerEvents()[0]->pattern()->numBars(), 4);
    EXPECT_EQ(userVersion(dir / "store"), PersistentStore::kSchemaVersion);
}

TEST(ObjectContext, NamesLongerThanTheNameFieldHoldsAreCutWhenRead) {
    TempDir dir;
    {
        PersistentStore store(dir / "store");
        ObjectContext context(&store);
        buildSmallLibrary(context);
        std::string error;
        ASSERT_TRUE(save(context, error)) << error;
    }
    // A hostile file: megabytes of name in each kind that has one, one of them of
    // two-byte characters.
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "store").c_str(), &database), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(database,
                           "UPDATE Soundpack SET name = replace(hex(zeroblob(10000000)), '00', 'ab');"
                           "UPDATE Sample SET name = replace(hex(zeroblob(5000000)), '00', 'é');"
                           "UPDATE Soundbank SET name = replace(hex(zeroblob(3000000)), '00', 'k');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(database);

    PersistentStore store(dir / "store");
    ObjectContext context(&store);
    ASSERT_EQ(context.samples().size(), 1u);
    auto sample = context.samples().begin()->second;
    const size_t longest = PersistentStore::kLongestName;
    std::string letters, accents;
    for (size_t i = 0; i < longest; ++i) letters += i % 2 ? 'b' : 'a';
    for (size_t i = 0; i < longest; ++i) accents += "é";
    // Sizes first: a failure must not print megabytes.
    ASSERT_EQ(sample->soundpack()->name().size(), letters.size());
    EXPECT_TRUE(sample->soundpack()->name() == letters);
    ASSERT_EQ(sample->name().size(), accents.size()) << "cut by characters, never inside one";
    EXPECT_TRUE(sample->name() == accents);
    const std::string& bankName = sample->soundbanks()[0]->soundbank()->name();
    ASSERT_EQ(bankName.size(), longest);
    EXPECT_TRUE(bankName == std::string(longest, 'k'));
}

TEST(ObjectContext, UnsavedChangesAreVisibleAndAFailedSaveKeepsThem) {
    TempDir dir;
    PersistentStore store(dir / "store");
    store.setBusyTimeout(0);
    ObjectContext context(&store);
    buildSmallLibrary(context);
    EXPECT_EQ(context.samplesWithFilepath("Documents/beat.wav").size(), 1u);

    // Another program holds the file locked: the save fails.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "store").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::string error;
    EXPECT_FALSE(save(context, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(context.hasChanges());
    EXPECT_EQ(context.samples().size(), 1u);
    EXPECT_EQ(context.samplesWithFilepath("Documents/beat.wav").size(), 1u);

    // Once the lock is gone a later save writes everything.
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_TRUE(save(context, error)) << error;
    PersistentStore reopened(dir / "store");
    ObjectContext fresh(&reopened);
    EXPECT_EQ(fresh.samples().size(), 1u);
    EXPECT_EQ(fresh.sequencerEvents().size(), 1u);
}

TEST(ObjectContext, DeletingASampleTakesItsPadsAndEventsWithIt) {
    TempDir dir;
    PersistentStore store(dir / "store");
    ObjectContext context(&store);
    buildSmallLibrary(context);
    std::string error;
    ASSERT_TRUE(save(context, error));

    auto sample = context.samples().begin()->second;
    auto bank = context.soundbanks().begin()->second;
    context.deleteObject(*sample);
    EXPECT_TRUE(sample->isDeleted());
    EXPECT_TRUE(context.soundbankSamples().empty());
    EXPECT_TRUE(context.sequencerEvents().empty());
    EXPECT_TRUE(bank->samplesInBank().empty());
    EXPECT_EQ(context.soundpacks().begin()->second->sampleCount(), 0u);
    EXPECT_TRUE(context.samplesWithFilepath("Documents/beat.wav").empty());
    ASSERT_TRUE(save(context, error));

    PersistentStore reopened(dir / "store");
    ObjectContext after(&reopened);
    EXPECT_TRUE(after.samples().empty());
    EXPECT_TRUE(after.soundbankSamples().empty());
    EXPECT_TRUE(after.sequencerEvents().empty());
    EXPECT_EQ(after.soundbanks().size(), 1u);
}

TEST(ObjectContext, DeletingAPackOrBankOrPatternTakesWhatBelongsToIt) {
    TempDir dir;
    PersistentStore store(dir / "store");
    ObjectContext context(&store);
    buildSmallLibrary(context);
    context.deleteObject(*context.soundbanks().begin()->second);
    EXPECT_TRUE(context.soundbankSamples().empty());
    EXPECT_EQ(context.samples().size(), 1u);
    context.deleteObject(*context.patterns().begin()->second);
    EXPECT_TRUE(context.sequencerEvents().empty());
    context.deleteObject(*context.soundpacks().begin()->second);
    EXPECT_TRUE(context.samples().empty());
    // Never saved: nothing is left to write.
    std::string error;
    EXPECT_TRUE(save(context, error));
    PersistentStore reopened(dir / "store");
    ObjectContext after(&reopened);
    EXPECT_TRUE(after.samples().empty() && after.soundpacks().empty() && after.soundbanks().empty());
}

TEST(PersistentStore, AFileThatIsNotAStoreIsSetAsideAndAFreshOneMade) {
    TempDir dir;
    std::ofstream(dir / "store", std::ios::binary) << std::string(4096, 'x');
    PersistentStore store(dir / "store");
    ASSERT_TRUE(store.isOpen());
    EXPECT_TRUE(store.createdFresh());
    EXPECT_FALSE(store.openError().empty());
    ASSERT_FALSE(store.setAsidePath().empty());
    std::ifstream kept(store.setAsidePath(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, std::string(4096, 'x'));
    EXPECT_EQ(userVersion(dir / "store"), PersistentStore::kSchemaVersion);
}

TEST(PersistentStore, AStoreOfANewerVersionIsKeptAsideUntouched) {
    TempDir dir;
    {
        PersistentStore store(dir / "store");
    }
    sqlite3* database = nullptr;
    sqlite3_open((dir / "store").c_str(), &database);
    sqlite3_exec(database, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(database);

    PersistentStore store(dir / "store");
    EXPECT_TRUE(store.createdFresh());
    ASSERT_FALSE(store.setAsidePath().empty());
    EXPECT_EQ(userVersion(store.setAsidePath()), 99);
    EXPECT_EQ(setAsideFiles(dir.path()).size(), 1u);
}

TEST(PersistentStore, ADamagedIndexIsRecoveredWithEveryRowKept) {
    TempDir dir;
    {
        PersistentStore store(dir / "store");
        ObjectContext context(&store);
        for (int i = 0; i < 300; ++i) {
            auto sample = context.insertSample();
            sample->setFilepath("Documents/sample" + std::to_string(i) + ".wav");
            sample->setName("sample " + std::to_string(i));
        }
        buildSmallLibrary(context);
        std::string error;
        ASSERT_TRUE(save(context, error)) << error;
    }
    // Overwrite the root page of the file-path index with garbage.
    int64_t rootPage = 0, pageSize = 0;
    {
        sqlite3* database = nullptr;
        sqlite3_open((dir / "store").c_str(), &database);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(database, "SELECT rootpage FROM sqlite_master WHERE name='SampleFilepath'", -1, &statement,
                           nullptr);
        ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
        rootPage = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        sqlite3_prepare_v2(database, "PRAGMA page_size", -1, &statement, nullptr);
        sqlite3_step(statement);
        pageSize = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        sqlite3_close(database);
    }
    {
        std::fstream file(dir / "store", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((rootPage - 1) * pageSize);
        std::string garbage(static_cast<size_t>(pageSize), '\x5a');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }

    PersistentStore store(dir / "store");
    ASSERT_TRUE(store.isOpen());
    EXPECT_FALSE(store.setAsidePath().empty());
    ObjectContext context(&store);
    EXPECT_EQ(context.samples().size(), 301u);
    EXPECT_EQ(context.soundbankSamples().size(), 1u);
    EXPECT_EQ(context.sequencerEvents().size(), 1u);
    EXPECT_EQ(context.samplesWithFilepath("Documents/sample299.wav").size(), 1u);
    EXPECT_EQ(userVersion(dir / "store"), PersistentStore::kSchemaVersion);
}

}  // namespace
}  // namespace strombel::library

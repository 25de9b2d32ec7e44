#include <gtest/gtest.h>

#include <cctype>

#include "library/pack_file.h"
#include "library_world.h"

namespace strombel::library {
namespace {

using testing::LibraryWorld;
using testing::RecordingObserver;

std::string packWithSounds(const std::string& id, int sounds, const std::string& bundled = "yes",
                           const std::string& prefix = "s") {
    std::string json = R"({"id": ")" + id + R"(", "name": "Pack )" + id + R"(", "bundled": ")" + bundled +
                       R"(", "banks": [{"name": "Bank )" + id + R"(", "sounds": [)";
    for (int i = 0; i < sounds; ++i) {
        json += std::string(i ? "," : "") + R"({"file": ")" + prefix + std::to_string(i) + R"(.wav"})";
    }
    return json + "]}]}";
}

struct BadPack {
    const char* what;
    const char* text;
    int64_t code;
};

void PrintTo(const BadPack& pack, std::ostream* out) { *out << pack.what << ": " << ::testing::PrintToString(std::string(pack.text)); }

class RefusedPack : public ::testing::TestWithParam<BadPack> {};

TEST_P(RefusedPack, ChangesNothingAndSaysWhy) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    auto banksBefore = library.soundbanks().size();
    auto samplesBefore = library.samples().size();

    auto result = library.addSoundpackFromJson(GetParam().text);
    ASSERT_FALSE(result.ok()) << GetParam().what;
    EXPECT_EQ(result.error().domain, kPackErrorDomain);
    EXPECT_EQ(result.error().code, GetParam().code) << result.error().description();
    EXPECT_EQ(library.soundbanks().size(), banksBefore);
    EXPECT_EQ(library.samples().size(), samplesBefore);
    EXPECT_FALSE(library.relativeSamplePathFromJson(GetParam().text).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    PackFiles, RefusedPack,
    ::testing::Values(BadPack{"not JSON", "{\"id\": \"x\", ", PackErrorNotJson},
                      BadPack{"an array", "[1, 2]", PackErrorInvalid},
                      BadPack{"no id", R"({"name": "x", "banks": []})", PackErrorInvalid},
                      BadPack{"empty id", R"({"id": "", "banks": []})", PackErrorInvalid},
                      BadPack{"the user pack's id",
                              R"({"id": "usersamples", "banks": [{"sounds": [{"file": "a.wav"}]}]})",
                              PackErrorInvalid},
                      BadPack{"numeric id", R"({"id": 7, "banks": []})", PackErrorInvalid},
                      BadPack{"name of wrong type", R"({"id": "x", "name": ["x"]})", PackErrorInvalid},
                      BadPack{"banks not an array", R"({"id": "x", "banks": {"a": 1}})", PackErrorInvalid},
                      BadPack{"bank not an object", R"({"id": "x", "banks": [3]})", PackErrorInvalid},
                      BadPack{"sounds not an array", R"({"id": "x", "banks": [{"sounds": "a.wav"}]})",
                              PackErrorInvalid},
                      BadPack{"sound without file", R"({"id": "x", "banks": [{"sounds": [{"name": "a"}]}]})",
                              PackErrorInvalid},
                      BadPack{"parent folder", R"({"id": "x", "banks": [{"sounds": [{"file": "../../escape.wav"}]}]})",
                              PackErrorUnsafeFileName},
                      BadPack{"dot dot", R"({"id": "x", "banks": [{"sounds": [{"file": ".."}]}]})",
                              PackErrorUnsafeFileName},
                      BadPack{"absolute", R"({"id": "x", "banks": [{"sounds": [{"file": "/etc/passwd"}]}]})",
                              PackErrorUnsafeFileName},
                      BadPack{"subfolder", R"({"id": "x", "banks": [{"sounds": [{"file": "a/b.wav"}]}]})",
                              PackErrorUnsafeFileName},
                      BadPack{"backslash", R"({"id": "x", "banks": [{"sounds": [{"file": "..\\b.wav"}]}]})",
                              PackErrorUnsafeFileName},
                      BadPack{"control character", R"({"id": "x", "banks": [{"sounds": [{"file": "a\nb.wav"}]}]})",
                              PackErrorUnsafeFileName}),
    [](const ::testing::TestParamInfo<BadPack>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name.push_back(std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_');
        return name;
    });

TEST(PackImport, ImportingTwiceAddsTheBanksTwiceAndTheSamplesOnce) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    RecordingObserver observer;
    library.addDelegate(&observer);
    const std::string pack = packWithSounds("twice", 12, "no");

    ASSERT_TRUE(library.addSoundpackFromJson(pack).ok());
    ASSERT_TRUE(library.addSoundpackFromJson(pack).ok());

    auto banks = library.soundbanks();
    ASSERT_EQ(banks.size(), 2u);
    EXPECT_EQ(banks[0]->orderId(), 1);
    EXPECT_EQ(banks[1]->orderId(), 2);
    EXPECT_EQ(library.samples().size(), 12u);
    auto packs = library.soundpacks();
    ASSERT_EQ(packs.size(), 1u);  // the user pack is empty and not listed
    EXPECT_EQ(packs[0]->name(), "Pack twice");
    EXPECT_EQ(packs[0]->sampleCount(), 12u);
    for (uint64_t bank = 0; bank < 2; ++bank) {
        auto paths = library.samplePathsOfSoundbank(bank);
        for (size_t pad = 0; pad < 12; ++pad) {
            EXPECT_EQ(paths[pad], "Library/Caches/downloads/s" + std::to_string(pad) + ".wav");
        }
    }
    EXPECT_GE(observer.samplesChangedCount, 2);
    EXPECT_GE(observer.soundbanksChangedCount, 2);

    // Both imports survive a restart.
    world.quit();
    SoundDataManager& again = world.launch(false);
    EXPECT_EQ(again.soundbanks().size(), 2u);
    EXPECT_EQ(again.samples().size(), 12u);
}

TEST(PackImport, APackInstalledAgainFillsItsOwnEmptiedBankNeverOneOfTheUsers) {
    LibraryWorld world;
    const std::string pack = packWithSounds("kit", 3, "no");
    const std::string firstSound = "Library/Caches/downloads/s0.wav";
    // A later run where the user makes an empty bank named as the pack's bank.
    auto withAUserBankNamedLikeThePacks = [&world] {
        world.quit();
        SoundDataManager& library = world.launch(false);
        library.createNewSoundbank()->setName("Bank kit");
        library.saveSoundbanks();
        world.quit();
        return &world.launch(false);
    };
    SoundDataManager* library = withAUserBankNamedLikeThePacks();
    ASSERT_TRUE(library->addSoundpackFromJson(pack).ok());
    ASSERT_EQ(library->soundbanks().size(), 2u);
    EXPECT_TRUE(library->samplePathsOfSoundbank(0)[0].empty()) << "the user's bank stays as the user left it";
    EXPECT_EQ(library->samplePathsOfSoundbank(1)[0], firstSound);

    // Removed, then installed again in a later run: into the bank its removal emptied.
    ASSERT_TRUE(library->removeSoundpackAtIndex(0));
    world.quit();
    library = &world.launch(false);
    ASSERT_TRUE(library->addSoundpackFromJson(pack).ok());
    ASSERT_EQ(library->soundbanks().size(), 2u);
    EXPECT_TRUE(library->samplePathsOfSoundbank(0)[0].empty());
    EXPECT_EQ(library->samplePathsOfSoundbank(1)[0], firstSound);

    // The pack's bank deleted, a bank the user makes in a later run takes its
    // place in the store: it is the user's, and the pack does not fill it.
    ASSERT_TRUE(library->removeSoundbankAtIndex(1));
    library = withAUserBankNamedLikeThePacks();
    ASSERT_TRUE(library->removeSoundpackAtIndex(0));
    ASSERT_TRUE(library->addSoundpackFromJson(pack).ok());
    ASSERT_EQ(library->soundbanks().size(), 3u);
    EXPECT_TRUE(library->samplePathsOfSoundbank(1)[0].empty());
    EXPECT_EQ(library->samplePathsOfSoundbank(2)[0], firstSound);
}

TEST(PackImport, APackInstalledAgainFillsTheEmptiedBanksTheUserRenamed) {
    LibraryWorld world;
    SoundDataManager* library = &world.launch(false);
    const size_t stock = library->soundbanks().size();
    ASSERT_TRUE(library->addSoundpackFromJson(R"({"id": "duo", "name": "Duo", "bundled": "no", "banks": [
        {"name": "Low", "sounds": [{"file": "low.wav"}]},
        {"name": "High", "sounds": [{"file": "high.wav"}]}]})").ok());
    auto packIndex = [&] {
        const auto packs = library->soundpacks();
        for (size_t i = 0; i < packs.size(); ++i)
            if (packs[i]->packId() == "duo") return uint64_t(i);
        return uint64_t(packs.size());
    };
    // The user renames the pack's first bank, then removes the pack, which
    // empties both of its banks.
    library->soundbanks()[stock]->setName("My Low");
    library->saveSoundbanks();
    ASSERT_TRUE(library->removeSoundpackAtIndex(packIndex()));
    world.quit();
    library = &world.launch(false);

    ASSERT_TRUE(library->addSoundpackFromJson(R"({"id": "duo", "name": "Duo", "bundled": "no", "banks": [
        {"name": "Low", "sounds": [{"file": "low.wav"}]},
        {"name": "High", "sounds": [{"file": "high.wav"}]}]})").ok());
    ASSERT_EQ(library->soundbanks().size(), stock + 2) << "no bank beside the emptied ones";
    EXPECT_EQ(library->soundbanks()[stock]->name(), "My Low");
    EXPECT_EQ(library->samplePathsOfSoundbank(stock)[0], "Library/Caches/downloads/low.wav");
    EXPECT_EQ(library->soundbanks()[stock + 1]->name(), "High");
    EXPECT_EQ(library->samplePathsOfSoundbank(stock + 1)[0], "Library/Caches/downloads/high.wav");
}

TEST(PackImport, BundledPacksPointIntoTheBundleAndNamesDefaultToTheFile) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    auto pack = library.addSoundpackFromJson(
        R"({"id": "b", "name": "B", "bundled": "YES", "banks": [{"name": "One", "sounds": [
            {"file": "gk_kick.wav", "name": "Kick"}, {"file": "gk_snare.wav"}]}]})");
    ASSERT_TRUE(pack.ok());
    auto samples = library.samplesOfSoundbank(0);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0]->filepath(), "Tumblecraft.app/gk_kick.wav");
    EXPECT_EQ(samples[0]->name(), "Kick");
    EXPECT_EQ(samples[1]->name(), "gk_snare.wav");
    EXPECT_EQ(samples[1]->packOrderId(), 1);
    EXPECT_FLOAT_EQ(samples[1]->volume(), 1.0f);
    EXPECT_TRUE(std::filesystem::exists(library.absolutePathOfSample(samples[0]->filepath())));
}

TEST(PackImport, ABankOfMoreThanTwelveSoundsFillsTwelvePads) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    ASSERT_TRUE(library.addSoundpackFromJson(packWithSounds("big", 15)).ok());
    auto pads = library.soundbankSamplesOfSoundbank(0);
    ASSERT_EQ(pads.size(), 12u);
    EXPECT_EQ(pads.back()->orderId(), 11u);
    EXPECT_EQ(library.samples().size(), 12u);
    auto files = library.relativeSamplePathFromJson(packWithSounds("big", 15));
    ASSERT_TRUE(files.has_value());
    EXPECT_EQ(files->size(), 12u);
}

TEST(PackImport, TheBrowsersGroupsFollowThePackListAndNames) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    ASSERT_TRUE(library.addSoundpackFromJson(R"({"id": "z", "name": "zebra", "banks": [{"sounds": [
        {"file": "z1.wav", "name": "beta"}, {"file": "z2.wav", "name": "Alpha"}]}]})").ok());
    ASSERT_TRUE(library.addSoundpackFromJson(R"({"id": "a", "name": "Apple", "banks": [{"sounds": [
        {"file": "a1.wav", "name": "one"}]}]})").ok());
    world.dropFile("Mine.wav");
    world.wait(5.0);

    auto packs = library.soundpacks();
    const auto& sections = library.soundpackSamplesResultsController().sections();
    ASSERT_EQ(sections.size(), packs.size());
    for (size_t i = 0; i < packs.size(); ++i) EXPECT_EQ(sections[i].name, packs[i]->name());
    EXPECT_EQ(sections[0].name, "Apple");
    EXPECT_EQ(sections[1].name, "User");
    EXPECT_EQ(sections[2].name, "zebra");
    EXPECT_EQ(sections[2].samples[0]->name(), "Alpha");
    EXPECT_EQ(library.soundpackSamplesResultsController().objectAtIndexPath(2, 1)->name(), "beta");
    EXPECT_EQ(library.soundpackSamplesResultsController().objectAtIndexPath(3, 0), nullptr);
}

TEST(PackImport, RelativeSamplePathsListEveryFileInOrderWithDuplicates) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    auto files = library.relativeSamplePathFromJson(
        R"({"id": "d", "banks": [{"sounds": [{"file": "a.wav"}, {"file": "b.wav"}]},
                                 {"sounds": [{"file": "a.wav"}]}]})");
    ASSERT_TRUE(files.has_value());
    EXPECT_EQ(*files, (std::vector<std::string>{"a.wav", "b.wav", "a.wav"}));
    EXPECT_FALSE(library.relativeSamplePathFromJson("").has_value());
    EXPECT_FALSE(library.relativeSamplePathFromJson(" \t ").has_value());
}

TEST(PackImport, RemovingADownloadedPackDeletesItsFilesAndOnlyThose) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    RecordingObserver observer;
    library.addDelegate(&observer);
    auto downloads = library.downloadsFolder();
    for (int i = 0; i < 3; ++i) std::ofstream(downloads / ("s" + std::to_string(i) + ".wav")) << "x";
    std::ofstream(downloads / "other.wav") << "x";
    ASSERT_TRUE(library.addSoundpackFromJson(packWithSounds("gone", 3, "no")).ok());
    ASSERT_EQ(library.soundpacks().size(), 1u);

    EXPECT_TRUE(library.removeSoundpackAtIndex(0));
    EXPECT_TRUE(library.soundpacks().empty());
    EXPECT_TRUE(library.samples().empty());
    EXPECT_TRUE(library.soundbankSamplesOfSoundbank(0).empty());
    EXPECT_EQ(library.soundbanks().size(), 1u);  // the bank stays, its pads empty
    EXPECT_FALSE(std::filesystem::exists(downloads / "s0.wav"));
    EXPECT_TRUE(std::filesystem::exists(downloads / "other.wav"));
    EXPECT_EQ(observer.removed.size(), 3u);
    EXPECT_GE(observer.soundbanksChangedCount, 1);
    EXPECT_FALSE(library.removeSoundpackAtIndex(0));
}

}  // namespace
}  // namespace strombel::library

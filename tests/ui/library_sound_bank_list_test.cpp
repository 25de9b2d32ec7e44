#include "ui/library_sound_bank_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "library/sound_data_manager.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"
#include "ui/sound_bank_control.h"
#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

struct BankListRecorder : SoundBankControlDelegate {
    void activeSoundbankChanged(uint64_t index) override { changes.push_back(index); }
    std::vector<uint64_t> changes;
};

/// A user's own library (no stock packs) with the bank selector on it.
class LibrarySoundBankListTest : public testing::UiTest {
  protected:
    LibrarySoundBankListTest() {
        std::filesystem::create_directories(dir / "bundle");
        (void)sandbox.createFolders();
        library.makeSureAtLeastOneSoundbankExists();
        library.createNewSoundbank();
        library.saveSoundbanks();
        pump();
    }

    testing::TempDir dir;
    platform::Sandbox sandbox{dir / "root", dir / "bundle"};
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    library::SoundDataManager library{sandbox, defaults, loop};
    BankListRecorder recorder;
};

TEST_F(LibrarySoundBankListTest, TheSelectorShowsTheLibrarysBanksAndFollowsThem) {
    LibrarySoundBankList banks(library);
    SoundBankControl selector(GuiType::tablet, banks);
    selector.setDelegate(&recorder);
    const auto names = banks.soundbankNames();
    ASSERT_EQ(names.size(), library.soundbanks().size());
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(selector.screenLabel().text(), QString::fromStdString(names[0]).toUpper());

    selector.setCurrentBank(names.size() - 1);
    ASSERT_TRUE(library.removeSoundbankAtIndex(names.size() - 1));
    library.saveSoundbanks();
    pump();
    // The shown bank, the last, went away: the selector moves to the new last one and says so.
    EXPECT_EQ(selector.soundbankNames().size(), names.size() - 1);
    EXPECT_EQ(recorder.changes, (std::vector<uint64_t>{names.size() - 2}));
}

TEST_F(LibrarySoundBankListTest, AReorderedBankShowsAtItsNewPlaceWithoutAMessage) {
    LibrarySoundBankList banks(library);
    SoundBankControl selector(GuiType::tablet, banks);
    selector.setDelegate(&recorder);
    const auto before = banks.soundbankNames();
    ASSERT_NE(before[0], before[1]);
    ASSERT_TRUE(library.moveSoundbankFromIndex(1, 0));
    library.saveSoundbanks();
    pump();
    EXPECT_EQ(selector.currentBank(), 0u);
    EXPECT_EQ(selector.screenLabel().text(), QString::fromStdString(before[1]).toUpper());
    EXPECT_TRUE(recorder.changes.empty());
}

}  // namespace
}  // namespace strombel::ui

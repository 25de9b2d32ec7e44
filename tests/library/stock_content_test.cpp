#include <gtest/gtest.h>
#include <sndfile.h>

#include <fstream>
#include <sstream>

#include "library/pack_file.h"
#include "library_world.h"

namespace strombel::library {
namespace {

TEST(StockContent, EveryShippedSampleIsA16Bit44100HzWaveWithoutClipping) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(testing::stockBundle())) {
        if (entry.path().extension() != ".wav") continue;
        ++count;
        SF_INFO info{};
        SNDFILE* file = sf_open(entry.path().c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << entry.path() << ": " << sf_strerror(nullptr);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16) << entry.path();
        EXPECT_EQ(info.samplerate, 44100);
        EXPECT_GE(info.channels, 1);
        EXPECT_GT(info.frames, 1000) << entry.path();
        EXPECT_LT(info.frames, 44100 * 4) << entry.path();
        std::vector<short> pcm(static_cast<size_t>(info.frames * info.channels));
        sf_read_short(file, pcm.data(), static_cast<sf_count_t>(pcm.size()));
        sf_close(file);
        int peak = 0;
        for (short s : pcm) peak = std::max(peak, std::abs(static_cast<int>(s)));
        EXPECT_LT(peak, 32767) << entry.path() << " clips";
        EXPECT_GT(peak, 8000) << entry.path() << " is nearly silent";
    }
    EXPECT_GE(count, 8u * 12u + 2u);
    EXPECT_TRUE(std::filesystem::exists(testing::stockBundle() / "metronomeOn1.wav"));
    EXPECT_TRUE(std::filesystem::exists(testing::stockBundle() / "metronomeOn234.wav"));
}

TEST(StockContent, EachPackFileNamesBundledSoundsThatExist) {
    const std::vector<std::pair<std::string, std::string>> packs = {
        {"GK-Preview.pack", "groovekitpreview"},
        {"TM-Preview.pack", "tamboro-preview"},
        {"RavelleNights.pack", "ravellenights"},
        {"DunmarshTidewell.pack", "dunmarshtidewell"},
        {"Calderwick2012-shortvocals.pack", "calderwickshortvocals"},
        {"Calderwick2012-longvocals.pack", "calderwickvocals"},
        {"Calderwick2012-samples.pack", "calderwicksamples"},
        {"Quenby.pack", "quenby"},
    };
    for (const auto& [file, id] : packs) {
        std::ifstream in(testing::stockBundle() / file);
        ASSERT_TRUE(in) << file;
        std::stringstream text;
        text << in.rdbuf();
        auto pack = readPackDescription(text.str());
        ASSERT_TRUE(pack.ok()) << file;
        EXPECT_EQ(pack.value().id, id);
        EXPECT_TRUE(pack.value().bundled);
        EXPECT_FALSE(pack.value().name.empty());
        ASSERT_FALSE(pack.value().banks.empty());
        for (const PackBank& bank : pack.value().banks) {
            EXPECT_EQ(bank.sounds.size(), 12u) << file << " " << bank.name;
            for (const PackSound& sound : bank.sounds) {
                EXPECT_TRUE(std::filesystem::is_regular_file(testing::stockBundle() / sound.file)) << sound.file;
                EXPECT_FALSE(sound.name.empty());
            }
        }
    }
}

}  // namespace
}  // namespace strombel::library

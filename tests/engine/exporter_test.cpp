// The export renderer on its own: tracks made by hand, no engine around them.

#include "engine/exporter.h"

#include <stop_token>

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

class ExporterTest : public EngineTest {
protected:
    /// A track of the sample `name`, its frames in memory.
    std::shared_ptr<Track> track(const std::string& name, const std::vector<std::vector<int16_t>>& channels,
                                 float volume) {
        const std::string path = addSample(name, channels, volume);
        auto made = std::make_shared<Track>(44100.0, clock_);
        EXPECT_TRUE(made->prepareWithFile(path, sandbox_));
        made->setVolume(volume);
        EXPECT_TRUE(made->preloadForPlayback());
        tracks_.emplace(path, made);
        return made;
    }

    std::atomic<double> rate_{44100.0};
    std::atomic<float> volume_{0.5f};
    Exporter exporter_{loop_, rate_, volume_};
    Exporter::Tracks tracks_;
};

TEST_F(ExporterTest, StartsAndStopsLandOnTheirFramesAtTheTrackAndMasterVolumes) {
    track("low", constantMono(1000, 1000), 1.0f);
    track("high", constantMono(1000, 3000), 0.5f);
    const std::vector<ExportEvent> events = {
        {"Documents/gone.wav", ExportEvent::kStart, 0.0, 1.0f},  // no track: skipped
        {"Documents/low.wav", ExportEvent::kStart, 0.0, 1.0f},
        {"Documents/high.wav", ExportEvent::kStart, 100 / 44100.0, 1.0f},
        {"Documents/low.wav", ExportEvent::kStop, 300 / 44100.0, 1.0f},
    };
    const auto path = (temp_ / "out.wav").string();
    std::vector<float> reports;
    const ExportOutcome outcome =
        exporter_.render(events, tracks_, path, 2000 / 44100.0, [&](float p) { reports.push_back(p); }, {});
    ASSERT_EQ(outcome.status, ExportOutcome::Status::written) << outcome.error;
    EXPECT_NEAR(outcome.seconds, 2000 / 44100.0, 1e-9);
    EXPECT_EQ(reports, (std::vector<float>{0.0f, 1.0f}));  // one chunk of 2205 frames

    const platform::Result<platform::DecodedAudio> decoded = platform::decodeAudioFile(path, 44100.0);
    ASSERT_TRUE(decoded) << decoded.error().message();
    const platform::DecodedAudio& audio = *decoded;
    ASSERT_EQ(audio.frames(), 2000u);
    for (uint32_t f = 0; f < 2000; ++f) {
        // low: 1000 x 1.0 x 0.5 over [0, 300); high: 3000 x 0.5 x 0.5 over [100, 1100).
        const int expected = (f < 300 ? 500 : 0) + (f >= 100 && f < 1100 ? 750 : 0);
        ASSERT_NEAR(audio.channels[0][f] / kFixedPer16Bit, expected, 1) << "frame " << f;
    }
}

TEST_F(ExporterTest, ACancelledOrUnwritableExportLeavesNoFile) {
    track("tone", constantMono(100, 1000), 1.0f);
    const std::vector<ExportEvent> events = {{"Documents/tone.wav", ExportEvent::kStart, 0.0, 1.0f}};
    writeWave(temp_ / "file", constantMono(1, 0));
    std::stop_source cancelled;
    cancelled.request_stop();
    struct Case {
        std::filesystem::path path;
        std::stop_token stop;
        ExportOutcome::Status status;
    };
    for (const Case& c : {Case{temp_ / "cancelled.wav", cancelled.get_token(), ExportOutcome::Status::cancelled},
                          Case{temp_ / "file" / "out.wav", {}, ExportOutcome::Status::failed}}) {
        const ExportOutcome outcome = exporter_.render(events, tracks_, c.path.string(), 1.0, {}, c.stop);
        EXPECT_EQ(outcome.status, c.status) << c.path;
        EXPECT_EQ(outcome.status == ExportOutcome::Status::failed, !outcome.error.empty()) << c.path;
        EXPECT_FALSE(std::filesystem::exists(c.path)) << c.path;
    }
}

}  // namespace
}  // namespace strombel::engine::testing

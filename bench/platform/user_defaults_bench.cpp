// What the main loop pays for a setting changed while a slider is dragged: the
// setter alone (the file is written by the settings' own writer), and the
// setter followed by a wait until the change is in the file (what each change
// cost when the caller wrote the file itself).
//
//   build/bench/platform/platform_bench

#include <benchmark/benchmark.h>

#include <algorithm>

#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;

void BM_SettingChangedDuringADrag(benchmark::State& state) {
    testing::TempDir temp;
    platform::UserDefaults defaults(temp / "defaults.sqlite");
    double value = 0;
    for (auto _ : state) {
        defaults.setDouble("VolumeSlider", value);
        value = value < 1 ? value + 0.001 : 0;
    }
    // (After the timed loop.)
    defaults.synchronize();
    state.counters["changes per write"] =
        double(state.iterations()) / double(std::max<uint64_t>(1, defaults.writesToFile()));
}
BENCHMARK(BM_SettingChangedDuringADrag);

void BM_SettingChangedAndInTheFile(benchmark::State& state) {
    testing::TempDir temp;
    platform::UserDefaults defaults(temp / "defaults.sqlite");
    double value = 0;
    for (auto _ : state) {
        defaults.setDouble("VolumeSlider", value);
        defaults.synchronize();
        value = value < 1 ? value + 0.001 : 0;
    }
}
BENCHMARK(BM_SettingChangedAndInTheFile);

}  // namespace

BENCHMARK_MAIN();

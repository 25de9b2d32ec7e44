// The sample editor's file work beside libsndfile and the system doing the same
// alone, in one run:
//   - waveform peaks of a 10-minute stereo 44.1 kHz WAVE against reading the
//     same file through libsndfile into float blocks, and into 16-bit blocks as
//     the peaks read a 16-bit file (goal: within 1.2x);
//   - writing 100 MB of pasted WAVE bytes as a file against libsndfile writing
//     the same frames and a plain write(2) of the same bytes (goal: within 1.5x).
//     Every writer ends with fsync, as a paste does: a paste is kept.
// Run: build/bench/editor/editor_bench [--benchmark_repetitions=5]
// The files go to STROMBEL_BENCH_DIR when set, else the system's temporary folder.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "editor/audio_files.h"

namespace {

using namespace strombel;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr size_t kBlockFrames = 4096;

std::filesystem::path benchFolder() {
    const char* configured = std::getenv("STROMBEL_BENCH_DIR");
    return std::filesystem::path(configured ? configured : std::filesystem::temp_directory_path().string()) /
           ("strombel-editor-bench-" + std::to_string(::getpid()));
}

/// The files of the run, made once and removed at exit.
class Files {
public:
    static Files& shared() {
        static Files files;
        return files;
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::filesystem::path folder = benchFolder();
    std::filesystem::path tenMinutes = folder / "ten minutes.wav";
    std::filesystem::path pasteFolder = folder / "pasted";
    /// 100 MB of WAVE bytes, as a clipboard brings them.
    std::vector<uint8_t> pasteBytes;

private:
    Files() {
        std::filesystem::create_directories(pasteFolder);
        writeTone(tenMinutes, 10 * 60 * kRate);
        const std::filesystem::path paste = folder / "paste.wav";
        writeTone(paste, (100'000'000 - 44) / (2 * kChannels));
        std::ifstream in(paste, std::ios::binary);
        pasteBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::filesystem::remove(paste);
    }
    static void writeTone(const std::filesystem::path& path, size_t frames) {
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = kChannels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        std::vector<short> block(kBlockFrames * kChannels);
        for (size_t done = 0; done < frames;) {
            const size_t n = std::min(kBlockFrames, frames - done);
            for (size_t i = 0; i < n; ++i)
                for (int c = 0; c < kChannels; ++c)
                    block[i * kChannels + c] = short(12000 * std::sin(double(done + i) * (c ? 0.031 : 0.017)));
            sf_writef_short(file, block.data(), sf_count_t(n));
            done += n;
        }
        sf_close(file);
    }
};

void BM_WaveformPeaks(benchmark::State& state) {
    Files& files = Files::shared();
    for (auto _ : state) {
        platform::Result<editor::WaveformPeaks> peaks = editor::readWaveformPeaks(files.tenMinutes, 2048);
        if (!peaks) {
            state.SkipWithError(peaks.error().message().c_str());
            break;
        }
        benchmark::DoNotOptimize(peaks->maximum.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(files.tenMinutes)));
}

void BM_PlainSndfileRead(benchmark::State& state) {
    Files& files = Files::shared();
    std::vector<float> block(kBlockFrames * kChannels);
    for (auto _ : state) {
        SF_INFO info{};
        SNDFILE* file = sf_open(files.tenMinutes.c_str(), SFM_READ, &info);
        float sum = 0;
        while (sf_readf_float(file, block.data(), kBlockFrames) > 0) sum += block[0];
        sf_close(file);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(files.tenMinutes)));
}

/// The same file read as 16-bit samples (what the peaks read a 16-bit file as).
void BM_PlainSndfileReadShort(benchmark::State& state) {
    Files& files = Files::shared();
    std::vector<short> block(kBlockFrames * kChannels);
    for (auto _ : state) {
        SF_INFO info{};
        SNDFILE* file = sf_open(files.tenMinutes.c_str(), SFM_READ, &info);
        int sum = 0;
        while (sf_readf_short(file, block.data(), kBlockFrames) > 0) sum += block[0];
        sf_close(file);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(std::filesystem::file_size(files.tenMinutes)));
}

void BM_WritePastedAudio(benchmark::State& state) {
    Files& files = Files::shared();
    for (auto _ : state) {
        platform::Result<std::filesystem::path> pasted = editor::writePastedAudio(files.pasteBytes, files.pasteFolder);
        if (!pasted) {
            state.SkipWithError(pasted.error().message().c_str());
            break;
        }
        state.PauseTiming();
        std::filesystem::remove(*pasted);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(files.pasteBytes.size()));
}

/// The frames of the paste, written by libsndfile as 16-bit WAVE and synced.
void BM_PlainSndfileWrite(benchmark::State& state) {
    Files& files = Files::shared();
    const std::vector<uint8_t>& bytes = files.pasteBytes;
    const short* frames = reinterpret_cast<const short*>(bytes.data() + 44);
    const sf_count_t count = sf_count_t((bytes.size() - 44) / (2 * kChannels));
    const std::filesystem::path target = files.pasteFolder / "sndfile.wav";
    for (auto _ : state) {
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = kChannels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(target.c_str(), SFM_WRITE, &info);
        sf_writef_short(file, frames, count);
        sf_write_sync(file);
        sf_close(file);
        state.PauseTiming();
        std::filesystem::remove(target);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

/// The same bytes through write(2), synced.
void BM_PlainWrite(benchmark::State& state) {
    Files& files = Files::shared();
    const std::vector<uint8_t>& bytes = files.pasteBytes;
    const std::filesystem::path target = files.pasteFolder / "plain.wav";
    for (auto _ : state) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        ::fsync(fd);
        ::close(fd);
        state.PauseTiming();
        std::filesystem::remove(target);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

BENCHMARK(BM_WaveformPeaks)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainSndfileRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainSndfileReadShort)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WritePastedAudio)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainSndfileWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

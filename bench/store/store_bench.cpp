// The store against a loopback store server: installing a pack of twelve
// one-MiB samples (four downloads at a time, the checks and the import) beside
// plain libcurl fetching the same thirteen files one after the other; and
// decoding a catalogue of a thousand items. A second peer keeps the files as
// the store must (written, synced, renamed into place).
//
//   build/bench/store/bench_store --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "store/store_catalogue.h"
#include "store/store_test_support.h"

namespace {

using namespace strombel;
using strombel::testing::StoreServer;

constexpr int kSamples = 12;
constexpr size_t kSampleFrames = 512 * 1024;  // 16-bit mono: one MiB

std::vector<std::string> sampleNames() {
    std::vector<std::string> names;
    for (int i = 0; i < kSamples; ++i) names.push_back("sample" + std::to_string(i) + ".wav");
    return names;
}

/// The pack and its samples, made once.
const std::vector<std::pair<std::string, std::string>>& packFiles() {
    static const auto files = [] {
        std::vector<std::pair<std::string, std::string>> made;
        made.emplace_back("big.pack", strombel::testing::packText("big", sampleNames()));
        const std::string sample = strombel::testing::waveBytes(kSampleFrames);
        for (const std::string& name : sampleNames()) made.emplace_back(name, sample);
        return made;
    }();
    return files;
}

void serve(StoreServer& server) {
    for (const auto& [name, body] : packFiles()) server.put(name, body);
    server.setCatalogue("[" + strombel::testing::catalogueEntry("big", {"big.pack"}) + "]");
}

void BM_InstallPackOfTwelveMiBSamples(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto world = std::make_unique<strombel::testing::StoreWorld>();
        platform::MainLoop& loop = world->world().loop();
        // The main loop sleeps until something is posted, as the program's does.
        std::mutex mutex;
        std::condition_variable posted;
        bool wake = false;
        loop.setWakeupHandler([&] {
            std::lock_guard lock(mutex);
            wake = true;
            posted.notify_one();
        });
        serve(world->server());
        world->launchAndLoad();
        state.ResumeTiming();
        world->store().downloadStoreItem("big");
        while (world->store().progressOfStoreItem("big").phase == library::StoreItemProgress::Phase::downloading) {
            loop.runPending();
            std::unique_lock lock(mutex);
            posted.wait_for(lock, std::chrono::milliseconds(1), [&] { return wake; });
            wake = false;
        }
        state.PauseTiming();
        if (world->store().progressOfStoreItem("big").phase != library::StoreItemProgress::Phase::installed)
            state.SkipWithError("the pack did not install");
        world.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSamples * int64_t(kSampleFrames) * 2);
}
BENCHMARK(BM_InstallPackOfTwelveMiBSamples)->Unit(benchmark::kMillisecond)->UseRealTime();

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

void BM_PlainCurlFetchesTheThirteenFilesInTurn(benchmark::State& state) {
    StoreServer server;
    serve(server);
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERNAME, strombel::testing::kStoreUser);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, strombel::testing::kStorePassword);
    for (auto _ : state) {
        for (const auto& [name, body] : packFiles()) {
            curl_easy_setopt(curl, CURLOPT_URL, store::joinURL(server.baseURL(), name).c_str());
            if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("a fetch failed");
        }
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(int64_t(state.iterations()) * kSamples * int64_t(kSampleFrames) * 2);
}
BENCHMARK(BM_PlainCurlFetchesTheThirteenFilesInTurn)->Unit(benchmark::kMillisecond)->UseRealTime();

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return ::write(*static_cast<int*>(file), data, size * count) == ssize_t(size * count) ? size * count : 0;
}

/// The same fetch keeping the files as the store must: each written to a
/// temporary file, synced and renamed into place.
void BM_PlainCurlFetchesAndKeepsTheThirteenFilesInTurn(benchmark::State& state) {
    StoreServer server;
    serve(server);
    strombel::testing::TempDir folder;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERNAME, strombel::testing::kStoreUser);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, strombel::testing::kStorePassword);
    for (auto _ : state) {
        for (const auto& [name, body] : packFiles()) {
            const std::string temporary = (folder / (name + ".part")).string();
            int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &fd);
            curl_easy_setopt(curl, CURLOPT_URL, store::joinURL(server.baseURL(), name).c_str());
            if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("a fetch failed");
            ::fsync(fd);
            ::close(fd);
            std::filesystem::rename(temporary, folder / name);
        }
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(int64_t(state.iterations()) * kSamples * int64_t(kSampleFrames) * 2);
}
BENCHMARK(BM_PlainCurlFetchesAndKeepsTheThirteenFilesInTurn)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeCatalogueOfAThousandItems(benchmark::State& state) {
    std::string text = "[";
    for (int i = 0; i < 1000; ++i) {
        const std::string id = "pack" + std::to_string(i);
        text += (i ? ", " : "") + strombel::testing::catalogueEntry(id, {id + ".pack", id + "-extra.wav"}, id + ".png");
    }
    text += "]";
    store::StoreSettings settings;
    const std::vector<std::string> stock{"ravellenights", "groovekitpreview", "tamboro-preview"};
    for (auto _ : state) {
        auto items = store::decodeStoreItems(text, {settings, stock, [](const std::string&) { return false; }});
        if (!items.ok() || items.value().size() != 1000) state.SkipWithError("the catalogue did not decode");
        benchmark::DoNotOptimize(items);
    }
}
BENCHMARK(BM_DecodeCatalogueOfAThousandItems)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

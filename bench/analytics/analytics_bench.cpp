// The analytics client's costs: what logEvent costs its caller (it only queues),
// errors from three threads until they are recorded, building an envelope of 50
// sessions of 1000 events, and the envelope's CRC-32 (folded, and through the
// tables alone) beside zlib's crc32 in the same run.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "analytics/analytics.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/keychain.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"

namespace {

using namespace strombel;
using namespace strombel::analytics;

struct Client {
    std::filesystem::path root = std::filesystem::temp_directory_path() / ("strombel-bench-analytics-" + std::to_string(getpid()));
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    platform::NotificationCenter center;
    platform::Application application;
    std::unique_ptr<platform::Keychain> keychain;

    Client() {
        loop.bindToCurrentThread();
        keychain = std::make_unique<platform::Keychain>(root / "keychain.sqlite");
        UsageEnvironment environment;
        environment.mainLoop = &loop;
        environment.notificationCenter = &center;
        environment.application = &application;
        environment.keychain = keychain.get();
        environment.applicationSupport = root;
        environment.library = root;
        environment.documents = root;
        environment.vendorIdentifierFile = root / "VendorIdentifier";
        environment.wallClockOffset = 1'700'000'000;
        UsageEnvironment::setCurrent(environment);
        UsageUtil::setLogLevel(0);
    }
    // Everything the client made in this environment goes before the services
    // it points at: the sessions, the upload queue, the network watch and the
    // heart-beat's timer.
    ~Client() {
        UsageSession::cleanup();
        UsageImpl::cleanup();
        UsageFileCache::cleanup();
        UsageGlobalVariableStorage::cleanup();
        UsageNetworkUtil::stopNetworkReachability();
        if (UsageHeartBeater* beater = UsageHeartBeater::instance()) beater->stop();
        loop.runPending();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

void BM_LogEventCallerCost(benchmark::State& state) {
    Client client;
    Usage::setServerURL("http://127.0.0.1:9/aas.do");  // uploads are not measured here
    Usage::startSession("bench");
    json::Value name("Play");
    for (auto _ : state) Usage::logEvent(name);
    UsageSession::currentSession()->drain();
}
BENCHMARK(BM_LogEventCallerCost)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_EnvelopeOf50SessionsOf1000Events(benchmark::State& state) {
    Client client;
    UsageGlobalVariableStorage::sharedInstance()->setApiKey("bench");
    std::vector<Bytes> records;
    std::shared_ptr<UsageImpl> impl = UsageImpl::instance();
    impl->setupForApiKey(std::string("bench"));
    impl->withSession([&](UsageSession* session) {
        for (int i = 0; i < 1000; ++i) {
            session->recordEvent("event" + std::to_string(i % 50),
                                 json::Value::object({{"pad", json::Value(i % 12)}, {"bank", json::Value("drums")}}), false);
        }
        Bytes record = *session->data();
        records.assign(50, record);
    });
    for (auto _ : state) {
        impl->withSession([&](UsageSession* session) { benchmark::DoNotOptimize(session->dataForSessions(records)); });
    }
    state.SetLabel(std::to_string(records.front().size() * 50 / 1024) + " KiB of records");
}
BENCHMARK(BM_EnvelopeOf50SessionsOf1000Events)->Unit(benchmark::kMillisecond);

// Three threads log errors as fast as they can, 1000 each; the time runs until
// the analytics queue has recorded them all. Every error changes the session
// that the current-session file keeps.
void BM_ErrorsFromThreeThreadsUntilRecorded(benchmark::State& state) {
    Client client;
    Usage::setServerURL("http://127.0.0.1:9/aas.do");  // uploads are not measured here
    Usage::startSession("bench");
    UsageSession::currentSession()->drain();
    constexpr int kPerThread = 1000;
    json::Value id("E1");
    json::Value message("the disk is full");
    std::optional<platform::Error> error = platform::Error::make("Disk", 28, "No space");
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kPerThread; ++i) Usage::logError(id, message, error);
            });
        }
        for (std::thread& thread : threads) thread.join();
        UsageSession::currentSession()->drain();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 3 * kPerThread);
}
BENCHMARK(BM_ErrorsFromThreeThreadsUntilRecorded)->Unit(benchmark::kMillisecond)->UseRealTime();

Bytes randomBytes(size_t size) {
    Bytes bytes(size);
    std::mt19937 random(5);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

void BM_Crc32Ours(benchmark::State& state) {
    Bytes bytes = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(UsageUtil::dataChecksum(bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Ours)->Arg(4096)->Arg(1 << 20);

// The tables alone, as on a processor without carry-less multiplication.
void BM_Crc32OursTablesOnly(benchmark::State& state) {
    Bytes bytes = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(usageCrc32Portable(bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32OursTablesOnly)->Arg(4096)->Arg(1 << 20);

void BM_Crc32Zlib(benchmark::State& state) {
    Bytes bytes = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Zlib)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();

// Logging side by side with spdlog's asynchronous logger (blocking bounded queue
// of the same size as ours, one worker, a plain file sink):
//   - what a call costs the calling thread: filtered, asynchronous info, synchronous error;
//   - sustained lines per second into a file, and that no line is dropped.
//
//   build/bench/logging/bench_logging

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "logging/file_logger.h"
#include "logging/log.h"
#include "logging/log_core.h"

namespace {

namespace logging = strombel::logging;

constexpr int kBurst = 256;  // well below both queues' bound: measures the hand-over, not back-pressure
constexpr size_t kQueueSize = logging::Log::kMaximumPendingMessages;

// Every folder of this run lives in one folder, removed when the run ends.
struct RunFolder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("strombel-bench-logging-" + std::to_string(::getpid()));
    ~RunFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};
RunFolder runFolder;

std::filesystem::path benchFolder(const std::string& name) {
    std::filesystem::path folder = runFolder.path / name;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

size_t countLines(const std::filesystem::path& folder) {
    size_t lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        lines += static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    }
    return lines;
}

// ---- Strombel: the file logger registered with the logging core.

struct StrombelSetup {
    std::filesystem::path folder;
    std::shared_ptr<logging::FileLogger> logger;

    explicit StrombelSetup(const std::string& name) : folder(benchFolder(name)) {
        auto manager = std::make_shared<logging::LogFileManagerDefault>(folder.string());
        manager->setMaximumNumberOfLogFiles(0);
        logger = std::make_shared<logging::FileLogger>(manager);
        logger->setMaximumFileSize(0);  // one file, as spdlog's basic sink
        logger->setRollingFrequency(0);
        logging::Log::addLogger(logger);
        logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning | logging::LogFlagInfo);
    }
    ~StrombelSetup() {
        logging::Log::removeAllLoggers();
        logging::Log::flushLog();
        logger.reset();
        std::filesystem::remove_all(folder);
    }
};

// ---- spdlog: an asynchronous logger on its own thread pool, blocking when full.

struct SpdlogSetup {
    std::filesystem::path folder;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    std::shared_ptr<spdlog::sinks::basic_file_sink_mt> sink;
    std::shared_ptr<spdlog::async_logger> logger;
    std::shared_ptr<spdlog::logger> syncLogger;

    explicit SpdlogSetup(const std::string& name) : folder(benchFolder(name)) {
        pool = std::make_shared<spdlog::details::thread_pool>(kQueueSize, 1);
        sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((folder / "spdlog.txt").string());
        sink->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v");  // the same line as ours
        logger = std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
        logger->set_level(spdlog::level::info);
        // The synchronous peer of an error call: written on the caller's thread, flushed to the file.
        syncLogger = std::make_shared<spdlog::logger>("bench-sync", sink);
        syncLogger->flush_on(spdlog::level::err);
    }
    void drain() {
        while (pool->queue_size() != 0) std::this_thread::yield();
        logger->flush();
        while (pool->queue_size() != 0) std::this_thread::yield();
    }
    ~SpdlogSetup() {
        logger.reset();
        syncLogger.reset();
        pool.reset();  // joins the worker after the queue is empty
        sink.reset();
        std::filesystem::remove_all(folder);
    }
};

// ---- Filtered calls: the level forbids the flag.

void BM_Filtered_Strombel(benchmark::State& state) {
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    int value = 0;
    for (auto _ : state) {
        STROMBEL_LOG_DEBUG("pad {} velocity {}", value, 0.5);
        benchmark::DoNotOptimize(value++);
    }
}
BENCHMARK(BM_Filtered_Strombel);

void BM_Filtered_Spdlog(benchmark::State& state) {
    SpdlogSetup setup("filtered");
    setup.logger->set_level(spdlog::level::warn);
    int value = 0;
    for (auto _ : state) {
        setup.logger->debug("pad {} velocity {}", value, 0.5);
        benchmark::DoNotOptimize(value++);
    }
}
BENCHMARK(BM_Filtered_Spdlog);

// ---- Asynchronous info calls, in bursts the queue holds; the drain is not timed.

void BM_AsyncInfo_Strombel(benchmark::State& state) {
    StrombelSetup setup("async-strombel");
    int value = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) STROMBEL_LOG_INFO("pad {} velocity {} sample {}", value++, 0.5, "kick.wav");
        state.PauseTiming();
        logging::Log::flushLog();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_AsyncInfo_Strombel)->UseRealTime();

void BM_AsyncInfo_Spdlog(benchmark::State& state) {
    SpdlogSetup setup("async-spdlog");
    int value = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) setup.logger->info("pad {} velocity {} sample {}", value++, 0.5, "kick.wav");
        state.PauseTiming();
        setup.drain();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_AsyncInfo_Spdlog)->UseRealTime();

// ---- Synchronous error calls: the call returns once the line is in the file.

void BM_SyncError_Strombel(benchmark::State& state) {
    StrombelSetup setup("sync-strombel");
    int value = 0;
    for (auto _ : state) STROMBEL_LOG_ERROR("engine stopped after {} buffers", value++);
}
BENCHMARK(BM_SyncError_Strombel)->UseRealTime();

void BM_SyncError_Spdlog(benchmark::State& state) {
    SpdlogSetup setup("sync-spdlog");
    int value = 0;
    for (auto _ : state) setup.syncLogger->error("engine stopped after {} buffers", value++);
}
BENCHMARK(BM_SyncError_Spdlog)->UseRealTime();

// For reference: spdlog's asynchronous logger has no synchronous call; its error
// call (with flush) returns before the line is written.
void BM_ErrorCallNoWait_SpdlogAsync(benchmark::State& state) {
    SpdlogSetup setup("error-spdlog-async");
    int value = 0;
    for (auto _ : state) {
        setup.logger->error("engine stopped after {} buffers", value++);
        setup.logger->flush();
    }
}
BENCHMARK(BM_ErrorCallNoWait_SpdlogAsync)->UseRealTime();

// ---- Sustained throughput: one producer, 200 000 lines, until they are all written.

constexpr int kLines = 200000;

void BM_FileThroughput_Strombel(benchmark::State& state) {
    size_t written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto setup = std::make_unique<StrombelSetup>("throughput-strombel");
        state.ResumeTiming();
        for (int i = 0; i < kLines; ++i) STROMBEL_LOG_INFO("pad {} velocity {} sample {}", i, 0.5, "kick.wav");
        logging::Log::flushLog();
        state.PauseTiming();
        written = countLines(setup->folder);
        setup.reset();
        state.ResumeTiming();
        if (written != kLines) state.SkipWithError("lines were dropped");
    }
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["lines_written"] = static_cast<double>(written);
}
BENCHMARK(BM_FileThroughput_Strombel)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FileThroughput_Spdlog(benchmark::State& state) {
    size_t written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto setup = std::make_unique<SpdlogSetup>("throughput-spdlog");
        state.ResumeTiming();
        for (int i = 0; i < kLines; ++i) setup->logger->info("pad {} velocity {} sample {}", i, 0.5, "kick.wav");
        setup->logger->flush();
        setup->logger.reset();
        setup->syncLogger.reset();
        setup->pool.reset();  // waits for the worker to write everything
        setup->sink->flush();
        state.PauseTiming();
        written = countLines(setup->folder);
        setup.reset();
        state.ResumeTiming();
        if (written != kLines) state.SkipWithError("lines were dropped");
    }
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["lines_written"] = static_cast<double>(written);
}
BENCHMARK(BM_FileThroughput_Spdlog)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// The HTTP client side by side with plain libcurl, against a cpp-httplib server
// on 127.0.0.1 that runs in a process of its own (forked before anything else
// starts), one server for the whole run:
//   - 10,000 GETs of 1 KiB: through an HttpNetworkQueue (4 at a time), through
//     plain libcurl multi with 4 reused easy handles, and with one easy handle in
//     sequence (requests per second);
//   - a 256 MiB download to a file: HttpRequest beside libcurl easy, both writing
//     a temporary file, syncing it and renaming it into place (bytes per second);
//   - one small GET after another: the round trip as the caller sees it, from the
//     start to the finished message on the main loop, beside curl_easy_perform;
//     and the floor of any client whose transfers run on a thread of their own:
//     one hand-off to another thread and one back to the main loop, alone
//     (ThreadHandOffs) and around curl_easy_perform (EasyRoundTripOnAnotherThread).
//     The second is the fair floor: there the threads sleep as long as a real
//     round trip lets them, and a thread that has slept that long wakes slower
//     than one in a tight ping-pong.
//
//   build/bench/http/bench_http
//
// On a shared machine the figures move with its load (and wake-ups get slower
// when it is quiet): compare peers of one run, interleaved and repeated:
//
//   build/bench/http/bench_http --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_network_queue.h"
#include "http/http_request.h"
#include "platform/main_loop.h"

namespace {

namespace http = strombel::http;
namespace platform = strombel::platform;

constexpr int kGets = 10'000;
constexpr size_t kSmallBody = 1024;
constexpr size_t kLargeBody = size_t{256} << 20;
constexpr int kPeerHandles = 4;

// ---- The server, in its own process.

void serve(int portPipe) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the run
    static const std::string small(kSmallBody, 'k');
    static const std::string chunk(size_t{1} << 20, 'd');
    httplib::Server server;
    server.set_keep_alive_max_count(1'000'000);
    server.set_tcp_nodelay(true);
    server.Get("/kib", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(small, "application/octet-stream");
    });
    server.Get("/ping", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("pong", "application/octet-stream");
    });
    server.Get("/large", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(kLargeBody, "application/octet-stream",
                                      [](size_t offset, size_t length, httplib::DataSink& sink) {
                                          size_t piece = std::min({length, chunk.size(), kLargeBody - offset});
                                          return sink.write(chunk.data(), piece);
                                      });
    });
    int port = server.bind_to_any_port("127.0.0.1");
    if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
    close(portPipe);
    server.listen_after_bind();
    _exit(0);
}

struct ServerProcess {
    pid_t pid = -1;
    int port = 0;

    ServerProcess() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            serve(fds[1]);
        }
        close(fds[1]);
        if (read(fds[0], &port, sizeof port) != sizeof port) port = 0;
        close(fds[0]);
    }
    ~ServerProcess() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    std::string url(const char* path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

ServerProcess* server = nullptr;

std::filesystem::path runFolder() {
    static std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("strombel-bench-http-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

// ---- Strombel: requests through the queue, delivered on a main loop.

struct StrombelClient {
    platform::MainLoop loop{platform::SystemClock::shared()};  // the system clock; this thread pumps it
    http::NetworkThread network{loop};
};

void BM_Strombel_QueueGets(benchmark::State& state) {
    StrombelClient client;
    int failures = 0;
    for (auto _ : state) {
        http::HttpNetworkQueue queue;
        queue.setRequestDidFinishSelector([&](http::HttpRequest& request) {
            if (request.responseData().size() != kSmallBody) ++failures;
        });
        queue.setRequestDidFailSelector([&](http::HttpRequest&) { ++failures; });
        queue.setQueueDidFinishSelector([&](http::HttpNetworkQueue&) { client.loop.quit(); });
        queue.setShouldCancelAllRequestsOnFailure(false);
        for (int i = 0; i < kGets; ++i) {
            queue.addOperation(std::make_shared<http::HttpRequest>(server->url("/kib"), client.network));
        }
        queue.go();
        client.loop.run();
    }
    if (failures) state.SkipWithError("requests failed");
    state.SetItemsProcessed(state.iterations() * kGets);
}

// ---- Plain libcurl multi: 4 easy handles, each reused for the next GET.

size_t collect(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

void BM_Curl_MultiGets(benchmark::State& state) {
    CURLM* multi = curl_multi_init();
    std::vector<CURL*> handles(kPeerHandles);
    std::vector<std::string> bodies(kPeerHandles);
    std::string url = server->url("/kib");
    for (int i = 0; i < kPeerHandles; ++i) {
        handles[i] = curl_easy_init();
        curl_easy_setopt(handles[i], CURLOPT_URL, url.c_str());
        curl_easy_setopt(handles[i], CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(handles[i], CURLOPT_WRITEDATA, &bodies[i]);
        curl_easy_setopt(handles[i], CURLOPT_PRIVATE, &bodies[i]);
    }
    int failures = 0;
    for (auto _ : state) {
        int started = 0, done = 0;
        for (CURL* handle : handles) {
            curl_multi_add_handle(multi, handle);
            ++started;
        }
        while (done < kGets) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                CURL* handle = message->easy_handle;
                std::string* body = nullptr;
                curl_easy_getinfo(handle, CURLINFO_PRIVATE, &body);
                if (message->data.result != CURLE_OK || body->size() != kSmallBody) ++failures;
                body->clear();
                ++done;
                curl_multi_remove_handle(multi, handle);
                if (started < kGets) {
                    curl_multi_add_handle(multi, handle);
                    ++started;
                }
            }
            if (done < kGets) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
    for (CURL* handle : handles) curl_easy_cleanup(handle);
    curl_multi_cleanup(multi);
    if (failures) state.SkipWithError("requests failed");
    state.SetItemsProcessed(state.iterations() * kGets);
}

// ---- Plain libcurl easy: one handle, one GET after another.

// An easy handle that GETs the server's `path` into `body`.
CURL* easyGetting(const char* path, std::string& body) {
    CURL* handle = curl_easy_init();
    curl_easy_setopt(handle, CURLOPT_URL, server->url(path).c_str());  // libcurl copies it
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    return handle;
}

void BM_Curl_EasyGetsInSequence(benchmark::State& state) {
    std::string body;
    CURL* handle = easyGetting("/kib", body);
    int failures = 0;
    for (auto _ : state) {
        for (int i = 0; i < kGets; ++i) {
            body.clear();
            if (curl_easy_perform(handle) != CURLE_OK || body.size() != kSmallBody) ++failures;
        }
    }
    curl_easy_cleanup(handle);
    if (failures) state.SkipWithError("requests failed");
    state.SetItemsProcessed(state.iterations() * kGets);
}

// ---- A 256 MiB download to a file.

struct Finish : http::HttpRequestDelegate {
    platform::MainLoop* loop;
    bool failed = false;
    void requestFinished(http::HttpRequest&) override { loop->quit(); }
    void requestFailed(http::HttpRequest&) override {
        failed = true;
        loop->quit();
    }
};

void BM_Strombel_Download(benchmark::State& state) {
    StrombelClient client;
    std::filesystem::path destination = runFolder() / "strombel.bin";
    bool failed = false;
    for (auto _ : state) {
        http::HttpRequest request(server->url("/large"), client.network);
        Finish finish;
        finish.loop = &client.loop;
        request.setDelegate(&finish);
        request.setDownloadDestinationPath(destination);
        request.startAsynchronous();
        client.loop.run();
        failed |= finish.failed || std::filesystem::file_size(destination) != kLargeBody;
    }
    std::filesystem::remove(destination);
    if (failed) state.SkipWithError("the download failed");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLargeBody));
}

size_t writeToFile(char* data, size_t size, size_t count, void* fd) {
    size_t length = size * count;
    size_t written = 0;
    while (written < length) {
        ssize_t wrote = write(*static_cast<int*>(fd), data + written, length - written);
        if (wrote <= 0) return 0;
        written += static_cast<size_t>(wrote);
    }
    return length;
}

void BM_Curl_EasyDownload(benchmark::State& state) {
    CURL* handle = curl_easy_init();
    std::string url = server->url("/large");
    std::filesystem::path destination = runFolder() / "curl.bin";
    std::filesystem::path temporary = runFolder() / "curl.bin.part";
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeToFile);
    bool failed = false;
    for (auto _ : state) {
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &fd);
        failed |= curl_easy_perform(handle) != CURLE_OK;
        failed |= fsync(fd) != 0;
        close(fd);
        failed |= rename(temporary.c_str(), destination.c_str()) != 0;
        failed |= std::filesystem::file_size(destination) != kLargeBody;
    }
    curl_easy_cleanup(handle);
    std::filesystem::remove(destination);
    if (failed) state.SkipWithError("the download failed");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLargeBody));
}

// ---- One request at a time: the round trip.

void BM_Strombel_RoundTrip(benchmark::State& state) {
    StrombelClient client;
    std::string url = server->url("/ping");
    bool failed = false;
    for (auto _ : state) {
        http::HttpRequest request(url, client.network);
        Finish finish;
        finish.loop = &client.loop;
        request.setDelegate(&finish);
        request.startAsynchronous();
        client.loop.run();
        failed |= finish.failed;
    }
    if (failed) state.SkipWithError("a request failed");
}

void BM_Curl_EasyRoundTrip(benchmark::State& state) {
    std::string body;
    CURL* handle = easyGetting("/ping", body);
    bool failed = false;
    for (auto _ : state) {
        body.clear();
        failed |= curl_easy_perform(handle) != CURLE_OK;
    }
    curl_easy_cleanup(handle);
    if (failed) state.SkipWithError("a request failed");
}

// The same primitives as the client's hand-offs: to the other thread under a
// mutex, back with MainLoop::post. `work` runs on the other thread in between.
void handOffs(benchmark::State& state, const std::function<bool()>& work) {
    platform::MainLoop loop{platform::SystemClock::shared()};
    std::mutex mutex;
    std::condition_variable wake;
    bool pending = false;
    bool stopping = false;
    bool failed = false;
    std::thread other([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return pending || stopping; });
            if (stopping) return;
            pending = false;
            failed |= !work();
            loop.post([&] { loop.quit(); });
        }
    });
    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            pending = true;
        }
        wake.notify_one();
        loop.run();
    }
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    other.join();
    if (failed) state.SkipWithError("a request failed");
}

// No network at all.
void BM_Baseline_ThreadHandOffs(benchmark::State& state) {
    handOffs(state, [] { return true; });
}

// curl_easy_perform on a reused handle, on the other thread.
void BM_Baseline_EasyRoundTripOnAnotherThread(benchmark::State& state) {
    std::string body;
    CURL* handle = easyGetting("/ping", body);
    handOffs(state, [&] {
        body.clear();
        return curl_easy_perform(handle) == CURLE_OK;
    });
    curl_easy_cleanup(handle);
}

}  // namespace

int main(int argc, char** argv) {
    ServerProcess process;  // before any thread of ours exists
    if (process.port <= 0) {
        std::fprintf(stderr, "bench_http: the server process did not start\n");
        return 1;
    }
    server = &process;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("Strombel/QueueGets_10000x1KiB", BM_Strombel_QueueGets)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    benchmark::RegisterBenchmark("Curl/MultiGets_10000x1KiB_4handles", BM_Curl_MultiGets)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    benchmark::RegisterBenchmark("Curl/EasyGetsInSequence_10000x1KiB", BM_Curl_EasyGetsInSequence)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    benchmark::RegisterBenchmark("Strombel/Download_256MiB", BM_Strombel_Download)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    benchmark::RegisterBenchmark("Curl/EasyDownload_256MiB", BM_Curl_EasyDownload)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    benchmark::RegisterBenchmark("Strombel/RoundTrip", BM_Strombel_RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("Curl/EasyRoundTrip", BM_Curl_EasyRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("Baseline/ThreadHandOffs", BM_Baseline_ThreadHandOffs)
        ->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("Baseline/EasyRoundTripOnAnotherThread", BM_Baseline_EasyRoundTripOnAnotherThread)
        ->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(runFolder(), ignored);
    return 0;
}

#include "store/store_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace strombel::testing {

std::string waveBytes(size_t frames, int channels) {
    TempDir dir;
    const std::filesystem::path path = dir / "sound.wav";
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    if (SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info)) {
        std::vector<float> samples(frames * size_t(channels));
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * float(std::sin(double(i) * 0.05));
        sf_writef_float(file, samples.data(), sf_count_t(frames));
        sf_close(file);
    }
    std::ifstream stream(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

std::string packText(const std::string& id, const std::vector<std::string>& files, const std::string& name) {
    std::string sounds;
    for (const std::string& file : files) sounds += std::string(sounds.empty() ? "" : ", ") + "{\"file\": \"" + file + "\"}";
    const std::string title = name.empty() ? id : name;
    return "{\"id\": \"" + id + "\", \"name\": \"" + title + "\", \"banks\": [{\"name\": \"" + title +
           " bank\", \"sounds\": [" + sounds + "]}]}";
}

std::string catalogueEntry(const std::string& id, const std::vector<std::string>& files, const std::string& icon) {
    std::string list;
    for (const std::string& file : files) list += std::string(list.empty() ? "" : ", ") + "\"" + file + "\"";
    return "{\"id\": \"" + id + "\", \"title\": \"" + id + " title\", \"description\": \"About " + id +
           "\", \"contents\": \"" + std::to_string(files.size()) + " files\"" +
           (icon.empty() ? std::string() : ", \"icon\": \"" + icon + "\"") + ", \"files\": [" + list + "]}";
}

// ---- The server ----

StoreServer::StoreServer() {
    server_.Get(R"(/store/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string name = request.matches[1];
        size_t now = ++concurrent_;
        size_t seen = maximumConcurrent_.load();
        while (now > seen && !maximumConcurrent_.compare_exchange_weak(seen, now)) {
        }
        File file;
        bool found = false;
        {
            std::lock_guard lock(mutex_);
            ++counts_[name];
            authorizations_.push_back(request.get_header_value("Authorization"));
            auto it = files_.find(name);
            if (it != files_.end()) {
                file = it->second;
                found = true;
            }
        }
        // Holding the answer lets downloads overlap, so that the client's limit shows.
        std::this_thread::sleep_for(delay_.load());
        if (found && file.held) {
            std::unique_lock lock(mutex_);
            gateChanged_.wait(lock, [this] { return gateOpen_ || stopped_; });
        }
        --concurrent_;
        // "drummer:s3cret", as Basic authentication sends it.
        if (credentialsRequired_ && request.get_header_value("Authorization") != "Basic ZHJ1bW1lcjpzM2NyZXQ=") {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"store\"");
            return;
        }
        if (!found) {
            response.status = 404;
            response.set_content("no such file", "text/plain");
            return;
        }
        response.status = file.status;
        if (file.endless) {
            const std::string chunk = file.body;
            response.set_chunked_content_provider(
                "application/octet-stream",
                [this, chunk](size_t, httplib::DataSink& sink) {
                    if (!sink.write(chunk.data(), chunk.size())) return false;
                    endlessBytes_ += chunk.size();
                    return true;
                },
                [this](bool) { ++endlessEnded_; });
            return;
        }
        if (file.trickles) {
            const std::string body = file.body;
            response.set_content_provider(body.size(), "application/octet-stream",
                                          [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                              std::unique_lock lock(mutex_);
                                              gateChanged_.wait(lock, [&] { return stopped_ || trickleAllowed_ > offset; });
                                              if (stopped_) return false;
                                              lock.unlock();
                                              if (!sink.write(body.data() + offset, 1)) return false;
                                              ++trickleSent_;
                                              return true;
                                          });
            return;
        }
        if (file.shortBy == 0) {
            response.set_content(file.body, "application/octet-stream");
            return;
        }
        const std::string body = file.body;
        response.set_content_provider(body.size() + file.shortBy, "application/octet-stream",
                                      [body](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset < body.size()) {
                                              sink.write(body.data() + offset, body.size() - offset);
                                              return true;
                                          }
                                          return false;  // closes the connection early
                                      });
    });
    // An idle connection holds stop() up for this long.
    server_.set_keep_alive_timeout(1);
    server_.set_tcp_nodelay(true);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StoreServer::~StoreServer() { stop(); }

void StoreServer::openGate() {
    std::lock_guard lock(mutex_);
    gateOpen_ = true;
    gateChanged_.notify_all();
}

void StoreServer::letOneByteTrickle() {
    std::lock_guard lock(mutex_);
    ++trickleAllowed_;
    gateChanged_.notify_all();
}

void StoreServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    gateChanged_.notify_all();
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void StoreServer::put(const std::string& name, File file) {
    std::lock_guard lock(mutex_);
    files_[name] = std::move(file);
}

void StoreServer::remove(const std::string& name) {
    std::lock_guard lock(mutex_);
    files_.erase(name);
}

std::vector<std::string> StoreServer::authorizations() const {
    std::lock_guard lock(mutex_);
    return authorizations_;
}

size_t StoreServer::requestCount(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(name);
    return it == counts_.end() ? 0 : it->second;
}

size_t StoreServer::totalRequests() const {
    std::lock_guard lock(mutex_);
    size_t total = 0;
    for (const auto& [name, count] : counts_) total += count;
    return total;
}

// ---- The installation ----

StoreWorld::StoreWorld() {
    settings_.setBaseURL(server_.baseURL());
    settings_.username = kStoreUser;
    settings_.password = kStorePassword;
    network_ = std::make_unique<http::NetworkThread>(world_.loop());
}

StoreWorld::~StoreWorld() { quit(); }

library::SoundDataManager& StoreWorld::launch() {
    quit();
    library::SoundDataManager& library = world_.launch();
    library.addDelegate(&observer_);
    auto store = std::make_unique<store::LibraryStore>(store::StoreServices{library, settings_, *network_, nullptr});
    store_ = store.get();
    library.setStore(std::move(store));
    return library;
}

void StoreWorld::quit() {
    store_ = nullptr;
    world_.quit();
}

bool StoreWorld::pumpUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        world_.loop().runPending();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

bool StoreWorld::launchAndLoad() {
    const int loadedBefore = observer_.loaded;
    const bool failedBefore = observer_.loadingError.has_value();
    observer_.loadingError.reset();
    (void)failedBefore;
    launch();
    return pumpUntil([&] { return observer_.loaded > loadedBefore || observer_.loadingError.has_value(); });
}

library::StoreItemProgress StoreWorld::install(const std::string& identifier) {
    if (!store().downloadStoreItem(identifier)) return store().progressOfStoreItem(identifier);
    pumpUntil([&] {
        auto phase = store().progressOfStoreItem(identifier).phase;
        return phase == library::StoreItemProgress::Phase::installed ||
               phase == library::StoreItemProgress::Phase::failed;
    });
    // Let the queue's last messages arrive.
    pumpUntil([&] { return store().networkQueue().requestsCount() == 0; });
    return store().progressOfStoreItem(identifier);
}

std::string StoreWorld::snapshot() {
    std::ostringstream out;
    library::SoundDataManager& library = this->library();
    for (const auto& pack : library.soundpacks()) {
        std::vector<std::string> paths;
        for (const auto& sample : pack->samplesInPack()) paths.push_back(sample->filepath() + "=" + sample->name());
        std::sort(paths.begin(), paths.end());
        out << "pack " << pack->packId() << " " << pack->name() << "\n";
        for (const auto& path : paths) out << "  " << path << "\n";
    }
    const auto banks = library.soundbanks();
    for (size_t b = 0; b < banks.size(); ++b) {
        out << "bank " << banks[b]->name() << ":";
        for (const std::string& path : library.samplePathsOfSoundbank(b)) out << " " << path;
        out << "\n";
    }
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(downloads(), error)) {
        files.push_back(entry.path().filename().string() + " " + std::to_string(entry.file_size(error)));
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) out << "file " << file << "\n";
    return out.str();
}

}  // namespace strombel::testing

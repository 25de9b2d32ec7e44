#include "platform/directory_service_discovery.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace strombel::platform {

namespace {

constexpr const char* kFileSuffix = ".service";
constexpr const char* kMagic = "strombel-service 1";
// A service file is a few hundred bytes; anything far larger is not one.
constexpr std::uintmax_t kMaximumFileSize = 256 * 1024;
constexpr uint64_t kRescanInterval = kNanosPerSecond;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::optional<std::string> unhex(const std::string& text) {
    if (text.size() % 2) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = value(text[i]), low = value(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::vector<SocketAddress> loopbackAddresses(uint16_t port) {
    std::vector<SocketAddress> addresses;
    if (auto v4 = SocketAddress::fromText("127.0.0.1", port)) addresses.push_back(*v4);
    if (auto v6 = SocketAddress::fromText("::1", port)) addresses.push_back(*v6);
    return addresses;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    if (error || size > kMaximumFileSize) return std::nullopt;
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

}  // namespace

std::vector<std::string> ServiceDiscovery::dropOversizedEntries(TxtRecord& txt) {
    std::vector<std::string> dropped;
    for (auto it = txt.begin(); it != txt.end();) {
        if (it->first.size() + 1 + it->second.size() > kMaximumTxtEntryLength) {
            dropped.push_back(it->first);
            it = txt.erase(it);
        } else {
            ++it;
        }
    }
    return dropped;
}

// ---- the file format -------------------------------------------------------

std::string DirectoryServiceDiscovery::encode(const Entry& entry) {
    std::string text = std::string(kMagic) + "\n";
    text += "name " + hex(entry.record.name) + "\n";
    text += "type " + hex(entry.record.type) + "\n";
    text += "port " + std::to_string(entry.record.port) + "\n";
    text += "pid " + std::to_string(entry.owner) + "\n";
    for (const auto& address : entry.record.addresses) text += "address " + address.hostText() + "\n";
    for (const auto& [key, value] : entry.record.txt) text += "txt " + hex(key) + " " + hex(value) + "\n";
    return text;
}

std::optional<DirectoryServiceDiscovery::Entry> DirectoryServiceDiscovery::decode(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kMagic) return std::nullopt;
    Entry entry;
    bool hasName = false, hasType = false, hasPort = false;
    std::vector<std::string> hosts;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field, first, second;
        fields >> field >> first;
        if (field == "name") {
            auto name = unhex(first);
            if (!name) return std::nullopt;
            entry.record.name = *name;
            hasName = true;
        } else if (field == "type") {
            auto type = unhex(first);
            if (!type) return std::nullopt;
            entry.record.type = *type;
            hasType = true;
        } else if (field == "port") {
            char* end = nullptr;
            unsigned long port = std::strtoul(first.c_str(), &end, 10);
            if (first.empty() || *end || port == 0 || port > 65535) return std::nullopt;
            entry.record.port = static_cast<uint16_t>(port);
            hasPort = true;
        } else if (field == "pid") {
            char* end = nullptr;
            long pid = std::strtol(first.c_str(), &end, 10);
            if (first.empty() || *end || pid <= 0) return std::nullopt;
            entry.owner = static_cast<pid_t>(pid);
        } else if (field == "address") {
            hosts.push_back(first);
        } else if (field == "txt") {
            fields >> second;
            auto key = unhex(first);
            auto value = unhex(second);
            if (!key || !value || key->empty()) return std::nullopt;
            entry.record.txt[*key] = *value;
        }
    }
    if (!hasName || !hasType || !hasPort || entry.owner == 0) return std::nullopt;
    for (const auto& host : hosts) {
        if (auto address = SocketAddress::fromText(host, entry.record.port)) entry.record.addresses.push_back(*address);
    }
    return entry;
}

std::string DirectoryServiceDiscovery::fileName(const std::string& type, const std::string& name) {
    // Percent-escapes everything but letters, digits and a few safe marks, so the
    // name is one path component that never begins with ".".
    std::string escaped;
    auto append = [&](const std::string& text) {
        for (unsigned char c : text) {
            bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                         c == '-' || (c == '.' && !escaped.empty());
            if (plain) {
                escaped += static_cast<char>(c);
            } else {
                static const char digits[] = "0123456789ABCDEF";
                escaped += '%';
                escaped += digits[c >> 4];
                escaped += digits[c & 15];
            }
        }
    };
    append(type);
    escaped += '@';
    append(name);
    // File names are at most 255 bytes; names (under 64 bytes) always fit escaped.
    if (escaped.size() > 200) escaped.resize(200);
    return escaped + kFileSuffix;
}

bool DirectoryServiceDiscovery::ownerAlive(pid_t owner) {
    if (owner <= 0) return false;
    if (::kill(owner, 0) == 0) return true;
    if (errno == EPERM) return true;  // alive, owned by another user
    return false;
}

bool DirectoryServiceDiscovery::writeEntry(const std::filesystem::path& folder, const Entry& entry, bool exclusive,
                                           bool* collision) {
    if (collision) *collision = false;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::string pattern = (folder / ".tmp-XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) return false;
    std::string text = encode(entry);
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = ::fsync(fd) == 0 && written;
    ::fchmod(fd, 0644);
    ::close(fd);
    std::filesystem::path target = folder / fileName(entry.record.type, entry.record.name);
    bool ok = false;
    if (written && !exclusive) {
        ok = ::rename(pattern.c_str(), target.c_str()) == 0;
    } else if (written) {
        // link() refuses to replace: exactly one publisher gets the name.
        for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
            if (::link(pattern.c_str(), target.c_str()) == 0) {
                ok = true;
                break;
            }
            if (errno != EEXIST) break;
            auto existing = readSmallFile(target);
            auto old = existing ? decode(*existing) : std::nullopt;
            if (old && ownerAlive(old->owner)) {
                if (collision) *collision = true;
                break;
            }
            ::unlink(target.c_str());  // a dead owner's (or unreadable) leftover
        }
    }
    ::unlink(pattern.c_str());
    return ok;
}

std::vector<DirectoryServiceDiscovery::Entry> DirectoryServiceDiscovery::readFolder(
    const std::filesystem::path& folder) {
    std::vector<Entry> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string file = it->path().filename().string();
        if (file.empty() || file[0] == '.' || !file.ends_with(kFileSuffix)) continue;
        auto text = readSmallFile(it->path());
        if (!text) continue;
        auto entry = decode(*text);
        // A file under another name than its own would let one service shadow another.
        if (!entry || fileName(entry->record.type, entry->record.name) != file) continue;
        if (!ownerAlive(entry->owner)) continue;
        entries.push_back(std::move(*entry));
    }
    return entries;
}

// ---- the discovery ---------------------------------------------------------

DirectoryServiceDiscovery::DirectoryServiceDiscovery(std::filesystem::path folder, MainLoop& loop)
    : folder_(std::move(folder)), loop_(loop), alive_(std::make_shared<DirectoryServiceDiscovery*>(this)) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    ::chmod(folder_.c_str(), 0700);
    startWatcher();
}

DirectoryServiceDiscovery::~DirectoryServiceDiscovery() {
    stopWatcher();
    if (rescanTimer_) loop_.cancel(rescanTimer_);
    for (auto& [id, resolve] : resolves_) loop_.cancel(resolve.timer);
    for (auto& [id, publication] : publications_) ::unlink(publication.file.c_str());
    alive_.reset();
}

std::filesystem::path DirectoryServiceDiscovery::defaultFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::filesystem::path(runtime) / "strombel-services";
    }
    return std::filesystem::temp_directory_path() / ("strombel-services-" + std::to_string(::getuid()));
}

void DirectoryServiceDiscovery::deliverLater(std::function<void()> work) {
    std::weak_ptr<DirectoryServiceDiscovery*> alive = alive_;
    loop_.post([alive, work = std::move(work)] {
        if (alive.lock()) work();
    });
}

DirectoryServiceDiscovery::Entry DirectoryServiceDiscovery::entryFor(const ServicePublication& publication) const {
    Entry entry;
    entry.record.name = publication.name;
    entry.record.type = publication.type;
    entry.record.port = publication.port;
    entry.record.addresses = publication.addresses.empty() ? loopbackAddresses(publication.port) : publication.addresses;
    for (auto& address : entry.record.addresses) address.setPort(publication.port);
    entry.record.txt = publication.txt;
    dropOversizedEntries(entry.record.txt);
    entry.owner = ::getpid();
    return entry;
}

ServiceDiscovery::Id DirectoryServiceDiscovery::publish(const ServicePublication& publication,
                                                        PublishHandler handler) {
    Id id = nextId_++;
    bool collision = false;
    bool ok = writeEntry(folder_, entryFor(publication), true, &collision);
    int32_t result = ok ? 0 : collision ? ErrorNameCollision : ErrorUnknown;
    if (ok) publications_[id] = {publication, folder_ / fileName(publication.type, publication.name)};
    deliverLater([handler, result] { handler(result); });
    return id;
}

bool DirectoryServiceDiscovery::updateTxt(Id id, const TxtRecord& txt) {
    auto it = publications_.find(id);
    if (it == publications_.end()) return false;
    it->second.publication.txt = txt;
    return writeEntry(folder_, entryFor(it->second.publication), false);
}

void DirectoryServiceDiscovery::unpublish(Id id) {
    auto it = publications_.find(id);
    if (it == publications_.end()) return;
    // Only our own file: another process may hold the name by now.
    auto text = readSmallFile(it->second.file);
    auto entry = text ? decode(*text) : std::nullopt;
    if (entry && entry->owner == ::getpid()) ::unlink(it->second.file.c_str());
    publications_.erase(it);
}

ServiceDiscovery::Id DirectoryServiceDiscovery::browse(const std::string& type, BrowseHandlers handlers) {
    Id id = nextId_++;
    browses_[id] = Browse{type, std::move(handlers), {}};
    updateRescanTimer();
    rescanSoon();
    return id;
}

void DirectoryServiceDiscovery::stopBrowsing(Id id) {
    browses_.erase(id);
    updateRescanTimer();
}

void DirectoryServiceDiscovery::resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                                        ResolveHandler handler) {
    Id id = nextId_++;
    std::weak_ptr<DirectoryServiceDiscovery*> alive = alive_;
    auto timer = loop_.schedule(timeoutNanos, [this, alive, id] {
        if (!alive.lock()) return;
        auto it = resolves_.find(id);
        if (it == resolves_.end()) return;
        auto handler = std::move(it->second.handler);
        resolves_.erase(it);
        updateRescanTimer();
        handler(std::nullopt);
    });
    resolves_[id] = PendingResolve{name, type, std::move(handler), timer};
    updateRescanTimer();
    rescanSoon();
}

ServiceDiscovery::Id DirectoryServiceDiscovery::watchTxt(const std::string& name, const std::string& type,
                                                         TxtHandler handler) {
    Id id = nextId_++;
    // The record found at the next rescan is reported first, then each change.
    watches_[id] = Watch{name, type, std::move(handler), std::nullopt};
    updateRescanTimer();
    rescanSoon();
    return id;
}

void DirectoryServiceDiscovery::stopWatching(Id id) {
    watches_.erase(id);
    updateRescanTimer();
}

void DirectoryServiceDiscovery::rescanSoon() {
    // One rescan serves every request made before it runs.
    if (!rescanPosted_.exchange(true)) deliverLater([this] { rescan(); });
}

void DirectoryServiceDiscovery::updateRescanTimer() {
    bool needed = !browses_.empty() || !watches_.empty() || !resolves_.empty();
    if (needed && !rescanTimer_) {
        std::weak_ptr<DirectoryServiceDiscovery*> alive = alive_;
        rescanTimer_ = loop_.scheduleRepeating(kRescanInterval, [this, alive] {
            if (alive.lock()) rescan();
        });
    } else if (!needed && rescanTimer_) {
        loop_.cancel(rescanTimer_);
        rescanTimer_ = 0;
    }
}

void DirectoryServiceDiscovery::rescan() {
    rescanPosted_.store(false);
    auto entries = readFolder(folder_);
    // Handlers may start or stop browses: work on copies of the ids.
    std::vector<Id> browseIds;
    for (auto& [id, browse] : browses_) browseIds.push_back(id);
    for (Id id : browseIds) {
        auto it = browses_.find(id);
        if (it == browses_.end()) continue;
        std::set<std::string> now;
        for (auto& entry : entries) {
            if (entry.record.type == it->second.type) now.insert(entry.record.name);
        }
        std::vector<std::string> found, removed;
        for (auto& name : now) {
            if (!it->second.known.count(name)) found.push_back(name);
        }
        for (auto& name : it->second.known) {
            if (!now.count(name)) removed.push_back(name);
        }
        it->second.known = now;
        auto handlers = it->second.handlers;
        for (auto& name : removed) {
            if (handlers.removed) handlers.removed(name);
        }
        for (auto& name : found) {
            if (handlers.found) handlers.found(name);
        }
    }
    std::vector<Id> resolveIds;
    for (auto& [id, resolve] : resolves_) resolveIds.push_back(id);
    for (Id id : resolveIds) {
        auto it = resolves_.find(id);
        if (it == resolves_.end()) continue;
        for (auto& entry : entries) {
            if (entry.record.name != it->second.name || entry.record.type != it->second.type) continue;
            auto handler = std::move(it->second.handler);
            loop_.cancel(it->second.timer);
            resolves_.erase(it);
            handler(entry.record);
            break;
        }
    }
    std::vector<Id> watchIds;
    for (auto& [id, watch] : watches_) watchIds.push_back(id);
    for (Id id : watchIds) {
        auto it = watches_.find(id);
        if (it == watches_.end()) continue;
        for (auto& entry : entries) {
            if (entry.record.name != it->second.name || entry.record.type != it->second.type) continue;
            if (it->second.last != entry.record.txt) {
                it->second.last = entry.record.txt;
                auto handler = it->second.handler;
                handler(entry.record.txt);
            }
            break;
        }
    }
    updateRescanTimer();
}

void DirectoryServiceDiscovery::startWatcher() {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeup_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotify_ < 0 || wakeup_ < 0) return;  // the rescan timer still notices changes
    if (::inotify_add_watch(inotify_, folder_.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_ATTRIB) < 0) {
        return;
    }
    watcher_ = std::thread([this] {
        alignas(inotify_event) char buffer[4096];
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {wakeup_, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            bool changed = false;
            while (::read(inotify_, buffer, sizeof buffer) > 0) changed = true;
            if (changed) rescanSoon();
        }
    });
}

void DirectoryServiceDiscovery::stopWatcher() {
    if (watcher_.joinable()) {
        uint64_t one = 1;
        (void)!::write(wakeup_, &one, sizeof one);
        watcher_.join();
    }
    if (inotify_ >= 0) ::close(inotify_);
    if (wakeup_ >= 0) ::close(wakeup_);
    inotify_ = wakeup_ = -1;
}

}  // namespace strombel::platform

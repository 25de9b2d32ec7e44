#include "platform/directory_service_discovery.h"

#include <fcntl.h>
#include <signal.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "platform/directory_folder_reader.h"
#include "platform/runtime_folder.h"
#include "platform/whole_file.h"

namespace strombel::platform {

namespace {
constexpr const char* kFileSuffix = ".service";
}  // namespace

namespace directory_files {

bool isAnnouncementName(const char* name) {
    std::string_view text(name);
    return !text.empty() && text[0] != '.' && text.ends_with(kFileSuffix);
}

bool mayBeAnnouncement(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_size >= 0 &&
           uintmax_t(info.st_size) <= DirectoryServiceDiscovery::kMaximumAnnouncementSize;
}

}  // namespace directory_files

namespace {

using directory_files::isAnnouncementName;
using directory_files::mayBeAnnouncement;

constexpr const char* kMagic = "strombel-service 1";
constexpr uint64_t kOwnerCheckInterval = kNanosPerSecond;

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

std::optional<std::string> unhex(std::string_view text) {
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

// The first three fields of a line, split at blanks (missing ones empty).
std::array<std::string_view, 3> splitFields(std::string_view line) {
    std::array<std::string_view, 3> fields{};
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    size_t at = 0;
    for (auto& field : fields) {
        while (at < line.size() && blank(line[at])) ++at;
        size_t start = at;
        while (at < line.size() && !blank(line[at])) ++at;
        field = line.substr(start, at - start);
    }
    return fields;
}

// A decimal number of at most `largest`, digits only.
std::optional<uint64_t> decimal(std::string_view text, uint64_t largest) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > largest) return std::nullopt;
    return value;
}

std::vector<SocketAddress> loopbackAddresses(uint16_t port) {
    std::vector<SocketAddress> addresses;
    if (auto v4 = SocketAddress::fromText("127.0.0.1", port)) addresses.push_back(*v4);
    if (auto v6 = SocketAddress::fromText("::1", port)) addresses.push_back(*v6);
    return addresses;
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

std::optional<DirectoryServiceDiscovery::Entry> DirectoryServiceDiscovery::decode(std::string_view text) {
    if (text.size() > kMaximumAnnouncementSize) return std::nullopt;
    auto nextLine = [&text]() -> std::optional<std::string_view> {
        if (text.empty()) return std::nullopt;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        return line;
    };
    auto first = nextLine();
    if (!first || *first != kMagic) return std::nullopt;
    Entry entry;
    bool hasName = false, hasType = false, hasPort = false;
    std::vector<std::string> hosts;
    while (auto line = nextLine()) {
        auto fields = splitFields(*line);
        const std::string_view field = fields[0], one = fields[1], two = fields[2];
        if (field == "name") {
            auto name = unhex(one);
            if (!name) return std::nullopt;
            entry.record.name = std::move(*name);
            hasName = true;
        } else if (field == "type") {
            auto type = unhex(one);
            if (!type) return std::nullopt;
            entry.record.type = std::move(*type);
            hasType = true;
        } else if (field == "port") {
            auto port = decimal(one, 65535);
            if (!port || *port == 0) return std::nullopt;
            entry.record.port = static_cast<uint16_t>(*port);
            hasPort = true;
        } else if (field == "pid") {
            auto pid = decimal(one, 0x7fffffff);
            if (!pid || *pid == 0) return std::nullopt;
            entry.owner = static_cast<pid_t>(*pid);
        } else if (field == "address") {
            hosts.emplace_back(one);
        } else if (field == "txt") {
            auto key = unhex(one);
            auto value = unhex(two);
            if (!key || !value || key->empty()) return std::nullopt;
            entry.record.txt[*key] = std::move(*value);
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

std::optional<std::string> DirectoryServiceDiscovery::readAnnouncement(int folderFd, const char* name) {
    // Never blocks (a FIFO opens at once and is refused), never follows a link,
    // and reads no more than an announcement may have, whatever is swapped in
    // between the look and the read.
    int fd = ::openat(folderFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && mayBeAnnouncement(info)) {
        std::string bytes(size_t(info.st_size) + 1, '\0');
        size_t filled = 0;
        while (filled < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            filled += size_t(n);
        }
        // One byte more than its size means it grew while read: not taken.
        if (filled <= kMaximumAnnouncementSize && filled <= size_t(info.st_size)) {
            bytes.resize(filled);
            text = std::move(bytes);
        }
    }
    ::close(fd);
    return text;
}

std::optional<DirectoryServiceDiscovery::Entry> DirectoryServiceDiscovery::readEntry(int folderFd, const char* name) {
    auto text = readAnnouncement(folderFd, name);
    if (!text) return std::nullopt;
    auto entry = decode(*text);
    // A file under another name than its own would let one service shadow another.
    if (!entry || fileName(entry->record.type, entry->record.name) != name) return std::nullopt;
    return entry;
}

namespace {

// Reads one file of a folder given by path, as the folder's thread does.
std::optional<DirectoryServiceDiscovery::Entry> readEntryAt(const std::filesystem::path& file) {
    int folder = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return std::nullopt;
    auto entry = DirectoryServiceDiscovery::readEntry(folder, file.filename().c_str());
    ::close(folder);
    return entry;
}

}  // namespace

bool DirectoryServiceDiscovery::writeEntry(const std::filesystem::path& folder, const Entry& entry, bool exclusive,
                                           bool* collision) {
    if (collision) *collision = false;
    std::string text = encode(entry);
    if (text.size() > kMaximumAnnouncementSize) return false;  // nobody would read it
    std::error_code error;
    std::filesystem::create_directories(folder.parent_path(), error);
    ::mkdir(folder.c_str(), 0700);
    const std::filesystem::path target = folder / fileName(entry.record.type, entry.record.name);
    WholeFile file(target, WholeFileOptions().named(".tmp-XXXXXX").withMode(0644));
    if (!file.write(text)) return false;
    if (!exclusive) return file.commit().ok();
    // A refusing rename: exactly one publisher gets the name.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Result<void> published = file.commitWithoutReplacing(target);
        if (published.ok()) return true;
        if (published.error().code != EEXIST) return false;
        auto old = readEntryAt(target);
        if (old && ownerAlive(old->owner)) {
            if (collision) *collision = true;
            return false;
        }
        ::unlink(target.c_str());  // a dead owner's (or unreadable) leftover
    }
    return false;
}

std::vector<DirectoryServiceDiscovery::Entry> DirectoryServiceDiscovery::readFolder(
    const std::filesystem::path& folder) {
    std::vector<Entry> entries;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return entries;
    DIR* listing = ::fdopendir(::dup(fd));
    if (listing) ::rewinddir(listing);
    size_t looked = 0;
    while (listing && looked < kMaximumEntries) {
        const dirent* item = ::readdir(listing);
        if (!item) break;
        if (!isAnnouncementName(item->d_name)) continue;
        ++looked;
        auto entry = readEntry(fd, item->d_name);
        if (entry && ownerAlive(entry->owner)) entries.push_back(std::move(*entry));
    }
    if (listing) ::closedir(listing);
    ::close(fd);
    return entries;
}

// ---- the discovery ---------------------------------------------------------

DirectoryServiceDiscovery::DirectoryServiceDiscovery(std::filesystem::path folder, MainLoop& loop)
    : folder_(std::move(folder)), loop_(loop), alive_(std::make_shared<DirectoryServiceDiscovery*>(this)) {
    if (const Result<void> prepared = preparePrivateFolder(folder_); !prepared) {
        refusal_ = "Service discovery is off: " + prepared.error().message();
        return;
    }
    std::weak_ptr<DirectoryServiceDiscovery*> alive = alive_;
    reader_ = std::make_unique<FolderReader>(folder_, [this, alive] {
        loop_.post([this, alive] {
            if (alive.lock()) take();
        });
    });
}

DirectoryServiceDiscovery::~DirectoryServiceDiscovery() {
    reader_.reset();
    if (checkTimer_) loop_.cancel(checkTimer_);
    for (auto& [id, resolve] : resolves_) loop_.cancel(resolve.timer);
    for (auto& [id, publication] : publications_) ::unlink(publication.file.c_str());
    alive_.reset();
}

std::filesystem::path DirectoryServiceDiscovery::defaultFolder() {
    if (auto runtime = userRuntimeFolder()) return *runtime / "strombel-services";
    return std::filesystem::temp_directory_path() / ("strombel-services-" + std::to_string(::geteuid()));
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
    bool ok = refusal_.empty() && writeEntry(folder_, entryFor(publication), true, &collision);
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
    auto entry = readEntryAt(it->second.file);
    if (entry && entry->owner == ::getpid()) ::unlink(it->second.file.c_str());
    publications_.erase(it);
}

ServiceDiscovery::Id DirectoryServiceDiscovery::browse(const std::string& type, BrowseHandlers handlers) {
    Id id = nextId_++;
    Browse& browse = browses_[id] = Browse{type, std::move(handlers), {}, {}};
    for (auto entry = live_.lower_bound(Key{type, ""}); entry != live_.end() && entry->first.first == type; ++entry)
        browse.dirty.insert(entry->first.second);
    updateCheckTimer();
    deliverSoon();
    return id;
}

void DirectoryServiceDiscovery::stopBrowsing(Id id) {
    browses_.erase(id);
    updateCheckTimer();
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
        updateCheckTimer();
        handler(std::nullopt);
    });
    resolves_[id] = PendingResolve{name, type, std::move(handler), timer};
    updateCheckTimer();
    deliverSoon();
}

ServiceDiscovery::Id DirectoryServiceDiscovery::watchTxt(const std::string& name, const std::string& type,
                                                         TxtHandler handler) {
    Id id = nextId_++;
    // The record known at the next delivery is reported first, then each change.
    watches_[id] = Watch{name, type, std::move(handler), std::nullopt};
    watchKeys_.emplace(Key{type, name}, id);
    txtChanged_.insert(Key{type, name});
    updateCheckTimer();
    deliverSoon();
    return id;
}

void DirectoryServiceDiscovery::stopWatching(Id id) {
    auto watch = watches_.find(id);
    if (watch == watches_.end()) return;
    for (auto [at, end] = watchKeys_.equal_range(Key{watch->second.type, watch->second.name}); at != end; ++at) {
        if (at->second == id) {
            watchKeys_.erase(at);
            break;
        }
    }
    watches_.erase(watch);
    updateCheckTimer();
}

void DirectoryServiceDiscovery::updateCheckTimer() {
    bool needed = !browses_.empty() || !watches_.empty() || !resolves_.empty();
    if (needed && !checkTimer_) {
        std::weak_ptr<DirectoryServiceDiscovery*> alive = alive_;
        checkTimer_ = loop_.scheduleRepeating(kOwnerCheckInterval, [this, alive] {
            if (!alive.lock()) return;
            // Without inotify the folder's thread looks at everything each time.
            if (reader_ && !reader_->watching()) reader_->lookAgain();
            if (dropDeadOwners()) deliverSoon();
        });
    } else if (!needed && checkTimer_) {
        loop_.cancel(checkTimer_);
        checkTimer_ = 0;
    }
}

void DirectoryServiceDiscovery::rescan() {
    if (reader_) reader_->lookAgain();
    dropDeadOwners();
    deliver();
}

void DirectoryServiceDiscovery::take() {
    if (!reader_) return;
    const Changes changes = reader_->takeChanges();
    for (const auto& [file, entry] : changes) {
        if (auto old = files_.find(file); old != files_.end()) {
            if (live_.erase(old->second)) changed(old->second);
            files_.erase(old);
        }
        if (!entry) continue;
        const Key key{entry->record.type, entry->record.name};
        files_[file] = key;
        if (ownerAlive(entry->owner)) {
            live_[key] = entry;
            changed(key);
        }
    }
    if (!changes.empty()) deliverSoon();
}

void DirectoryServiceDiscovery::changed(const Key& key) {
    for (auto& [id, browse] : browses_)
        if (browse.type == key.first) browse.dirty.insert(key.second);
    txtChanged_.insert(key);
}

bool DirectoryServiceDiscovery::dropDeadOwners() {
    bool dropped = false;
    for (auto it = live_.begin(); it != live_.end();) {
        if (ownerAlive(it->second->owner)) {
            ++it;
        } else {
            changed(it->first);
            it = live_.erase(it);
            dropped = true;
        }
    }
    return dropped;
}

void DirectoryServiceDiscovery::deliverSoon() {
    if (deliveryPosted_) return;
    deliveryPosted_ = true;
    deliverLater([this] {
        deliveryPosted_ = false;
        deliver();
    });
}

void DirectoryServiceDiscovery::deliver() {
    // Handlers may start or stop anything: work on copies of the ids, look
    // everything up again after each call, and stop after a few calls so the
    // loop stays free; the rest follows in the next turn. Only what changed
    // since it was told is looked at.
    size_t budget = kEventsPerTurn;
    auto spent = [&] {
        if (--budget > 0) return false;
        deliverSoon();
        return true;
    };
    std::vector<Id> ids;
    for (auto& [id, browse] : browses_) ids.push_back(id);
    for (Id id : ids) {
        for (;;) {
            auto it = browses_.find(id);
            if (it == browses_.end() || it->second.dirty.empty()) break;
            Browse& browse = it->second;
            const std::string name = std::move(browse.dirty.extract(browse.dirty.begin()).value());
            auto entry = live_.find(Key{browse.type, name});
            auto known = browse.known.find(name);
            auto handlers = browse.handlers;
            if (entry == live_.end()) {
                // Gone, or come and gone between two looks.
                if (known == browse.known.end()) continue;
                browse.known.erase(known);
                if (handlers.removed) handlers.removed(name);
            } else {
                // New, or written anew by another owner or for another port
                // between two looks: found (again), so that it is resolved.
                const Whereabouts whereabouts = Whereabouts::of(*entry->second);
                if (known != browse.known.end() && known->second == whereabouts) continue;
                browse.known[name] = whereabouts;
                if (handlers.found) handlers.found(name);
            }
            if (spent()) return;
        }
    }
    ids.clear();
    for (auto& [id, resolve] : resolves_) ids.push_back(id);
    for (Id id : ids) {
        auto it = resolves_.find(id);
        if (it == resolves_.end()) continue;
        auto entry = live_.find(Key{it->second.type, it->second.name});
        if (entry == live_.end()) continue;
        auto handler = std::move(it->second.handler);
        auto record = entry->second->record;
        loop_.cancel(it->second.timer);
        resolves_.erase(it);
        handler(std::move(record));
        if (spent()) return;
    }
    // The watches of the entries that changed, and new watches (their keys
    // are marked when they are made).
    while (!txtChanged_.empty()) {
        const Key key = std::move(txtChanged_.extract(txtChanged_.begin()).value());
        ids.clear();
        for (auto [at, end] = watchKeys_.equal_range(key); at != end; ++at) ids.push_back(at->second);
        auto entry = live_.find(key);
        if (entry == live_.end()) continue;
        const EntryPointer current = entry->second;
        for (size_t i = 0; i < ids.size(); ++i) {
            auto it = watches_.find(ids[i]);
            if (it == watches_.end() || it->second.last == current->record.txt) continue;
            it->second.last = current->record.txt;
            auto handler = it->second.handler;
            handler(current->record.txt);
            if (spent()) {
                if (i + 1 < ids.size()) txtChanged_.insert(key);  // the others of the key next turn
                return;
            }
        }
    }
    updateCheckTimer();
}

}  // namespace strombel::platform

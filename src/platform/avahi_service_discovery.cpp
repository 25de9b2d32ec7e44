#include "platform/avahi_service_discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <cstring>
#include <mutex>

#include "platform/directory_service_discovery.h"

namespace strombel::platform {

// Everything Avahi's thread touches; callbacks hold it by its raw pointer
// while the poll thread runs, and the discovery stops that thread first.
struct AvahiServiceDiscovery::State {
    MainLoop* loop = nullptr;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    Id nextId = 1;
    struct Publication {
        AvahiEntryGroup* group = nullptr;
        ServicePublication publication;
        PublishHandler handler;
        bool reported = false;
    };
    std::map<Id, std::unique_ptr<Publication>> publications;
    struct Browse {
        AvahiServiceBrowser* browser = nullptr;
        BrowseHandlers handlers;
    };
    std::map<Id, std::unique_ptr<Browse>> browses;
    struct Watch {
        AvahiRecordBrowser* browser = nullptr;
        TxtHandler handler;
    };
    std::map<Id, std::unique_ptr<Watch>> watches;

    // Runs `work` on the main loop unless the discovery has gone.
    void deliver(std::function<void()> work) {
        std::weak_ptr<int> weak = alive;
        loop->post([weak, work = std::move(work)] {
            if (weak.lock()) work();
        });
    }
};

namespace {

using State = AvahiServiceDiscovery::State;

struct PollLock {
    explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) {
        if (poll_) avahi_threaded_poll_lock(poll_);
    }
    ~PollLock() {
        if (poll_) avahi_threaded_poll_unlock(poll_);
    }
    AvahiThreadedPoll* poll_;
};

void groupCallback(AvahiEntryGroup*, AvahiEntryGroupState groupState, void* context) {
    auto* publication = static_cast<State::Publication*>(context);
    int32_t result = 1;
    if (groupState == AVAHI_ENTRY_GROUP_ESTABLISHED) result = 0;
    if (groupState == AVAHI_ENTRY_GROUP_COLLISION) result = ServiceDiscovery::ErrorNameCollision;
    if (groupState == AVAHI_ENTRY_GROUP_FAILURE) result = ServiceDiscovery::ErrorUnknown;
    if (result == 1 || publication->reported) return;
    publication->reported = true;
    publication->handler(result);  // wrapped by publish() to reach the main loop
}

}  // namespace

AvahiStringList* AvahiServiceDiscovery::toStringList(const TxtRecord& txt) {
    TxtRecord fitting = txt;
    dropOversizedEntries(fitting);
    AvahiStringList* list = nullptr;
    for (const auto& [key, value] : fitting) {
        list = avahi_string_list_add_pair_arbitrary(list, key.c_str(), reinterpret_cast<const uint8_t*>(value.data()),
                                                    value.size());
    }
    return list;
}

TxtRecord AvahiServiceDiscovery::fromStringList(const AvahiStringList* list) {
    TxtRecord txt;
    for (const AvahiStringList* it = list; it; it = avahi_string_list_get_next(const_cast<AvahiStringList*>(it))) {
        std::string entry(reinterpret_cast<const char*>(avahi_string_list_get_text(const_cast<AvahiStringList*>(it))),
                          avahi_string_list_get_size(const_cast<AvahiStringList*>(it)));
        auto equals = entry.find('=');
        std::string key = entry.substr(0, equals);
        if (key.empty() || txt.count(key)) continue;  // the first of a key counts
        txt[key] = equals == std::string::npos ? std::string() : entry.substr(equals + 1);
    }
    return txt;
}

int32_t AvahiServiceDiscovery::errorCode(int avahiError) {
    if (avahiError == AVAHI_OK) return 0;
    if (avahiError == AVAHI_ERR_COLLISION) return ErrorNameCollision;
    if (avahiError == AVAHI_ERR_TIMEOUT) return ErrorTimeout;
    if (avahiError == AVAHI_ERR_NOT_FOUND) return ErrorNotFound;
    return ErrorUnknown;
}

AvahiServiceDiscovery::AvahiServiceDiscovery(MainLoop& loop) : loop_(loop), state_(std::make_shared<State>()) {
    state_->loop = &loop_;
    state_->poll = avahi_threaded_poll_new();
    if (!state_->poll) {
        error_ = "cannot make Avahi's poll thread";
        return;
    }
    int error = 0;
    state_->client = avahi_client_new(avahi_threaded_poll_get(state_->poll), AvahiClientFlags(0), nullptr, nullptr, &error);
    if (!state_->client) {
        error_ = avahi_strerror(error);
        return;
    }
    avahi_threaded_poll_start(state_->poll);
}

AvahiServiceDiscovery::~AvahiServiceDiscovery() {
    if (state_->poll) avahi_threaded_poll_stop(state_->poll);
    state_->alive.reset();
    for (auto& [id, publication] : state_->publications) {
        if (publication->group) avahi_entry_group_free(publication->group);
    }
    for (auto& [id, browse] : state_->browses) {
        if (browse->browser) avahi_service_browser_free(browse->browser);
    }
    for (auto& [id, watch] : state_->watches) {
        if (watch->browser) avahi_record_browser_free(watch->browser);
    }
    if (state_->client) avahi_client_free(state_->client);
    if (state_->poll) avahi_threaded_poll_free(state_->poll);
}

ServiceDiscovery::Id AvahiServiceDiscovery::publish(const ServicePublication& publication, PublishHandler handler) {
    PollLock lock(state_->poll);
    Id id = state_->nextId++;
    auto entry = std::make_unique<State::Publication>();
    entry->publication = publication;
    State* state = state_.get();
    entry->handler = [state, handler](int32_t result) { state->deliver([handler, result] { handler(result); }); };
    int32_t failure = 0;
    if (!state_->client) {
        failure = ErrorUnknown;
    } else {
        entry->group = avahi_entry_group_new(state_->client, groupCallback, entry.get());
        AvahiStringList* txt = toStringList(publication.txt);
        int error = entry->group ? avahi_entry_group_add_service_strlst(
                                       entry->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                       publication.name.c_str(), publication.type.c_str(), nullptr, nullptr,
                                       publication.port, txt)
                                 : avahi_client_errno(state_->client);
        avahi_string_list_free(txt);
        if (error == AVAHI_OK) error = avahi_entry_group_commit(entry->group);
        failure = errorCode(error);
    }
    if (failure) {
        entry->reported = true;
        entry->handler(failure);
    }
    state_->publications[id] = std::move(entry);
    return id;
}

bool AvahiServiceDiscovery::updateTxt(Id id, const TxtRecord& txt) {
    PollLock lock(state_->poll);
    auto it = state_->publications.find(id);
    if (it == state_->publications.end() || !it->second->group) return false;
    AvahiStringList* list = toStringList(txt);
    const auto& publication = it->second->publication;
    int error = avahi_entry_group_update_service_txt_strlst(it->second->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                            AvahiPublishFlags(0), publication.name.c_str(),
                                                            publication.type.c_str(), nullptr, list);
    avahi_string_list_free(list);
    return error == AVAHI_OK;
}

void AvahiServiceDiscovery::unpublish(Id id) {
    PollLock lock(state_->poll);
    auto it = state_->publications.find(id);
    if (it == state_->publications.end()) return;
    if (it->second->group) avahi_entry_group_free(it->second->group);
    state_->publications.erase(it);
}

ServiceDiscovery::Id AvahiServiceDiscovery::browse(const std::string& type, BrowseHandlers handlers) {
    PollLock lock(state_->poll);
    Id id = state_->nextId++;
    auto entry = std::make_unique<State::Browse>();
    entry->handlers = std::move(handlers);
    State* state = state_.get();
    auto* raw = entry.get();
    if (state_->client) {
        entry->browser = avahi_service_browser_new(
            state_->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), nullptr, AvahiLookupFlags(0),
            [](AvahiServiceBrowser*, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event, const char* name,
               const char*, const char*, AvahiLookupResultFlags, void* context) {
                auto* browse = static_cast<State::Browse*>(context);
                std::string found = name ? name : "";
                const auto& handlers = browse->handlers;
                if (event == AVAHI_BROWSER_NEW && handlers.found) browse->handlers.found(found);
                if (event == AVAHI_BROWSER_REMOVE && handlers.removed) browse->handlers.removed(found);
                if (event == AVAHI_BROWSER_FAILURE && handlers.failed) browse->handlers.failed(ErrorUnknown);
            },
            raw);
    }
    // The handlers run on Avahi's thread: each hands its event to the main loop.
    auto wrap = [state](auto handler) {
        return [state, handler](auto argument) { state->deliver([handler, argument] { handler(argument); }); };
    };
    BrowseHandlers original = raw->handlers;
    if (original.found) raw->handlers.found = wrap(original.found);
    if (original.removed) raw->handlers.removed = wrap(original.removed);
    if (original.failed) raw->handlers.failed = wrap(original.failed);
    if (!entry->browser && original.failed) raw->handlers.failed(ErrorUnknown);
    state_->browses[id] = std::move(entry);
    return id;
}

void AvahiServiceDiscovery::stopBrowsing(Id id) {
    PollLock lock(state_->poll);
    auto it = state_->browses.find(id);
    if (it == state_->browses.end()) return;
    if (it->second->browser) avahi_service_browser_free(it->second->browser);
    state_->browses.erase(it);
}

namespace {

struct PendingResolve {
    State* state;
    ServiceDiscovery::ResolveHandler handler;
    std::shared_ptr<std::atomic<bool>> answered = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

void AvahiServiceDiscovery::resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                                    ResolveHandler handler) {
    auto* pending = new PendingResolve{state_.get(), std::move(handler)};
    auto answered = pending->answered;
    auto finalHandler = pending->handler;
    // The time-out answers with nothing unless Avahi answered first.
    std::weak_ptr<int> alive = state_->alive;
    loop_.schedule(timeoutNanos, [alive, answered, finalHandler] {
        if (alive.lock() && !answered->exchange(true)) finalHandler(std::nullopt);
    });
    PollLock lock(state_->poll);
    AvahiServiceResolver* resolver =
        state_->client
            ? avahi_service_resolver_new(
                  state_->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, name.c_str(), type.c_str(), nullptr,
                  AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0),
                  [](AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                     const char* name, const char* type, const char*, const char*, const AvahiAddress* address,
                     uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* context) {
                      std::unique_ptr<PendingResolve> pending(static_cast<PendingResolve*>(context));
                      std::optional<ServiceRecord> record;
                      if (event == AVAHI_RESOLVER_FOUND && address) {
                          record = ServiceRecord{};
                          record->name = name ? name : "";
                          record->type = type ? type : "";
                          record->port = port;
                          record->txt = AvahiServiceDiscovery::fromStringList(txt);
                          char text[AVAHI_ADDRESS_STR_MAX] = {};
                          avahi_address_snprint(text, sizeof text, address);
                          std::string host = text;
                          if (address->proto == AVAHI_PROTO_INET6 && interface > 0) host += "%" + std::to_string(interface);
                          if (auto socketAddress = SocketAddress::fromText(host, port)) {
                              record->addresses.push_back(*socketAddress);
                          }
                      }
                      auto answered = pending->answered;
                      auto handler = pending->handler;
                      pending->state->deliver([answered, handler, record] {
                          if (!answered->exchange(true)) handler(record);
                      });
                      avahi_service_resolver_free(resolver);
                  },
                  pending)
            : nullptr;
    if (!resolver) delete pending;  // the time-out answers
}

ServiceDiscovery::Id AvahiServiceDiscovery::watchTxt(const std::string& name, const std::string& type,
                                                     TxtHandler handler) {
    PollLock lock(state_->poll);
    Id id = state_->nextId++;
    auto entry = std::make_unique<State::Watch>();
    State* state = state_.get();
    entry->handler = [state, handler](const TxtRecord& txt) { state->deliver([handler, txt] { handler(txt); }); };
    char fullName[AVAHI_DOMAIN_NAME_MAX] = {};
    if (state_->client &&
        avahi_service_name_join(fullName, sizeof fullName, name.c_str(), type.c_str(), "local") == AVAHI_OK) {
        entry->browser = avahi_record_browser_new(
            state_->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, fullName, AVAHI_DNS_CLASS_IN, AVAHI_DNS_TYPE_TXT,
            AvahiLookupFlags(0),
            [](AvahiRecordBrowser*, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event, const char*, uint16_t,
               uint16_t, const void* rdata, size_t size, AvahiLookupResultFlags, void* context) {
                if (event != AVAHI_BROWSER_NEW || !rdata) return;
                AvahiStringList* list = nullptr;
                if (avahi_string_list_parse(rdata, size, &list) != 0) return;
                auto txt = AvahiServiceDiscovery::fromStringList(list);
                avahi_string_list_free(list);
                static_cast<State::Watch*>(context)->handler(txt);
            },
            entry.get());
    }
    state_->watches[id] = std::move(entry);
    return id;
}

void AvahiServiceDiscovery::stopWatching(Id id) {
    PollLock lock(state_->poll);
    auto it = state_->watches.find(id);
    if (it == state_->watches.end()) return;
    if (it->second->browser) avahi_record_browser_free(it->second->browser);
    state_->watches.erase(it);
}

bool lanDiscoveryEnabled(int argc, const char* const* argv, const UserDefaults& defaults) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] && std::strcmp(argv[i], "--lan-discovery") == 0) return true;
    }
    return defaults.boolForKey(kLanDiscoveryEnabledKey);
}

std::unique_ptr<ServiceDiscovery> makeServiceDiscovery(bool lanDiscovery, MainLoop& loop) {
    if (lanDiscovery) return std::make_unique<AvahiServiceDiscovery>(loop);
    return std::make_unique<DirectoryServiceDiscovery>(DirectoryServiceDiscovery::defaultFolder(), loop);
}

}  // namespace strombel::platform

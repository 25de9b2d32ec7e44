#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket_address.h"

namespace strombel::platform {

/// A service's TXT record: keys and their raw byte values.
using TxtRecord = std::map<std::string, std::string>;

/// One entry of a TXT record holds at most this many bytes ("key=value").
constexpr size_t kMaximumTxtEntryLength = 255;

/// A service as resolved: where it listens and what it advertises.
struct ServiceRecord {
    std::string name;
    std::string type;  // "_wirehub._udp"
    uint16_t port = 0;
    std::vector<SocketAddress> addresses;
    TxtRecord txt;
};

/// What this process announces.
struct ServicePublication {
    std::string name;
    std::string type;
    uint16_t port = 0;
    TxtRecord txt;
    /// Addresses to announce; empty for the implementation's own (the directory
    /// announces 127.0.0.1 and ::1).
    std::vector<SocketAddress> addresses;
};

/// DNS-SD style service discovery: publish without automatic renaming, update a
/// published TXT record, browse a service type, resolve a found name, and watch a
/// service's TXT record. Called on the main loop's thread only; every result and
/// event is delivered there too, never from inside the call that asked for it.
class ServiceDiscovery {
public:
    /// Error codes of the results, as the registry knows them.
    enum Error : int32_t {
        ErrorUnknown = -72000,
        ErrorNameCollision = -72001,
        ErrorNotFound = -72008,
        ErrorTimeout = -72007,
    };

    using Id = uint64_t;
    /// 0 when published, an Error otherwise.
    using PublishHandler = std::function<void(int32_t result)>;
    using ResolveHandler = std::function<void(std::optional<ServiceRecord> record)>;
    using TxtHandler = std::function<void(const TxtRecord& txt)>;
    struct BrowseHandlers {
        /// A service of the type appeared; again, without a removal between,
        /// when its name is announced anew from another place (a program that
        /// quit and came back under its name on another port).
        std::function<void(const std::string& name)> found;
        std::function<void(const std::string& name)> removed;
        std::function<void(int32_t error)> failed;
    };

    virtual ~ServiceDiscovery() = default;

    /// Publishes a service under exactly its name: a name taken by a live service
    /// fails with ErrorNameCollision. TXT entries longer than 255 bytes are left out.
    virtual Id publish(const ServicePublication& publication, PublishHandler handler) = 0;
    /// Replaces the TXT record of a publication; false when it is not published.
    virtual bool updateTxt(Id publication, const TxtRecord& txt) = 0;
    virtual void unpublish(Id publication) = 0;

    virtual Id browse(const std::string& type, BrowseHandlers handlers) = 0;
    virtual void stopBrowsing(Id browse) = 0;

    /// Resolves a found service; the handler gets nothing when it is not resolved
    /// within `timeoutNanos`.
    virtual void resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                         ResolveHandler handler) = 0;

    /// Calls the handler with the service's TXT record soon, then whenever it changes.
    virtual Id watchTxt(const std::string& name, const std::string& type, TxtHandler handler) = 0;
    virtual void stopWatching(Id watch) = 0;

    /// Removes from `txt` the entries longer than 255 bytes and returns their keys.
    static std::vector<std::string> dropOversizedEntries(TxtRecord& txt);
};

}  // namespace strombel::platform

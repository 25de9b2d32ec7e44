#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "platform/main_loop.h"
#include "platform/service_discovery.h"
#include "platform/user_defaults.h"

struct AvahiStringList;

namespace strombel::platform {

/// Service discovery on the local network through the user's avahi-daemon
/// (mDNS / DNS-SD in the domain "local"). Used only when the user turns LAN
/// discovery on: it announces this program to the whole network. Avahi's own
/// thread does the work; results reach the main loop. Without a daemon every
/// publication fails and every browse reports a failure.
class AvahiServiceDiscovery final : public ServiceDiscovery {
public:
    explicit AvahiServiceDiscovery(MainLoop& loop);
    ~AvahiServiceDiscovery() override;

    /// Empty when the daemon answered; otherwise why not.
    const std::string& error() const { return error_; }

    Id publish(const ServicePublication& publication, PublishHandler handler) override;
    bool updateTxt(Id publication, const TxtRecord& txt) override;
    void unpublish(Id publication) override;
    Id browse(const std::string& type, BrowseHandlers handlers) override;
    void stopBrowsing(Id browse) override;
    void resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                 ResolveHandler handler) override;
    Id watchTxt(const std::string& name, const std::string& type, TxtHandler handler) override;
    void stopWatching(Id watch) override;

    /// A TXT record as Avahi's string list ("key=value" entries; entries over 255
    /// bytes are left out). The caller frees it with avahi_string_list_free.
    static AvahiStringList* toStringList(const TxtRecord& txt);
    /// Avahi's string list as a TXT record; entries without "=" have empty values.
    static TxtRecord fromStringList(const AvahiStringList* list);
    /// An Avahi error code as the registry knows it.
    static int32_t errorCode(int avahiError);

    struct State;

private:
    MainLoop& loop_;
    std::string error_;
    std::shared_ptr<State> state_;
};

/// Whether LAN discovery is on: the "--lan-discovery" option, or the user
/// default "LANDiscoveryEnabled". Off unless the user asks.
bool lanDiscoveryEnabled(int argc, const char* const* argv, const UserDefaults& defaults);
/// The user-defaults key of the LAN discovery setting.
inline constexpr const char* kLanDiscoveryEnabledKey = "LANDiscoveryEnabled";

/// The discovery the program uses: Avahi when LAN discovery is on, else the
/// directory of services of this machine.
std::unique_ptr<ServiceDiscovery> makeServiceDiscovery(bool lanDiscovery, MainLoop& loop);

}  // namespace strombel::platform

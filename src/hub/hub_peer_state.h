#pragma once

// Application state transfer: the hub pulls this application's state dictionary
// (sent in type 19 packets) and pushes a saved one back (signed type 17
// packets); both sides ask for lost packets with type 18. Item 0 is the
// dictionary as a binary property list; byte blocks over 2048 bytes travel as
// items of their own and pass through temporary files on the receiving side.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hub/bus_local_endpoint.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_signature_validator.h"
#include "platform/property_list.h"

namespace strombel::hub {

inline constexpr const char* kHubPeerStateReceiverErrorDomain = "HubPeerStateReceiverErrorDomain";

/// Values that are byte blocks longer than this travel as items of their own.
constexpr size_t kHubStateLargestInlineValue = 2048;

/// Sends a state dictionary to a peer in type 19 packets that fill its
/// `maxPacketSize`.
class HubPeerStateSender : public HubPeerResourceSenderBase, public BusLocalEndpointDelegate {
public:
    /// None when the dictionary cannot be serialised ("Error serializing state
    /// dictionary: %@").
    static std::shared_ptr<HubPeerStateSender> make(std::shared_ptr<BusPeer> peer,
                                                    const platform::PropertyValue::Dictionary& stateDictionary,
                                                    BusLocalEndpoint& endpoint);
    ~HubPeerStateSender() override;

    /// The empty state: one 19-byte type 19 packet, P = 16, whose bytes 4 to 18
    /// are zero.
    static std::vector<uint8_t> emptyStatePacket();
    size_t itemCount() const { return resourceIdentifiers_.size() + 1; }
    std::string description() const override;

    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;

protected:
    const std::vector<uint8_t>* nextMessage() override;
    void didSendMessage() override;

private:
    HubPeerStateSender(std::shared_ptr<BusPeer> peer, BusLocalEndpoint& endpoint);

    BusLocalEndpoint& endpoint_;
    std::mutex mutex_;
    uint16_t nextResource_ = 0;
    uint32_t nextSegment_ = 0;
    uint32_t currentResourceSegmentCount_ = 0;
    uint16_t currentResource_ = 0;
    uint32_t currentSegment_ = 0;
    std::vector<uint8_t> stateDictionaryData_;
    std::map<std::string, platform::PropertyValue::Data> resources_;
    std::vector<std::string> resourceIdentifiers_;
    std::vector<uint8_t> message_;
};

/// Receives a pushed state dictionary from signed type 17 packets, asking again
/// for lost ones. The completion block runs once on the main loop: with the
/// dictionary, with neither (the empty state) or with an error (code 0 timed
/// out, 1 invalid response, 2 IO error).
class HubPeerStateReceiver : public BusLocalEndpointDelegate, public std::enable_shared_from_this<HubPeerStateReceiver> {
public:
    using CompletionBlock =
        std::function<void(std::optional<platform::PropertyValue::Dictionary> dictionary, std::optional<BusError> error)>;
    /// A push larger than this in all fails with code 2.
    static constexpr uint64_t kMaximumStateLength = 64ull * 1024 * 1024;

    static std::shared_ptr<HubPeerStateReceiver> make(std::shared_ptr<BusPeer> peer, BusLocalEndpoint& endpoint,
                                                      std::shared_ptr<const HubSignatureValidator> validator,
                                                      std::filesystem::path temporaryFolder = {});
    ~HubPeerStateReceiver() override;

    void setCompletionBlock(CompletionBlock block) { completionBlock_ = std::move(block); }
    /// Starts with the first packet as received. Main loop.
    void startLoadWithFirstPacket(const uint8_t* bytes, size_t length);
    void cancel();
    void abortWithError(BusError error);
    bool running() const { return running_.load(); }
    /// For tests: a smaller limit than 64 MiB.
    void setMaximumStateLength(uint64_t length) { maximumStateLength_ = length; }
    void sendRerequestForResource(uint16_t item, uint32_t segment);
    bool validateMessageWithBytes(const uint8_t* bytes, size_t length) const;

    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;

private:
    HubPeerStateReceiver(std::shared_ptr<BusPeer> peer, BusLocalEndpoint& endpoint,
                         std::shared_ptr<const HubSignatureValidator> validator, std::filesystem::path temporaryFolder);
    void handlePacket(const uint8_t* bytes, size_t length);
    void take(uint16_t item, uint32_t segment, std::vector<uint8_t> data);  // main loop
    void processAndFinish();
    void timeoutFired();
    void scheduleTimer();
    void cleanUp();
    void abortFromListener(BusError error, std::string logLine);
    void finish(std::optional<platform::PropertyValue::Dictionary> dictionary, std::optional<BusError> error);

    std::shared_ptr<BusPeer> peer_;
    BusLocalEndpoint& endpoint_;
    std::shared_ptr<const HubSignatureValidator> signatureValidator_;
    std::filesystem::path temporaryFolder_;
    CompletionBlock completionBlock_;
    std::atomic<bool> running_{false};
    int32_t retryCount_ = 0;
    platform::MainLoop::TimerId timer_ = 0;

    // Ordering state, shared by the listener thread and the main loop.
    std::mutex mutex_;
    bool awaitingRetry_ = false;
    uint32_t nextSegment_ = 0;
    uint16_t resource_ = 0;
    uint64_t received_ = 0;
    uint64_t maximumStateLength_ = kMaximumStateLength;

    // Main-loop state: what has been taken.
    std::vector<uint8_t> dictionaryData_;
    std::map<std::string, std::filesystem::path> resourceFiles_;
    std::string currentResourceName_;
    std::unique_ptr<std::ofstream> currentResourceStream_;
    bool failed_ = false;
};

}  // namespace strombel::hub

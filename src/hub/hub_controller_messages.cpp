#include "hub/hub_controller.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/hub_controller_parts.h"
#include "hub/hub_record.h"
#include "platform/host_time.h"
#include "platform/utf8_cut.h"

namespace strombel::hub {

using controller_parts::describe;
using controller_parts::kInvalidMessageFromPeer;
using controller_parts::kInvalidStatePullFrom;

// ---- messages: checks on the listener thread ----------------------------------------------

bool HubController::isActive() const { return !options_.applicationIsActive || options_.applicationIsActive(); }

void HubController::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                             const std::shared_ptr<BusPeer>& peer) {
    if (auto hubPeer = peer ? hubPeerOf(*peer) : nullptr) handleMessageBytes(bytes, size_t(length), hubPeer);
}

void HubController::handleMessageBytes(const uint8_t* bytes, size_t length, const std::shared_ptr<HubPeer>& peer) {
    // Too short, a header below 3 or past the end, or a type not ours: ignored.
    if (length < 3 || bytes[1] < 3 || bytes[1] > length) return;
    const uint8_t type = bytes[2];
    if (type < 5 || type > 17) return;
    const size_t h = bytes[1];
    const uint8_t* payload = bytes + h;
    // Lines about a peer's datagrams: at most one a second per peer and kind.
    auto limitedLine = [&](const char* text) {
        endpoint_->peerLog().log(peer.get(), text, [&] { return fmt::format(fmt::runtime(text), describe(peer)); });
    };
    auto invalid = [&](const char* text) { limitedLine(text); };
    std::weak_ptr<HubController*> alive = alive_;
    auto later = [&](auto work) {
        loop_.post([alive, work = std::move(work)]() mutable {
            if (alive.lock()) work();
        });
    };
    switch (type) {
        case BusMessageTriggerActivate: {
            if (length < h + 5 || h + payload[0] > length) return invalid("Invalid trigger activate message from {}");
            const uint32_t identifier = readU32(payload + 1);
            later([this, identifier, peer] { triggerActivate(identifier, peer); });
            return;
        }
        case BusMessageTriggerState: {
            if (length < h + 8 || h + readU16(payload) > length) {
                return invalid("Invalid trigger state update message from {}");
            }
            std::vector<uint8_t> record(payload, bytes + length);
            later([this, record = std::move(record), peer]() mutable { triggerState(std::move(record), peer); });
            return;
        }
        case BusMessageConnectionState: {
            if (length < h + 24 || payload[0] < 24 ||
                h + payload[0] + readU16(payload + 18) + readU16(payload + 20) + readU16(payload + 22) > length) {
                return invalid("Invalid connection state update message from {}");
            }
            // A flood of wrongly signed graphs is held back here, before it
            // reaches the check on the main loop.
            if (!signatureGate_.admit(peer.get(), bytes, length)) return limitedLine(kInvalidMessageFromPeer);
            std::vector<uint8_t> message(bytes, bytes + length);
            later([this, message = std::move(message), peer]() mutable { connectionState(std::move(message), peer); });
            return;
        }
        case BusMessagePing: {
            if (length < h + 8) return;
            auto reply = makePingReply(bytes, length, platform::hostTimeToNanos(platform::hostTimeNow()));
            if (reply) HubPeerSendMessage(*peer, reply->data(), reply->size());
            return;
        }
        case BusMessageActivationRequest: {
            if (!isActive()) return;
            if (length < h + 2 || h + payload[0] + payload[1] > length) {
                return invalid("Invalid remote activation request from {}");
            }
            std::string name = decodeUtf8Lossy({reinterpret_cast<const char*>(payload + payload[0]), payload[1]});
            later([this, name = std::move(name)]() mutable { activationRequest(std::move(name)); });
            return;
        }
        case BusMessagePortAttributes: {
            if (length < h + 6 || h + payload[0] > length) {
                return invalid("Invalid port attribute update message from {}");
            }
            const uint32_t identifier = readU32(payload + 1);
            const uint8_t attributes = payload[5];
            later([this, identifier, attributes, peer] { portAttributes(identifier, attributes, peer); });
            return;
        }
        case BusMessageTriggerAdjust: {
            if (length < h + 14 || h + payload[0] > length) return invalid("Invalid trigger adjust message from {}");
            const uint32_t identifier = readU32(payload + 2);
            const double value = readF64BigEndian(payload + 6);
            later([this, identifier, value, peer] { triggerAdjust(identifier, value, peer); });
            return;
        }
        case BusMessageStatePull: {
            if (length < h + 7 || h + payload[0] > length) return invalid(kInvalidStatePullFrom);
            if (controllerPeer_.load() != peer) return limitedLine("State pull from peer {} that is not controller");
            if (!signatureGate_.admit(peer.get(), bytes, length)) return limitedLine(kInvalidStatePullFrom);
            std::vector<uint8_t> message(bytes, bytes + length);
            later([this, message = std::move(message), peer]() mutable { statePull(std::move(message), peer); });
            return;
        }
        case BusMessageStatePushPacket: {
            if (stateReceiverActive_.load()) return;
            if (length < h + 16 || h + payload[0] + readU16(payload + 14) > length) {
                return invalid("Invalid state push message from {}");
            }
            if (controllerPeer_.load() != peer) return limitedLine("State push from peer {} that is not controller");
            if (stateReceiverActive_.exchange(true)) return;
            std::vector<uint8_t> message(bytes, bytes + length);
            later([this, message = std::move(message), peer]() mutable { statePush(std::move(message), peer); });
            return;
        }
        default:
            return;
    }
}

// ---- messages: handlers on the main loop ------------------------------------------------------

void HubController::portAttributes(uint32_t identifier, uint8_t attributes, const std::shared_ptr<HubPeer>& peer) {
    auto port = peer->portWithNumericIdentifier(identifier);
    if (!port || port->attributes() == attributes) return;
    port->setAttributes(attributes);
    port->setLastStateUpdate(peer->mediaTime());
    coalescePeerReport(port, port.get());
}

void HubController::statePull(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer) {
    if (stateSender_) return;
    if (!signatureIsValid(message, peer, kInvalidStatePullFrom)) return;
    auto bus = peer->dbPeer();
    if (!bus) return;
    std::optional<platform::PropertyValue::Dictionary> dictionary;
    if (stateIODelegate_) dictionary = stateIODelegate_->hubStateDictionaryForCurrentState();
    if (dictionary) stateSender_ = HubPeerStateSender::make(bus, *dictionary, *endpoint_);
    if (!stateSender_) {
        auto empty = HubPeerStateSender::emptyStatePacket();
        HubPeerSendMessage(*peer, empty.data(), empty.size());
        return;
    }
    std::weak_ptr<HubController*> alive = alive_;
    stateSender_->setCompletionBlock([this, alive](std::optional<BusError>) {
        if (alive.lock()) stateSender_.reset();
    });
    stateSender_->start();
}

void HubController::statePush(std::vector<uint8_t> message, const std::shared_ptr<HubPeer>& peer) {
    auto bus = peer->dbPeer();
    if (!bus) {
        stateReceiverActive_.store(false);
        return;
    }
    stateReceiver_ = HubPeerStateReceiver::make(bus, *endpoint_, validator_, options_.stateFolder);
    std::weak_ptr<HubController*> alive = alive_;
    stateReceiver_->setCompletionBlock(
        [this, alive, peer](std::optional<platform::PropertyValue::Dictionary> dictionary, std::optional<BusError> error) {
            if (!alive.lock()) return;
            // Dropped after this turn: the receiver is still running its completion.
            loop_.post([receiver = std::move(stateReceiver_)] {});
            stateReceiverActive_.store(false);
            if (error || !dictionary || !stateIODelegate_) return;
            std::string response;
            stateIODelegate_->loadStateFromHubStateDictionary(*dictionary, response);
            const std::string_view text = platform::cutAtCharacter(response, 65535);
            std::vector<uint8_t> reply{kBusMessageMarker, kBusHeaderLength, BusMessageStateLoadResponse, 4, 1, 0, 0};
            writeU16(reply.data() + 5, uint16_t(text.size()));
            reply.insert(reply.end(), text.begin(), text.end());
            HubPeerSendMessage(*peer, reply.data(), reply.size());
        });
    stateReceiver_->startLoadWithFirstPacket(message.data(), message.size());
}

void HubController::iaaHostStatusUpdate(const platform::Notification& notification) {
    auto controller = controllerPeer();
    const auto* source = static_cast<const HubInterAppAudioSource*>(notification.sender);
    if (!controller || !source || !source->port) return;
    uint8_t status;
    if (const auto* error = std::any_cast<BusError>(&notification.userInfo)) {
        status = error->domain == kOSStatusErrorDomain && error->code == kHubInterAppAudioHostingFailedStatus ? 1 : 2;
    } else {
        status = source->audioUnit ? 0 : 2;
    }
    auto peer = source->port->peer();
    const std::string uniqueID(platform::cutAtCharacter(peer ? peer->uniqueID() : "", 255));
    const std::string name(platform::cutAtCharacter(peer ? peer->name() : "", 255));
    std::vector<uint8_t> message(12 + uniqueID.size() + name.size(), 0);
    message[0] = kBusMessageMarker;
    message[1] = kBusHeaderLength;
    message[2] = BusMessageHostStatus;
    message[3] = 9;
    message[4] = status;
    writeU32(message.data() + 5, source->port->numericIdentifier());
    message[9] = 3;
    message[10] = uint8_t(uniqueID.size());
    message[11] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), std::copy(uniqueID.begin(), uniqueID.end(), message.begin() + 12));
    HubPeerSendMessage(*controller, message.data(), message.size());
}

void HubController::iaaHostPing(const platform::Notification& notification) {
    const auto* source = static_cast<const HubInterAppAudioSource*>(notification.sender);
    const auto* result = std::any_cast<bool>(&notification.userInfo);
    if (!source || !source->port || !result) return;
    auto peer = source->port->peer();
    auto bus = peer ? peer->dbPeer() : nullptr;
    if (bus && bus->present() != *result) bus->setPresent(*result);
}

}  // namespace strombel::hub

#include "hub/hub_peer_state.h"

#include <unistd.h>

#include "hub/bus_log.h"
#include "hub/bus_message.h"
#include "hub/bus_peer.h"
#include "hub/hub_controller.h"

namespace strombel::hub {

namespace {

constexpr uint64_t kReceiverTimeout = 500 * platform::kNanosPerMillisecond;
constexpr int32_t kReceiverRetries = 3;

}  // namespace

// ---- the sender ----------------------------------------------------------------

HubPeerStateSender::HubPeerStateSender(std::shared_ptr<BusPeer> peer, BusLocalEndpoint& endpoint)
    : HubPeerResourceSenderBase(std::move(peer), endpoint.loop(), endpoint.notifications()), endpoint_(endpoint) {}

std::shared_ptr<HubPeerStateSender> HubPeerStateSender::make(std::shared_ptr<BusPeer> peer,
                                                             const platform::PropertyValue::Dictionary& stateDictionary,
                                                             BusLocalEndpoint& endpoint) {
    std::shared_ptr<HubPeerStateSender> sender(new HubPeerStateSender(std::move(peer), endpoint));
    // An item's header (5 bytes and its key) opens its first packet: a key
    // that would not fit there (1,469 bytes or more to a UDP peer) leaves its
    // value in the dictionary, which travels in as many packets as it needs.
    const size_t capacity = size_t(sender->peer()->maxPacketSize()) - kStatePacketHeaderLength;
    const size_t longestItemKey = std::min<size_t>(capacity - kResourceItemHeaderFixedLength,
                                                   65535 - kResourceItemHeaderFixedLength);
    platform::PropertyValue::Dictionary rest;
    for (const auto& [key, value] : stateDictionary) {
        auto* data = value.get<platform::PropertyValue::Data>();
        if (data && data->size() > kHubStateLargestInlineValue && key.size() <= longestItemKey) {
            sender->resources_[key] = *data;
            sender->resourceIdentifiers_.push_back(key);
        } else {
            rest.emplace(key, value);
        }
    }
    if (sender->resourceIdentifiers_.size() + 1 > 65535) {
        busLog("Error serializing state dictionary: {}", "too many large values");
        return nullptr;
    }
    auto bytes = platform::PropertyList::toBinary(platform::PropertyValue(std::move(rest)));
    if (!bytes) {
        busLog("Error serializing state dictionary: {}", "the property list could not be written");
        return nullptr;
    }
    sender->stateDictionaryData_ = std::move(*bytes);
    sender->message_.reserve(static_cast<size_t>(sender->peer()->maxPacketSize()));
    endpoint.addDelegate(sender.get());
    return sender;
}

HubPeerStateSender::~HubPeerStateSender() {
    endpoint_.removeDelegate(this);
    stopTransmission();
}

std::vector<uint8_t> HubPeerStateSender::emptyStatePacket() {
    std::vector<uint8_t> packet(kStatePacketHeaderLength, 0);
    packet[0] = kBusMessageMarker;
    packet[1] = kBusHeaderLength;
    packet[2] = BusMessageStateContentPacket;
    // P is 16 like every state packet's: a reader checks it before the counts.
    packet[3] = 16;
    return packet;
}

std::string HubPeerStateSender::description() const {
    return fmt::format("<HubPeerStateSender {} {}>", peer()->description(), static_cast<const void*>(this));
}

void HubPeerStateSender::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                                  const std::shared_ptr<BusPeer>& peer) {
    if (peer.get() != this->peer().get()) return;
    auto view = readBusMessage(bytes, length);
    if (!view || view->type != BusMessageStateRerequest) return;
    auto request = readStateRerequest(bytes, length);
    if (!request) {
        busLog("Invalid state request message from {}", peer->description());
        return;
    }
    std::lock_guard lock(mutex_);
    nextResource_ = request->item;
    nextSegment_ = request->segment;
}

const std::vector<uint8_t>* HubPeerStateSender::nextMessage() {
    std::lock_guard lock(mutex_);
    uint16_t r = nextResource_;
    uint32_t s = nextSegment_;
    currentResource_ = r;
    currentSegment_ = s;
    const std::vector<uint8_t>* item = nullptr;
    std::vector<uint8_t> header;
    if (r == 0) {
        item = &stateDictionaryData_;
    } else if (size_t(r) - 1 < resourceIdentifiers_.size()) {
        const std::string& key = resourceIdentifiers_[r - 1];
        item = &resources_[key];
        header = makeResourceItemHeader(key);
    } else {
        return nullptr;
    }
    size_t h = header.size();
    size_t capacity = static_cast<size_t>(peer()->maxPacketSize()) - kStatePacketHeaderLength;
    size_t size = item->size() + h;
    uint32_t count = static_cast<uint32_t>((size + capacity - 1) / capacity);
    if (count == 0) count = 1;
    currentResourceSegmentCount_ = count;
    uint32_t segment = std::min(s, count - 1);
    size_t n = std::min(capacity, size - size_t(segment) * capacity);
    message_.resize(kStatePacketHeaderLength + n);
    writeStatePacketHeader(message_.data(), BusMessageStateContentPacket, r == 0 ? 0 : 1,
                           static_cast<uint16_t>(resourceIdentifiers_.size() + 1), r, count, segment,
                           static_cast<uint16_t>(n));
    uint8_t* out = message_.data() + kStatePacketHeaderLength;
    if (segment == 0 && h) {
        std::memcpy(out, header.data(), h);
        std::memcpy(out + h, item->data(), n - h);
    } else {
        std::memcpy(out, item->data() + size_t(segment) * capacity - h, n);
    }
    return &message_;
}

void HubPeerStateSender::didSendMessage() {
    std::lock_guard lock(mutex_);
    if (nextSegment_ != currentSegment_ || nextResource_ != currentResource_) return;  // a re-request won
    if (++nextSegment_ >= currentResourceSegmentCount_) {
        nextSegment_ = 0;
        if (nextResource_ < 65535) ++nextResource_;
    }
}

// ---- the receiver --------------------------------------------------------------

std::shared_ptr<HubPeerStateReceiver> HubPeerStateReceiver::make(std::shared_ptr<BusPeer> peer,
                                                                 BusLocalEndpoint& endpoint,
                                                                 std::shared_ptr<const HubSignatureValidator> validator,
                                                                 std::filesystem::path temporaryFolder) {
    return std::shared_ptr<HubPeerStateReceiver>(
        new HubPeerStateReceiver(std::move(peer), endpoint, std::move(validator), std::move(temporaryFolder)));
}

HubPeerStateReceiver::HubPeerStateReceiver(std::shared_ptr<BusPeer> peer, BusLocalEndpoint& endpoint,
                                           std::shared_ptr<const HubSignatureValidator> validator,
                                           std::filesystem::path temporaryFolder)
    : peer_(std::move(peer)),
      endpoint_(endpoint),
      signatureValidator_(std::move(validator)),
      temporaryFolder_(temporaryFolder.empty() ? std::filesystem::temp_directory_path() : std::move(temporaryFolder)) {}

HubPeerStateReceiver::~HubPeerStateReceiver() { cleanUp(); }

void HubPeerStateReceiver::startLoadWithFirstPacket(const uint8_t* bytes, size_t length) {
    HubVerify(static_cast<bool>(completionBlock_), "Must have completionBlock", __FILE__, __LINE__);
    running_.store(true);
    failed_ = false;
    retryCount_ = kReceiverRetries;
    scheduleTimer();
    dictionaryData_.clear();
    resourceFiles_.clear();
    {
        std::lock_guard lock(mutex_);
        resource_ = 0;
        nextSegment_ = 0;
        awaitingRetry_ = false;
        received_ = 0;
    }
    endpoint_.addDelegate(this);
    handlePacket(bytes, length);
}

bool HubPeerStateReceiver::validateMessageWithBytes(const uint8_t* bytes, size_t length) const {
    auto view = readBusMessage(bytes, length);
    if (!view || view->type != BusMessageStatePushPacket) return false;
    auto content = splitSignedContent(bytes, length);
    if (!content || content->signatureLength == 0) return false;
    return validateSignature(signatureValidator_, content->signature, content->signatureLength,
                             content->content.data(), content->content.size());
}

void HubPeerStateReceiver::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                                    const std::shared_ptr<BusPeer>& peer) {
    if (peer.get() != peer_.get() || !running_.load()) return;
    handlePacket(bytes, static_cast<size_t>(length));
}

void HubPeerStateReceiver::handlePacket(const uint8_t* bytes, size_t length) {
    auto view = readBusMessage(bytes, length);
    if (!view || (view->type != BusMessageStatePushPacket && view->type != BusMessageStateContentPacket)) return;
    auto invalid = [&](const char* why) {
        abortFromListener(BusError{kHubPeerStateReceiverErrorDomain, 1, "Invalid response from peer"},
                          fmt::format("Invalid state content packet from {}{}", peer_->description(), why));
    };
    auto packet = readStatePacket(bytes, length);
    if (!packet || !validateMessageWithBytes(bytes, length)) return invalid("");
    if (packet->segmentCount == 0 && packet->itemCount == 0) {
        endpoint_.removeDelegate(this);
        std::weak_ptr<HubPeerStateReceiver> weak = weak_from_this();
        endpoint_.loop().post([weak] {
            if (auto self = weak.lock(); self && self->running_.load()) self->finish(std::nullopt, std::nullopt);
        });
        return;
    }
    if (packet->segmentCount == 0 || packet->itemIndex >= packet->itemCount ||
        packet->segmentIndex >= packet->segmentCount) {
        return invalid(" (invalid counts)");
    }
    std::unique_lock lock(mutex_);
    if (packet->itemIndex != resource_ || packet->segmentIndex != nextSegment_) {
        if (packet->itemIndex == resource_ && packet->segmentIndex < nextSegment_) return;  // a repeat
        if (!awaitingRetry_) {
            awaitingRetry_ = true;
            uint16_t item = resource_;
            uint32_t segment = nextSegment_;
            lock.unlock();
            sendRerequestForResource(item, segment);
        }
        return;
    }
    awaitingRetry_ = false;
    received_ += packet->dataLength;
    if (received_ > maximumStateLength_) {
        lock.unlock();
        abortFromListener(BusError{kHubPeerStateReceiverErrorDomain, 2, "IO Error"},
                          fmt::format("State from {} is larger than {} bytes", peer_->description(), maximumStateLength_));
        return;
    }
    if (packet->itemIndex > 0 && packet->segmentIndex == 0) {
        if (packet->dataLength < 5) {
            lock.unlock();
            return invalid(" (invalid length)");
        }
        if (!readResourceItemHeader(packet->data, packet->dataLength)) {
            lock.unlock();
            return invalid(" (bad metadata)");
        }
    }
    bool lastSegment = packet->segmentIndex + 1 >= packet->segmentCount;
    bool lastItem = packet->itemIndex + 1 >= packet->itemCount;
    if (!lastSegment) {
        ++nextSegment_;
    } else if (!lastItem) {
        ++resource_;
        nextSegment_ = 0;
    }
    lock.unlock();
    if (lastSegment && lastItem) endpoint_.removeDelegate(this);
    // Files are written on the main loop, never on the real-time listener thread.
    std::vector<uint8_t> data(packet->data, packet->data + packet->dataLength);
    std::weak_ptr<HubPeerStateReceiver> weak = weak_from_this();
    uint16_t item = packet->itemIndex;
    uint32_t segment = packet->segmentIndex;
    bool finished = lastSegment && lastItem;
    endpoint_.loop().post([weak, item, segment, data = std::move(data), lastSegment, finished]() mutable {
        auto self = weak.lock();
        if (!self || !self->running_.load() || self->failed_) return;
        self->scheduleTimer();
        self->take(item, segment, std::move(data));
        if (self->failed_) return;
        if (lastSegment) {
            self->currentResourceStream_.reset();
            self->currentResourceName_.clear();
        }
        if (finished) self->processAndFinish();
    });
}

void HubPeerStateReceiver::take(uint16_t item, uint32_t segment, std::vector<uint8_t> data) {
    auto ioError = [&](std::string line) {
        busLogLine(std::move(line));
        failed_ = true;
        abortWithError(BusError{kHubPeerStateReceiverErrorDomain, 2, "IO Error"});
    };
    if (item == 0) {
        dictionaryData_.insert(dictionaryData_.end(), data.begin(), data.end());
        return;
    }
    size_t skip = 0;
    if (segment == 0) {
        auto header = readResourceItemHeader(data.data(), data.size());
        if (!header) return;  // checked on arrival
        std::error_code error;
        std::filesystem::create_directories(temporaryFolder_, error);
        std::string pattern = (temporaryFolder_ / "state-XXXXXXX").string();
        int fd = ::mkstemp(pattern.data());
        if (fd >= 0) ::close(fd);
        currentResourceStream_ = fd < 0 ? nullptr
                                        : std::make_unique<std::ofstream>(pattern, std::ios::binary | std::ios::trunc);
        if (!currentResourceStream_ || !*currentResourceStream_) {
            if (fd >= 0) ::unlink(pattern.c_str());
            return ioError(fmt::format("Couldn't open output stream when loading state resource from {}",
                                       peer_->description()));
        }
        currentResourceName_ = header->key;
        if (auto previous = resourceFiles_.find(header->key); previous != resourceFiles_.end()) {
            std::filesystem::remove(previous->second, error);
        }
        resourceFiles_[header->key] = pattern;
        skip = header->totalLength;
    } else if (!currentResourceStream_) {
        failed_ = true;
        busLog("Invalid state content packet from {} (out of sequence)", peer_->description());
        abortWithError(BusError{kHubPeerStateReceiverErrorDomain, 1, "Invalid response from peer"});
        return;
    }
    currentResourceStream_->write(reinterpret_cast<const char*>(data.data() + skip),
                                  static_cast<std::streamsize>(data.size() - skip));
    currentResourceStream_->flush();
    if (!*currentResourceStream_) {
        return ioError(fmt::format("Couldn't write to output stream when loading state resource from {}",
                                   peer_->description()));
    }
}

void HubPeerStateReceiver::processAndFinish() {
    auto value = platform::PropertyList::read(dictionaryData_.data(), dictionaryData_.size());
    const std::string why = value ? "" : value.error().message();
    auto* dictionary = value ? value->get<platform::PropertyValue::Dictionary>() : nullptr;
    if (!dictionary) {
        busLog("Invalid state content packet from {} (the dictionary cannot be read: {})", peer_->description(),
               why.empty() ? "not a dictionary" : why);
        abortWithError(BusError{kHubPeerStateReceiverErrorDomain, 1, "Invalid response from peer"});
        return;
    }
    platform::PropertyValue::Dictionary result = std::move(*dictionary);
    for (const auto& [key, path] : resourceFiles_) {
        std::ifstream stream(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        if (!stream.good() && !stream.eof()) {
            busLog("Couldn't read saved file when loading state from peer {}: {}", peer_->description(), path.string());
            abortWithError(BusError{kHubPeerStateReceiverErrorDomain, 2, "IO Error"});
            return;
        }
        result[key] = platform::PropertyValue(std::move(bytes));
    }
    finish(std::move(result), std::nullopt);
}

void HubPeerStateReceiver::scheduleTimer() {
    if (timer_) endpoint_.loop().cancel(timer_);
    std::weak_ptr<HubPeerStateReceiver> weak = weak_from_this();
    timer_ = endpoint_.loop().schedule(kReceiverTimeout, [weak] {
        if (auto self = weak.lock()) self->timeoutFired();
    });
}

void HubPeerStateReceiver::timeoutFired() {
    timer_ = 0;
    if (!running_.load()) return;
    uint16_t item;
    uint32_t segment;
    {
        std::lock_guard lock(mutex_);
        awaitingRetry_ = false;
        item = resource_;
        segment = nextSegment_;
    }
    if (retryCount_-- != 0) {
        sendRerequestForResource(item, segment);
        scheduleTimer();
        return;
    }
    busLog("Timed out loading state from {}", peer_->description());
    finish(std::nullopt, BusError{kHubPeerStateReceiverErrorDomain, 0, "Timed out"});
}

void HubPeerStateReceiver::sendRerequestForResource(uint16_t item, uint32_t segment) {
    BusPeerSendMessage(*peer_, makeStateRerequest(item, segment));
}

void HubPeerStateReceiver::cancel() {
    if (!running_.load()) return;
    sendRerequestForResource(kStateRerequestStop, 0);  // the sender stops
    cleanUp();
}

void HubPeerStateReceiver::abortWithError(BusError error) {
    bool wasRunning = running_.load();
    cancel();
    if (wasRunning && completionBlock_) {
        auto block = completionBlock_;
        block(std::nullopt, std::move(error));
    }
}

void HubPeerStateReceiver::abortFromListener(BusError error, std::string logLine) {
    endpoint_.removeDelegate(this);
    std::weak_ptr<HubPeerStateReceiver> weak = weak_from_this();
    endpoint_.loop().post([weak, error = std::move(error), logLine = std::move(logLine)] {
        auto self = weak.lock();
        if (!self || !self->running_.load()) return;
        busLogLine(logLine);
        self->failed_ = true;
        self->abortWithError(error);
    });
}

void HubPeerStateReceiver::finish(std::optional<platform::PropertyValue::Dictionary> dictionary,
                                  std::optional<BusError> error) {
    cleanUp();
    if (completionBlock_) {
        auto block = completionBlock_;
        block(std::move(dictionary), std::move(error));
    }
}

void HubPeerStateReceiver::cleanUp() {
    if (timer_) endpoint_.loop().cancel(timer_);
    timer_ = 0;
    endpoint_.removeDelegate(this);
    running_.store(false);
    dictionaryData_.clear();
    currentResourceStream_.reset();
    currentResourceName_.clear();
    std::error_code error;
    for (const auto& [key, path] : resourceFiles_) std::filesystem::remove(path, error);
    resourceFiles_.clear();
}

}  // namespace strombel::hub

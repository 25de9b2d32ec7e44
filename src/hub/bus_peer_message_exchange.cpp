#include "hub/bus_peer_message_exchange.h"

#include "hub/bus_peer.h"

namespace strombel::hub {

std::shared_ptr<BusPeerMessageExchange> BusPeerMessageExchange::messageExchangeWithEndpoint(
    BusLocalEndpoint& endpoint, std::shared_ptr<BusPeer> peer, std::vector<uint8_t> message, double timeout,
    EvaluatorBlock evaluatorBlock, ResponseBlock responseBlock) {
    return std::shared_ptr<BusPeerMessageExchange>(new BusPeerMessageExchange(
        endpoint, std::move(peer), std::move(message), timeout, std::move(evaluatorBlock), std::move(responseBlock)));
}

BusPeerMessageExchange::BusPeerMessageExchange(BusLocalEndpoint& endpoint, std::shared_ptr<BusPeer> peer,
                                               std::vector<uint8_t> message, double timeout,
                                               EvaluatorBlock evaluatorBlock, ResponseBlock responseBlock)
    : endpoint_(endpoint),
      peer_(std::move(peer)),
      message_(std::move(message)),
      evaluatorBlock_(std::move(evaluatorBlock)),
      responseBlock_(std::move(responseBlock)),
      timeout_(timeout) {}

BusPeerMessageExchange::~BusPeerMessageExchange() {
    endpoint_.removeDelegate(this);
    if (timer_) endpoint_.loop().cancel(timer_);
}

void BusPeerMessageExchange::start() {
    if (started_.load()) return;
    started_.store(true);
    answered_.store(false);
    std::weak_ptr<BusPeerMessageExchange> weak = weak_from_this();
    timer_ = endpoint_.loop().schedule(static_cast<uint64_t>(timeout_ * 1e9), [weak] {
        if (auto self = weak.lock()) self->timeout();
    });
    endpoint_.addDelegate(this);
    BusPeerSendMessage(*peer_, message_);
}

void BusPeerMessageExchange::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                                      const std::shared_ptr<BusPeer>& peer) {
    if (peer.get() != peer_.get() || !started_.load() || answered_.load()) return;
    if (!evaluatorBlock_(bytes, static_cast<size_t>(length))) return;
    answered_.store(true);
    std::vector<uint8_t> answer(bytes, bytes + length);
    std::weak_ptr<BusPeerMessageExchange> weak = weak_from_this();
    endpoint_.loop().post([weak, answer = std::move(answer)]() mutable {
        auto self = weak.lock();
        if (!self || !self->started_.load()) return;
        self->finish();
        self->responseBlock_(std::move(answer), std::nullopt);
    });
}

void BusPeerMessageExchange::timeout() {
    timer_ = 0;
    if (!started_.load()) return;
    finish();
    responseBlock_(std::nullopt, BusError{kBusPeerMessageExchangeErrorDomain, 0, "Timeout occurred"});
}

void BusPeerMessageExchange::finish() {
    if (timer_) endpoint_.loop().cancel(timer_);
    timer_ = 0;
    endpoint_.removeDelegate(this);
    started_.store(false);
}

void BusPeerMessageExchange::cancel() {
    if (!started_.load()) return;
    finish();
}

}  // namespace strombel::hub

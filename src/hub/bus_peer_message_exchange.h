#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "hub/bus_local_endpoint.h"
#include "platform/main_loop.h"

namespace strombel::hub {

inline constexpr const char* kBusPeerMessageExchangeErrorDomain = "BusPeerMessageExchangeErrorDomain";

/// An exchange's failure: domain, code and description.
struct BusError {
    std::string domain;
    int64_t code = 0;
    std::string description;
};

/// Sends one message to one peer and waits for the first message from that peer
/// that the evaluator takes as the answer, or for the time-out. The response
/// block runs on the main loop exactly once per started exchange, unless it is
/// cancelled. Made and used on the main loop's thread; hold it by shared pointer
/// until it answers.
class BusPeerMessageExchange : public BusLocalEndpointDelegate,
                               public std::enable_shared_from_this<BusPeerMessageExchange> {
public:
    /// Runs on the listener thread for each message from the peer: quick, thread-safe.
    using EvaluatorBlock = std::function<bool(const uint8_t* bytes, size_t length)>;
    using ResponseBlock = std::function<void(std::optional<std::vector<uint8_t>> answer, std::optional<BusError> error)>;

    static std::shared_ptr<BusPeerMessageExchange> messageExchangeWithEndpoint(
        BusLocalEndpoint& endpoint, std::shared_ptr<BusPeer> peer, std::vector<uint8_t> message, double timeout,
        EvaluatorBlock evaluatorBlock, ResponseBlock responseBlock);
    ~BusPeerMessageExchange() override;

    void start();
    void cancel();
    bool started() const { return started_.load(); }

    void endpoint(BusLocalEndpoint& endpoint, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<BusPeer>& peer) override;

private:
    BusPeerMessageExchange(BusLocalEndpoint& endpoint, std::shared_ptr<BusPeer> peer, std::vector<uint8_t> message,
                           double timeout, EvaluatorBlock evaluatorBlock, ResponseBlock responseBlock);
    void timeout();
    void finish();

    std::atomic<bool> started_{false};
    BusLocalEndpoint& endpoint_;
    std::shared_ptr<BusPeer> peer_;
    std::vector<uint8_t> message_;
    EvaluatorBlock evaluatorBlock_;
    ResponseBlock responseBlock_;
    double timeout_;
    platform::MainLoop::TimerId timer_ = 0;
    std::atomic<bool> answered_{false};
};

}  // namespace strombel::hub

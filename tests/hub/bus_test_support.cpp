#include "bus_test_support.h"

#include "hub/bus_message.h"

namespace strombel::hub::testing {

void PingAnswerer::endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                            const std::shared_ptr<BusPeer>& peer) {
    auto reply = makePingReply(bytes, static_cast<size_t>(length), 42);
    if (reply) BusPeerSendMessage(*peer, *reply);
}

}  // namespace strombel::hub::testing

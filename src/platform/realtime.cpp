#include "platform/realtime.h"

namespace strombel::platform {

namespace detail {
// Read by the test build's allocation guard inside malloc: initial-exec keeps the
// access a plain load that can never call back into malloc.
__thread int realtimeDepth __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace detail

using detail::realtimeDepth;

RealtimeScope::RealtimeScope() noexcept { ++realtimeDepth; }
RealtimeScope::~RealtimeScope() { --realtimeDepth; }

RealtimeScopeExit::RealtimeScopeExit() noexcept : saved_(realtimeDepth) { realtimeDepth = 0; }
RealtimeScopeExit::~RealtimeScopeExit() { realtimeDepth = saved_; }

}  // namespace strombel::platform

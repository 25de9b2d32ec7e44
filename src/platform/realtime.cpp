#include "platform/realtime.h"

namespace strombel::platform {

namespace {
// Read by the test build's allocation guard inside malloc: initial-exec keeps the
// access a plain load that can never call back into malloc.
__attribute__((tls_model("initial-exec"))) thread_local int realtimeDepth = 0;
}  // namespace

RealtimeScope::RealtimeScope() noexcept { ++realtimeDepth; }
RealtimeScope::~RealtimeScope() { --realtimeDepth; }

RealtimeScopeExit::RealtimeScopeExit() noexcept : saved_(realtimeDepth) { realtimeDepth = 0; }
RealtimeScopeExit::~RealtimeScopeExit() { realtimeDepth = saved_; }

bool isRealtimeThread() noexcept { return realtimeDepth > 0; }

}  // namespace strombel::platform

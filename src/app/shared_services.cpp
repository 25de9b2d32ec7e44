#include "app/shared_services.h"

#include "http/network_thread.h"
#include "info/rating_prompt.h"
#include "logging/log_core.h"
#include "platform/main_loop.h"

namespace strombel::app {

void endSharedServices() {
    // The prompt counts launches on its queue and may ask the network.
    info::RatingPrompt::endSharedInstance();
    http::NetworkThread::stopShared();
    platform::MainLoop::shared().stopWaker();
    logging::Log::finish();
}

}  // namespace strombel::app

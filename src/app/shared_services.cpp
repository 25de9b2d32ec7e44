#include "app/shared_services.h"

#include "http/network_thread.h"
#include "info/rating_prompt.h"
#include "logging/log_core.h"
#include "platform/devices/jack_opener.h"
#include "platform/main_loop.h"
#include "ui/info/strombel_information_view_controller.h"

namespace strombel::app {

bool endSharedServices() {
    // First: the openings deliver to the main loop, and log. What closes JACK
    // clients gets a second; a server that hangs holds nobody longer.
    const bool openerEnded = platform::JackOpener::finishShared(std::chrono::milliseconds(1000));
    // A question to the desktop about a mail program is called off.
    info::StrombelInformationViewController::endMailHandlerQuestion();
    // The prompt counts launches on its queue and may ask the network.
    info::RatingPrompt::endSharedInstance();
    http::NetworkThread::stopShared();
    // No thread posts to the main loop any more: what it still holds (work
    // posted after its last turn, such as a hub peer's request that the bus
    // listener queued with the peer as the program was taken down; timers not
    // yet due) goes now, unrun, while the notification centre such a peer
    // leaves as it goes still stands: the centre is made after the loop, so it
    // would go first. With an open left waiting the process destroys nothing.
    if (openerEnded) platform::MainLoop::shared().discardPending();
    platform::MainLoop::shared().stopWaker();
    logging::Log::finish();
    return openerEnded;
}

}  // namespace strombel::app

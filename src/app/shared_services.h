#pragma once

namespace strombel::app {

/// The end of what lives for the whole process, in one order, after the program
/// has been taken down (so nothing that used these runs any more): the rating
/// prompt's queue, the network thread, the main loop's waker, and last the
/// logging's threads (everything above may still log). Each thread is stopped and
/// joined here, so that no shared instance is destroyed at exit while one runs.
/// What was never made is not made now.
void endSharedServices();

}  // namespace strombel::app

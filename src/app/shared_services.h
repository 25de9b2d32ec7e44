#pragma once

namespace strombel::app {

/// The end of what lives for the whole process, in one order, after the program
/// has been taken down (so nothing that used these runs any more): the JACK
/// opener, a question to the desktop about a mail program, the rating prompt's queue, the network thread, the work the main
/// loop still holds (dropped unrun), the main loop's waker, and last the
/// logging's threads (everything above may still log). Each thread is stopped
/// and joined here, so that no shared instance is destroyed at exit while one
/// runs, and nothing the loop held is destroyed after what it reaches. What was
/// never made is not made now.
///
/// The one exception: a JACK open that a server keeps waiting is not waited for
/// longer than a moment. Its thread is left inside libjack, and the answer is
/// false: the process must then end without running any static destructor
/// (`std::_Exit`), so that nothing that thread may still reach (libjack's own
/// objects, the main loop) is destroyed under it.
bool endSharedServices();

}  // namespace strombel::app

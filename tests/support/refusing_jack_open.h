#pragma once

// A JACK server that refuses openings while it answers, as it does when two
// processes open clients of one name at the same moment: this test program's
// own jack_client_open stands before libjack's (for our code and for the
// libraries it loads) and refuses the next openings of a client whose name
// holds a given text. Link refusing_jack_open.cpp into the test program.

#include <string>

namespace strombel::testing {

/// Refuses the next `count` openings of clients whose names contain `name`.
void refuseJackOpenings(const std::string& name, int count);
/// How many of them are still to be refused.
int jackOpeningsStillRefused();

}  // namespace strombel::testing

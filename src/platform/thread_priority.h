#pragma once

// The one policy for threads that run real-time: the audio thread, which the
// sound server runs at its own first-in-first-out priority, above the
// sequencer, above the MIDI sends, above the hub's bus listener; nothing else.
// Each of ours asks for a step under the audio thread, so that parsing a flood
// of datagrams or a burst of MIDI never outranks the sound.

#include <pthread.h>

#include <string>

namespace strombel::platform {

/// The threads of ours that run real-time, each the given number of steps
/// under the audio thread.
enum class RealTimeRole : int { Sequencer = 1, Midi = 2, BusListener = 3 };

/// JACK's own priority for its clients' threads under its default server
/// priority (10): what the audio thread runs at until the server tells.
inline constexpr int kAssumedAudioThreadPriority = 5;

/// The first-in-first-out priority of the audio thread: the sound server's
/// for its clients once told (0 when they do not run real-time), else
/// kAssumedAudioThreadPriority. Any thread.
int audioThreadPriority();
/// What the sound server gives its clients (a JACK client reads it once
/// open): every thread raised by a RealTimeThread is placed under it anew.
/// Any thread but a real-time one.
void setAudioThreadPriority(int priority);

/// The priority `role` asks: `audio` less the role's steps, or 0 (the thread
/// stays an ordinary one) where no priority is left under `audio`.
int realTimePriority(RealTimeRole role, int audio);

/// Raises the calling thread for the object's life to its role's priority,
/// kept under the audio thread's as that changes. Make it first in the thread's
/// function, outside any real-time scope (it takes a lock), and let it go
/// before the thread ends.
class RealTimeThread {
public:
    explicit RealTimeThread(RealTimeRole role);
    ~RealTimeThread();
    RealTimeThread(const RealTimeThread&) = delete;
    RealTimeThread& operator=(const RealTimeThread&) = delete;

    RealTimeRole role() const { return role_; }
    /// Empty when the thread runs at its role's priority (or as an ordinary
    /// thread where the role has none); else why the system refused.
    const std::string& error() const { return error_; }

private:
    friend void setAudioThreadPriority(int priority);
    /// Applies the role's priority under `audio`; what went wrong, or empty.
    std::string apply(int audio) const;

    RealTimeRole role_;
    pthread_t thread_;
    std::string error_;
};

}  // namespace strombel::platform

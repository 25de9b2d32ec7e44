#pragma once

// Which of the program's threads the calling thread is, and checks that an API
// documented for one thread is called there.
//
// Each thread the program starts for a purpose carries a role: the main loop's
// thread (set by MainLoop::bindToCurrentThread and run), the audio device's
// callback thread, the sequencer's timing loop, the MIDI action thread and the
// MIDI read threads. Every other thread has none.
//
// STROMBEL_EXPECT_THREAD(roles) states which roles may call the function it opens:
//
//     void Sequencer::stop() {
//         STROMBEL_EXPECT_THREAD(kMainLoopThread);
//
// Called on a thread of another role, it prints one line naming the function and
// the role found, and aborts. A thread with no role passes unless the process
// asked for strict roles (`requireThreadRoles`): the program does, at start;
// tests and benchmarks drive the APIs from their own threads and do not.
//
// The checks exist only where STROMBEL_THREAD_CHECKS is defined (the development
// and test builds; the build option of the same name); elsewhere the macro is
// nothing, and so are the roles' scopes. Where built, setting a role and checking
// one costs a thread-local load or store: no allocation, no lock, so the audio
// thread may carry them.

#include <atomic>
#include <cstdint>

namespace strombel::platform {

/// A thread's role, one bit each so that a check can accept several.
enum class ThreadRole : uint8_t {
    none = 0,
    mainLoop = 1 << 0,
    audio = 1 << 1,
    sequencer = 1 << 2,
    midiAction = 1 << 3,
    midiInput = 1 << 4,
};

/// A set of roles.
struct ThreadRoles {
    uint8_t bits = 0;
    constexpr ThreadRoles(ThreadRole role) : bits(static_cast<uint8_t>(role)) {}  // NOLINT: a role is a set of one
    constexpr explicit ThreadRoles(uint8_t roleBits) : bits(roleBits) {}
    constexpr bool contains(ThreadRole role) const { return (bits & static_cast<uint8_t>(role)) != 0; }
};
constexpr ThreadRoles operator|(ThreadRoles a, ThreadRoles b) { return ThreadRoles(static_cast<uint8_t>(a.bits | b.bits)); }
constexpr ThreadRoles operator|(ThreadRole a, ThreadRole b) { return ThreadRoles(a) | ThreadRoles(b); }

/// The names a check is written with.
inline namespace thread_roles {
inline constexpr ThreadRole kMainLoopThread = ThreadRole::mainLoop;
inline constexpr ThreadRole kAudioThread = ThreadRole::audio;
inline constexpr ThreadRole kSequencerThread = ThreadRole::sequencer;
inline constexpr ThreadRole kMidiActionThread = ThreadRole::midiAction;
inline constexpr ThreadRole kMidiInputThread = ThreadRole::midiInput;
/// The threads that start and stop tracks: the main loop, the sequencer and MIDI.
inline constexpr ThreadRoles kControlThreads = kMainLoopThread | kSequencerThread | kMidiActionThread;
}  // namespace thread_roles

namespace detail {
extern __thread uint8_t threadRole __attribute__((tls_model("initial-exec")));
extern std::atomic<bool> strictThreadRoles;
[[noreturn]] void wrongThread(const char* api, ThreadRoles expected) noexcept;
}  // namespace detail

/// The calling thread's role.
inline ThreadRole currentThreadRole() noexcept { return static_cast<ThreadRole>(detail::threadRole); }
/// Gives the calling thread `role` for good (a thread the program owns). Only
/// where the checks are built; elsewhere every thread keeps "no role".
inline void setThreadRole([[maybe_unused]] ThreadRole role) noexcept {
#if defined(STROMBEL_THREAD_CHECKS)
    detail::threadRole = static_cast<uint8_t>(role);
#endif
}
/// "main loop", "audio", "sequencer", "MIDI action", "MIDI input" or "no role".
const char* threadRoleName(ThreadRole role) noexcept;

/// Gives the calling thread `role` for the scope's life (a callback on a thread
/// someone else owns), then the role it had before. Only where the checks are
/// built; elsewhere it is nothing, so an audio callback pays nothing for it.
class ThreadRoleScope {
public:
#if defined(STROMBEL_THREAD_CHECKS)
    explicit ThreadRoleScope(ThreadRole role) noexcept : saved_(detail::threadRole) { setThreadRole(role); }
    ~ThreadRoleScope() { detail::threadRole = saved_; }
#else
    explicit ThreadRoleScope(ThreadRole) noexcept {}
    ~ThreadRoleScope() {}  // NOLINT: user-provided, so an unused scope draws no warning
#endif
    ThreadRoleScope(const ThreadRoleScope&) = delete;
    ThreadRoleScope& operator=(const ThreadRoleScope&) = delete;

#if defined(STROMBEL_THREAD_CHECKS)
private:
    uint8_t saved_;
#endif
};

/// From now on (or no longer, given false) a thread with no role fails every check.
void requireThreadRoles(bool strict = true) noexcept;

/// The check behind STROMBEL_EXPECT_THREAD.
inline void expectThreadRole(ThreadRoles expected, const char* api) noexcept {
    const ThreadRole role = currentThreadRole();
    if (expected.contains(role)) return;
    if (role == ThreadRole::none && !detail::strictThreadRoles.load(std::memory_order_relaxed)) return;
    detail::wrongThread(api, expected);
}

}  // namespace strombel::platform

#if defined(STROMBEL_THREAD_CHECKS)
#define STROMBEL_EXPECT_THREAD(...)                                                 \
    do {                                                                            \
        using namespace ::strombel::platform::thread_roles;                         \
        ::strombel::platform::expectThreadRole((__VA_ARGS__), __PRETTY_FUNCTION__); \
    } while (0)
#else
#define STROMBEL_EXPECT_THREAD(...) \
    do {                            \
    } while (0)
#endif

#include "platform/thread_role.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/realtime.h"

namespace strombel::platform {

namespace detail {
__thread uint8_t threadRole __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<bool> strictThreadRoles{false};

namespace {
// Appends `text` to the line being built, cutting it at the end of the buffer.
void append(char* line, size_t& length, size_t capacity, const char* text) {
    const size_t room = capacity - length;
    const size_t size = std::min(std::strlen(text), room);
    std::memcpy(line + length, text, size);
    length += size;
}
}  // namespace

void wrongThread(const char* api, ThreadRoles expected) noexcept {
    // Built on the stack and written with one call: the calling thread may be a
    // real-time one, and it aborts right after.
    char line[1024];
    size_t length = 0;
    const size_t capacity = sizeof line - 1;
    append(line, length, capacity, "wrong thread: ");
    append(line, length, capacity, api);
    append(line, length, capacity, " called on a thread of role \"");
    append(line, length, capacity, threadRoleName(currentThreadRole()));
    append(line, length, capacity, "\", expected \"");
    const char* separator = "";
    for (const ThreadRole role : {ThreadRole::mainLoop, ThreadRole::audio, ThreadRole::sequencer,
                                  ThreadRole::midiAction, ThreadRole::midiInput}) {
        if (!expected.contains(role)) continue;
        append(line, length, capacity, separator);
        append(line, length, capacity, threadRoleName(role));
        separator = "\" or \"";
    }
    append(line, length, capacity, "\"");
    line[length++] = '\n';
    RealtimeScopeExit mayWrite;  // the test build's real-time guard would stop the write
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, length);
    std::abort();
}
}  // namespace detail

const char* threadRoleName(ThreadRole role) noexcept {
    switch (role) {
        case ThreadRole::none: return "no role";
        case ThreadRole::mainLoop: return "main loop";
        case ThreadRole::audio: return "audio";
        case ThreadRole::sequencer: return "sequencer";
        case ThreadRole::midiAction: return "MIDI action";
        case ThreadRole::midiInput: return "MIDI input";
    }
    return "unknown";
}

void requireThreadRoles(bool strict) noexcept { detail::strictThreadRoles.store(strict); }

}  // namespace strombel::platform

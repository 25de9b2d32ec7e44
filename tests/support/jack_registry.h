#pragma once

// JACK keeps one registry of servers per machine, in shared memory, with room
// for eight. A server that dies without cleaning up (killed, crashed) keeps its
// place, and jackd only takes a place back for a server of the same name: on a
// machine where many test runs start and stop servers of their own, the gone
// ones pile up until no server starts ("Too many servers already active").
// This frees the places of servers whose process is gone, under the registry's
// own lock, as jackd does for a name of its own.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace strombel::testing {

namespace jack_registry {
// The layout of the registry written by libjack 1.9 (jackd2).
constexpr const char* kPath = "/dev/shm/jack-shm-registry";
constexpr key_t kLockKey = 0x282929;
constexpr uint32_t kMagic = 0x4A41434B;  // "JACK"
constexpr int kMaxServers = 8;
constexpr size_t kNameSize = 256;
struct Server {
    int32_t pid;
    char name[kNameSize];
    int32_t padding;
};
struct Header {
    uint32_t magic;
    uint32_t protocol;
    uint32_t type;
    uint32_t size;
    uint32_t headerLength;
    uint32_t entryLength;
    Server servers[kMaxServers];
};
static_assert(sizeof(Header) == 24 + kMaxServers * 264);
constexpr uint32_t kEntryLength = 268;
constexpr timespec kLockWait{5, 0};
}  // namespace jack_registry

/// Whether the process has ended but was not reaped (a server whose test died:
/// it is the init process's child then, which may never reap it).
inline bool isZombie(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    char text[512];
    const ssize_t got = ::read(file, text, sizeof text - 1);
    ::close(file);
    if (got <= 0) return false;
    text[got] = '\0';
    const char* end = std::strrchr(text, ')');  // the name may hold spaces and parentheses
    return end && end[1] == ' ' && end[2] == 'Z';
}

/// Frees the registry places of JACK servers whose process is gone. Answers how
/// many were freed, or -1 when there is no registry, not one laid out as
/// expected, or its lock stays taken for five seconds (a JACK process stopped
/// while holding it): then nothing is touched.
inline int reclaimGoneJackServers() {
    using namespace jack_registry;
    const int file = ::open(kPath, O_RDWR);
    if (file < 0) return -1;
    struct stat status{};
    if (::fstat(file, &status) != 0 || static_cast<size_t>(status.st_size) < sizeof(Header)) {
        ::close(file);
        return -1;
    }
    void* mapped = ::mmap(nullptr, sizeof(Header), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    ::close(file);
    if (mapped == MAP_FAILED) return -1;
    auto* header = static_cast<Header*>(mapped);
    int freed = -1;
    const int lock = ::semget(kLockKey, 1, 0);
    sembuf take{0, -1, SEM_UNDO};
    if (header->magic == kMagic && header->headerLength == sizeof(Header) && header->entryLength == kEntryLength &&
        lock >= 0 && ::semtimedop(lock, &take, 1, &kLockWait) == 0) {
        freed = 0;
        for (Server& server : header->servers) {
            if (server.pid > 0 && ((::kill(server.pid, 0) != 0 && errno == ESRCH) || isZombie(server.pid))) {
                std::memset(&server, 0, sizeof server);
                ++freed;
            }
        }
        sembuf give{0, 1, SEM_UNDO};
        ::semop(lock, &give, 1);
    }
    ::munmap(mapped, sizeof(Header));
    return freed;
}

}  // namespace strombel::testing

// The real-time guard: interposes the calls a real-time thread must never make
// and aborts, with a stack trace, when a thread marked real-time makes one.
// See realtime_guard.h.

#include "support/realtime_guard.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/realtime.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STROMBEL_GUARD_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STROMBEL_GUARD_UNDER_SANITIZER 1
#endif
#endif

#ifdef STROMBEL_GUARD_UNDER_SANITIZER
#include <sanitizer/common_interface_defs.h>
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                          void (*free_hook)(const volatile void*));
#endif

namespace {

using strombel::platform::isRealtimeThread;
using strombel::platform::RealtimeScopeExit;

ssize_t (*realWrite)(int, const void*, size_t) = nullptr;

void say(const char* text) {
    if (realWrite) realWrite(2, text, std::strlen(text));
}

[[noreturn]] void violation(const char* what) {
    RealtimeScopeExit lifted;  // what follows may allocate and write
    say("\n*** real-time guard: a thread marked real-time called ");
    say(what);
    say("\n");
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, 2);
    std::abort();
}

inline void check(const char* what) {
    if (isRealtimeThread()) violation(what);
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

/// The next definition of `name`, looked up on first use when a call comes
/// before the guard's constructor ran.
template <class Function>
Function resolved(Function& slot, const char* name) {
    if (!slot) slot = next<Function>(name);
    return slot;
}

}  // namespace

namespace strombel::testing {

bool realtimeGuardActive() { return true; }

bool realtimeGuardWatchesSystemCalls() {
#ifdef STROMBEL_GUARD_UNDER_SANITIZER
    return false;
#else
    return true;
#endif
}

}  // namespace strombel::testing

#ifdef STROMBEL_GUARD_UNDER_SANITIZER

namespace {

void mallocHook(const volatile void*, size_t) { check("malloc (allocates)"); }
void freeHook(const volatile void* pointer) {
    if (pointer) check("free (frees)");
}

__attribute__((constructor)) void installGuard() {
    realWrite = next<ssize_t (*)(int, const void*, size_t)>("write");
    void* frames[4];
    backtrace(frames, 4);  // loads the unwinder now, not inside a violation
    __sanitizer_install_malloc_and_free_hooks(&mallocHook, &freeHook);
}

}  // namespace

#else

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

int (*realMutexLock)(pthread_mutex_t*) = nullptr;
int (*realMutexTryLock)(pthread_mutex_t*) = nullptr;
int (*realMutexTimedLock)(pthread_mutex_t*, const timespec*) = nullptr;
int (*realRwRead)(pthread_rwlock_t*) = nullptr;
int (*realRwWrite)(pthread_rwlock_t*) = nullptr;
int (*realCondWait)(pthread_cond_t*, pthread_mutex_t*) = nullptr;
int (*realCondTimedWait)(pthread_cond_t*, pthread_mutex_t*, const timespec*) = nullptr;
int (*realCondClockWait)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*) = nullptr;
int (*realSemWait)(sem_t*) = nullptr;
int (*realSemTimedWait)(sem_t*, const timespec*) = nullptr;
int (*realSemClockWait)(sem_t*, clockid_t, const timespec*) = nullptr;
int (*realNanosleep)(const timespec*, timespec*) = nullptr;
int (*realClockNanosleep)(clockid_t, int, const timespec*, timespec*) = nullptr;
int (*realUsleep)(useconds_t) = nullptr;
unsigned (*realSleep)(unsigned) = nullptr;
int (*realSchedYield)() = nullptr;
ssize_t (*realRead)(int, void*, size_t) = nullptr;
int (*realOpen)(const char*, int, ...) = nullptr;
int (*realOpenAt)(int, const char*, int, ...) = nullptr;
int (*realClose)(int) = nullptr;
int (*realPoll)(pollfd*, nfds_t, int) = nullptr;
int (*realSelect)(int, fd_set*, fd_set*, fd_set*, timeval*) = nullptr;

__attribute__((constructor(101))) void installGuard() {
    realWrite = next<decltype(realWrite)>("write");
    realMutexLock = next<decltype(realMutexLock)>("pthread_mutex_lock");
    realMutexTryLock = next<decltype(realMutexTryLock)>("pthread_mutex_trylock");
    realMutexTimedLock = next<decltype(realMutexTimedLock)>("pthread_mutex_timedlock");
    realRwRead = next<decltype(realRwRead)>("pthread_rwlock_rdlock");
    realRwWrite = next<decltype(realRwWrite)>("pthread_rwlock_wrlock");
    realCondWait = reinterpret_cast<decltype(realCondWait)>(dlvsym(RTLD_NEXT, "pthread_cond_wait", "GLIBC_2.3.2"));
    realCondTimedWait =
        reinterpret_cast<decltype(realCondTimedWait)>(dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2"));
    realCondClockWait = next<decltype(realCondClockWait)>("pthread_cond_clockwait");
    realSemWait = next<decltype(realSemWait)>("sem_wait");
    realSemTimedWait = next<decltype(realSemTimedWait)>("sem_timedwait");
    realSemClockWait = next<decltype(realSemClockWait)>("sem_clockwait");
    realNanosleep = next<decltype(realNanosleep)>("nanosleep");
    realClockNanosleep = next<decltype(realClockNanosleep)>("clock_nanosleep");
    realUsleep = next<decltype(realUsleep)>("usleep");
    realSleep = next<decltype(realSleep)>("sleep");
    realSchedYield = next<decltype(realSchedYield)>("sched_yield");
    realRead = next<decltype(realRead)>("read");
    realOpen = next<decltype(realOpen)>("open");
    realOpenAt = next<decltype(realOpenAt)>("openat");
    realClose = next<decltype(realClose)>("close");
    realPoll = next<decltype(realPoll)>("poll");
    realSelect = next<decltype(realSelect)>("select");
    void* frames[4];
    backtrace(frames, 4);  // loads the unwinder now, not inside a violation
}

}  // namespace

extern "C" {

// Memory. Everything else (operator new and delete among it) comes here.
void* malloc(size_t size) {
    check("malloc (allocates)");
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    check("calloc (allocates)");
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    check("realloc (allocates)");
    return __libc_realloc(pointer, size);
}
void free(void* pointer) {
    if (pointer) check("free (frees)");
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) {
    check("memalign (allocates)");
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    check("aligned_alloc (allocates)");
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
    check("posix_memalign (allocates)");
    void* memory = __libc_memalign(alignment, size);
    if (!memory) return ENOMEM;
    *result = memory;
    return 0;
}

// Locks and waits.
int pthread_mutex_lock(pthread_mutex_t* mutex) {
    check("pthread_mutex_lock (waits for another thread)");
    return resolved(realMutexLock, "pthread_mutex_lock")(mutex);
}
int pthread_mutex_trylock(pthread_mutex_t* mutex) {
    check("pthread_mutex_trylock (a lock it may not get)");
    return resolved(realMutexTryLock, "pthread_mutex_trylock")(mutex);
}
int pthread_mutex_timedlock(pthread_mutex_t* mutex, const timespec* until) {
    check("pthread_mutex_timedlock (waits for another thread)");
    return resolved(realMutexTimedLock, "pthread_mutex_timedlock")(mutex, until);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
    check("pthread_rwlock_rdlock (waits for another thread)");
    return resolved(realRwRead, "pthread_rwlock_rdlock")(lock);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    check("pthread_rwlock_wrlock (waits for another thread)");
    return resolved(realRwWrite, "pthread_rwlock_wrlock")(lock);
}
int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    check("pthread_cond_wait (waits for another thread)");
    if (!realCondWait)
        realCondWait = reinterpret_cast<decltype(realCondWait)>(dlvsym(RTLD_NEXT, "pthread_cond_wait", "GLIBC_2.3.2"));
    return realCondWait(condition, mutex);
}
int pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex, const timespec* until) {
    check("pthread_cond_timedwait (waits for another thread)");
    if (!realCondTimedWait)
        realCondTimedWait =
            reinterpret_cast<decltype(realCondTimedWait)>(dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2"));
    return realCondTimedWait(condition, mutex, until);
}
int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                           const timespec* until) {
    check("pthread_cond_clockwait (waits for another thread)");
    return resolved(realCondClockWait, "pthread_cond_clockwait")(condition, mutex, clock, until);
}
int sem_wait(sem_t* semaphore) {
    check("sem_wait (waits for another thread)");
    return resolved(realSemWait, "sem_wait")(semaphore);
}
int sem_timedwait(sem_t* semaphore, const timespec* until) {
    check("sem_timedwait (waits for another thread)");
    return resolved(realSemTimedWait, "sem_timedwait")(semaphore, until);
}
int sem_clockwait(sem_t* semaphore, clockid_t clock, const timespec* until) {
    check("sem_clockwait (waits for another thread)");
    return resolved(realSemClockWait, "sem_clockwait")(semaphore, clock, until);
}

// Sleeps.
int nanosleep(const timespec* duration, timespec* left) {
    check("nanosleep (sleeps)");
    return resolved(realNanosleep, "nanosleep")(duration, left);
}
int clock_nanosleep(clockid_t clock, int flags, const timespec* until, timespec* left) {
    check("clock_nanosleep (sleeps)");
    return resolved(realClockNanosleep, "clock_nanosleep")(clock, flags, until, left);
}
int usleep(useconds_t micros) {
    check("usleep (sleeps)");
    return resolved(realUsleep, "usleep")(micros);
}
unsigned sleep(unsigned seconds) {
    check("sleep (sleeps)");
    return resolved(realSleep, "sleep")(seconds);
}
int sched_yield() {
    check("sched_yield (gives the processor away)");
    return resolved(realSchedYield, "sched_yield")();
}

// Files, pipes and sockets.
ssize_t write(int descriptor, const void* bytes, size_t size) {
    check("write (a system call that can block)");
    return resolved(realWrite, "write")(descriptor, bytes, size);
}
ssize_t read(int descriptor, void* bytes, size_t size) {
    check("read (a system call that can block)");
    return resolved(realRead, "read")(descriptor, bytes, size);
}
int open(const char* path, int flags, ...) {
    check("open (touches a file)");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = static_cast<mode_t>(va_arg(arguments, unsigned));
    va_end(arguments);
    return resolved(realOpen, "open")(path, flags, mode);
}
int openat(int folder, const char* path, int flags, ...) {
    check("openat (touches a file)");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = static_cast<mode_t>(va_arg(arguments, unsigned));
    va_end(arguments);
    return resolved(realOpenAt, "openat")(folder, path, flags, mode);
}
int close(int descriptor) {
    check("close (a system call that can block)");
    return resolved(realClose, "close")(descriptor);
}
int poll(pollfd* descriptors, nfds_t count, int timeout) {
    check("poll (waits)");
    return resolved(realPoll, "poll")(descriptors, count, timeout);
}
int select(int count, fd_set* reading, fd_set* writing, fd_set* failing, timeval* timeout) {
    check("select (waits)");
    return resolved(realSelect, "select")(count, reading, writing, failing, timeout);
}

}  // extern "C"

#endif

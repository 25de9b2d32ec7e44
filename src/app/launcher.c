/* strombel: the program's first instructions.
 *
 * SIGTERM and SIGINT are blocked before anything else runs; then the program
 * proper (libexec/strombel beside this file) takes this process's place with
 * the two signals still blocked, and one that came meanwhile still pending: a
 * blocked signal survives exec. The program proper needs a hundred shared
 * libraries, which the loader maps and links for several milliseconds before
 * any code of the program runs; a signal in that time now waits for the
 * program to take it, as every later one does, instead of ending it half made.
 *
 * Nothing here uses the C library, which is not set up yet when this runs: the
 * system calls are made directly, the first of them the one that blocks the
 * signals. Built for x86-64 and AArch64 (elsewhere the build uses the program
 * proper directly).
 */

#define PROGRAM_NAME "libexec/strombel"
#define PATH_SIZE 4096

#if defined(__x86_64__)
#define SYSTEM_READLINKAT 267
#define SYSTEM_RT_SIGPROCMASK 14
#define SYSTEM_EXECVE 59
#define SYSTEM_WRITE 1
#define SYSTEM_EXIT_GROUP 231

static long systemCall(long number, long a, long b, long c, long d) {
    register long r10 __asm__("r10") = d;
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return result;
}

/* The stack holds argc, the arguments, a null, the environment, a null. */
__asm__(".text\n"
        ".global _start\n"
        "_start:\n"
        "  xor %ebp, %ebp\n"
        "  mov %rsp, %rdi\n"
        "  and $-16, %rsp\n"
        "  call launch\n"
        "  hlt\n");
#elif defined(__aarch64__)
#define SYSTEM_READLINKAT 78
#define SYSTEM_RT_SIGPROCMASK 135
#define SYSTEM_EXECVE 221
#define SYSTEM_WRITE 64
#define SYSTEM_EXIT_GROUP 94

static long systemCall(long number, long a, long b, long c, long d) {
    register long x8 __asm__("x8") = number;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
}

__asm__(".text\n"
        ".global _start\n"
        "_start:\n"
        "  mov x29, #0\n"
        "  mov x30, #0\n"
        "  mov x0, sp\n"
        "  bl launch\n"
        "  brk #0\n");
#else
#error "the launcher is built for x86-64 and AArch64 only"
#endif

#define SIGNAL_BLOCK 0
#define AT_CURRENT_FOLDER (-100)
#define SIGNAL_INTERRUPT 2
#define SIGNAL_TERMINATE 15

static unsigned long length(const char* text) {
    unsigned long n = 0;
    while (text[n]) ++n;
    return n;
}

static void say(const char* text) { systemCall(SYSTEM_WRITE, 2, (long)text, (long)length(text), 0); }

__attribute__((noreturn)) static void fail(const char* what, const char* path, long error) {
    char number[24];
    int at = (int)sizeof number - 1;
    number[at] = 0;
    unsigned long value = (unsigned long)-error;
    do {
        number[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value && at > 0);
    say("strombel: ");
    say(what);
    say(path);
    say(" (error ");
    say(number + at);
    say(")\n");
    systemCall(SYSTEM_EXIT_GROUP, 127, 0, 0, 0);
    __builtin_unreachable();
}

__attribute__((used, noreturn)) void launch(long* stack) {
    /* The kernel's signal set: bit n-1 stands for signal n. */
    static const unsigned long held = (1ul << (SIGNAL_INTERRUPT - 1)) | (1ul << (SIGNAL_TERMINATE - 1));
    systemCall(SYSTEM_RT_SIGPROCMASK, SIGNAL_BLOCK, (long)&held, 0, sizeof held);

    const long count = stack[0];
    char** arguments = (char**)(stack + 1);
    char** environment = arguments + count + 1;

    /* The program proper lies in the folder of this file's own path. */
    static char path[PATH_SIZE];
    const unsigned long room = PATH_SIZE - sizeof PROGRAM_NAME - 1;
    long got = systemCall(SYSTEM_READLINKAT, AT_CURRENT_FOLDER, (long)"/proc/self/exe", (long)path, (long)room);
    if (got <= 0 && count > 0) {
        /* No /proc: the folder of the name this was started by, when it has one. */
        got = 0;
        for (const char* c = arguments[0]; *c && got < (long)room; ++c) path[got++] = *c;
    }
    long folderEnd = -1;
    for (long i = 0; i < got; ++i)
        if (path[i] == '/') folderEnd = i;
    if (folderEnd < 0) fail("cannot find the program beside ", count > 0 ? arguments[0] : "strombel", -2);
    long at = folderEnd + 1;
    for (const char* c = PROGRAM_NAME; *c; ++c) path[at++] = *c;
    path[at] = 0;

    const long error = systemCall(SYSTEM_EXECVE, (long)path, (long)arguments, (long)environment, 0);
    fail("cannot start ", path, error);
}

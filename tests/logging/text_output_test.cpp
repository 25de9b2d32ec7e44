#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "logging/text_output.h"

namespace strombel::logging {
namespace {

TEST(TextOutputTest, IllFormedUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string input;
        std::string expected;
    } cases[] = {
        {"plain ascii", "plain ascii"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\xA5\x81", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\xA5\x81"},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
        {"cut \xE2\x82", "cut \xEF\xBF\xBD"},                    // truncated sequence at the end
        {"\xC0\xAF overlong", "\xEF\xBF\xBD\xEF\xBF\xBD overlong"},  // overlong '/'
        {"\xED\xA0\x80 surrogate", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate"},
        {"lone \x80 continuation", "lone \xEF\xBF\xBD continuation"},
        // Faults far into long ASCII runs, before and after a valid sequence.
        {"a long run of plain words, then \xFF", "a long run of plain words, then \xEF\xBF\xBD"},
        {"caf\xC3\xA9 and a long run of plain words \xE2\x82", "caf\xC3\xA9 and a long run of plain words \xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(withReplacementCharacters(c.input), c.expected) << c.input;
        EXPECT_EQ(isValidUtf8(c.input), c.input == c.expected) << c.input;
        EXPECT_TRUE(isValidUtf8(withReplacementCharacters(c.input)));
    }
}

TEST(TextOutputTest, WriteAllDeliversEveryByteThroughShortWrites) {
    // A non-blocking pipe holds far less than the line: writev returns short and
    // then "would block" until the reader drains it.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, static_cast<size_t>(n));
            } else if (n == 0) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::string head = "head:";
    std::string body(300000, 'x');
    for (size_t i = 0; i < body.size(); i += 997) body[i] = static_cast<char>('a' + i % 26);
    std::string tail = "\n";
    iovec pieces[] = {{head.data(), head.size()}, {body.data(), body.size()}, {tail.data(), tail.size()}};
    EXPECT_TRUE(writeAll(fds[1], pieces));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, head + body + tail);
}

TEST(TextOutputTest, WriteAllResumesAfterSignalsInterruptIt) {
    // A handler without SA_RESTART: a signal that lands while writev waits on a
    // full pipe ends the call early, after part of the line or none of it.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string line(1 << 20, 'p');
    for (size_t i = 0; i < line.size(); i += 4093) line[i] = static_cast<char>('A' + i % 26);
    std::atomic<bool> finished{false};
    bool complete = false;
    std::thread writer([&] {
        iovec piece{line.data(), line.size()};
        complete = writeAll(fds[1], std::span(&piece, 1));
        ::close(fds[1]);
        finished = true;
    });
    std::string received;
    char buffer[8192];
    int signals = 0;
    while (!finished) {
        // Interrupt the writer again and again while the pipe is full, reading a little each time.
        ::pthread_kill(writer.native_handle(), SIGUSR1);
        ++signals;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<size_t>(n));
    writer.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(complete);
    EXPECT_GT(signals, 10);
    EXPECT_EQ(received.size(), line.size());
    EXPECT_TRUE(received == line);
}

TEST(TextOutputTest, WriteAllReportsAClosedDescriptor) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    std::string text = "lost";
    iovec piece{text.data(), text.size()};
    EXPECT_FALSE(writeAll(fds[1], std::span(&piece, 1)));
}

}  // namespace
}  // namespace strombel::logging

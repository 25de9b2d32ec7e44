#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

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

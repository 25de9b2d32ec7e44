#include "platform/utf8_cut.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace strombel::platform {
namespace {

TEST(Utf8Cut, InvalidBytesAndEdgeLimits) {
    struct Case {
        const char* name;
        std::string text;
        size_t limit;
        size_t kept;
    };
    const Case cases[] = {
        {"limit 0", "abc", 0, 0},
        {"limit 0 before a character", "\xC3\xA9", 0, 0},
        {"limit 1 inside the first character", "\xC3\xA9x", 1, 0},
        {"limit 1 after an ASCII letter", "ab", 1, 1},
        {"empty text", "", 0, 0},
        {"a text that fits is kept whole, broken end and all", "ab\xE2\x82", 4, 4},
        {"a run of continuation bytes longer than any character", "a\x80\x80\x80\x80\x80", 5, 5},
        {"a lead byte that never stands in UTF-8", "a\xFF\x80\x80", 2, 2},
        {"an overlong lead byte is a byte of its own", "a\xC0\x80", 2, 2},
        {"a lead byte past U+10FFFF is a byte of its own", "a\xF5\x80\x80\x80", 3, 3},
        {"a cut right after a whole character keeps it", "\xF0\x9F\xA5\x81\x80", 4, 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8CutLength(c.text.data(), c.text.size(), c.limit), c.kept) << c.name;
        EXPECT_EQ(cutAtCharacter(c.text, c.limit), std::string_view(c.text).substr(0, c.kept)) << c.name;
    }
    // It is a constant expression: fit for any context, a signal handler's included.
    static_assert(cutAtCharacter("a\xE2\x82\xAC", 3) == "a");
}

TEST(Utf8Cut, StepsThroughTextACharacterAtATimeByTheSameRule) {
    // ASCII, 2-, 3- and 4-byte characters, a stray continuation byte, a byte
    // never in UTF-8, a character missing its end, and one cut by the text's end.
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\xA5\x81\x80\xFF\xE2\x82z\xF0\x9F";
    std::vector<size_t> lengths;
    for (size_t at = 0; at < text.size(); at += lengths.back())
        lengths.push_back(utf8CharacterLength(text.data(), text.size(), at));
    EXPECT_EQ(lengths, (std::vector<size_t>{1, 2, 3, 4, 1, 1, 2, 1, 2}));
    // Wherever the cut falls, it falls between two of these characters.
    for (size_t limit = 0; limit <= text.size(); ++limit) {
        size_t boundary = 0;
        for (size_t length : lengths) {
            if (boundary + length > limit) break;
            boundary += length;
        }
        EXPECT_EQ(utf8CutLength(text.data(), text.size(), limit), boundary) << "limit " << limit;
    }
}

}  // namespace
}  // namespace strombel::platform

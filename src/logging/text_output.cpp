#include "logging/text_output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace strombel::logging {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it
// is ill-formed (overlong forms, surrogates and values past U+10FFFF included).
size_t sequenceLength(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

// The number of bytes of the ill-formed run at the start of `text` that one
// replacement character stands for: the lead byte and the continuation bytes
// that still fitted it.
size_t illFormedLength(std::string_view text) {
    uint8_t lead = static_cast<uint8_t>(text[0]);
    size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 1;
    if (lead > 0xF4) expected = 1;
    size_t length = 1;
    while (length < expected && length < text.size()) {
        uint8_t next = static_cast<uint8_t>(text[length]);
        if (next < 0x80 || next > 0xBF) break;
        // Check the second byte's narrowed range, as a decoder would.
        if (length == 1 && ((lead == 0xE0 && next < 0xA0) || (lead == 0xED && next > 0x9F) ||
                            (lead == 0xF0 && next < 0x90) || (lead == 0xF4 && next > 0x8F))) {
            break;
        }
        ++length;
    }
    return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        // Plain ASCII runs are the common case: eight bytes at a time, then the rest.
        while (i + sizeof(uint64_t) <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if (word & 0x8080808080808080u) break;
            i += sizeof word;
        }
        while (i < text.size() && static_cast<uint8_t>(text[i]) < 0x80) ++i;
        if (i == text.size()) break;
        size_t length = sequenceLength(text.substr(i));
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string withReplacementCharacters(std::string_view text) {
    std::string result;
    result.reserve(text.size() + 8);
    size_t i = 0;
    while (i < text.size()) {
        size_t length = sequenceLength(text.substr(i));
        if (length > 0) {
            result.append(text.substr(i, length));
            i += length;
        } else {
            result.append("\xEF\xBF\xBD");
            i += illFormedLength(text.substr(i));
        }
    }
    return result;
}

bool writeAll(int fd, std::span<iovec> pieces) {
    size_t first = 0;
    while (first < pieces.size() && pieces[first].iov_len == 0) ++first;
    while (first < pieces.size()) {
        int count = static_cast<int>(std::min<size_t>(pieces.size() - first, IOV_MAX));
        // One piece goes through write(2), which skips copying in an iovec array.
        ssize_t written = count == 1 ? ::write(fd, pieces[first].iov_base, pieces[first].iov_len)
                                     : ::writev(fd, &pieces[first], count);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd wait{fd, POLLOUT, 0};
                int ready;
                do {
                    ready = ::poll(&wait, 1, 1000);
                } while (ready < 0 && errno == EINTR);
                if (ready > 0) continue;
            }
            return false;
        }
        if (written == 0) return false;
        // Skip what was written, piece by piece, and resume inside a cut piece.
        size_t done = static_cast<size_t>(written);
        while (first < pieces.size() && done >= pieces[first].iov_len) {
            done -= pieces[first].iov_len;
            ++first;
        }
        if (first < pieces.size() && done > 0) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + done;
            pieces[first].iov_len -= done;
        }
        while (first < pieces.size() && pieces[first].iov_len == 0) ++first;
    }
    return true;
}

}  // namespace strombel::logging

#include "platform/byte_count.h"

#include <gtest/gtest.h>

namespace strombel::platform {
namespace {

TEST(ByteCountText, SizesReadAsPeopleReadThem) {
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    for (const Case& c : {Case{0, "0 bytes"}, Case{1, "1 byte"}, Case{1023, "1023 bytes"}, Case{1024, "1 KB"},
                          Case{1536, "1.5 KB"}, Case{20000, "19.5 KB"}, Case{1048575, "1 MB"},
                          Case{1048576, "1 MB"}, Case{67108864, "64 MB"}, Case{268435456, "256 MB"},
                          Case{3ull << 30, "3 GB"}, Case{UINT64_MAX, "16 EB"}}) {
        EXPECT_EQ(byteCountText(c.bytes), c.text) << c.bytes;
    }
}

}  // namespace
}  // namespace strombel::platform

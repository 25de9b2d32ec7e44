#include "crash/crash_writer_pack.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pack_types.pb-c.h"

namespace strombel::crash {
namespace {

// Our encoder's bytes for one field, through a real output file.
std::vector<uint8_t> ours(uint32_t field, int type, const void* value, size_t* counted = nullptr) {
    int fd = memfd_create("pack", MFD_CLOEXEC);
    crash_async_file file;
    crash_async_file_init(&file, fd, 0);
    size_t written = crash_writer_pack(&file, field, type, value);
    if (counted) *counted = crash_writer_pack(nullptr, field, type, value);
    crash_async_file_flush(&file);
    std::vector<uint8_t> bytes(written);
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return bytes;
}

// protobuf-c's bytes for a message with just that field set.
std::vector<uint8_t> theirs(const std::function<void(Packtest__AllTypes*)>& set) {
    Packtest__AllTypes message = PACKTEST__ALL_TYPES__INIT;
    set(&message);
    std::vector<uint8_t> bytes(packtest__all_types__get_packed_size(&message));
    packtest__all_types__pack(&message, bytes.data());
    return bytes;
}

struct Case {
    const char* name;
    uint32_t field;
    int type;
    std::function<const void*()> value;
    std::function<void(Packtest__AllTypes*)> set;
};

TEST(CrashWriterPack, EveryTypeEncodesAsProtobufCDoes) {
    static int32_t negativeInt32 = -5, sint32 = -300, sfixed32 = -7;
    static int64_t int64 = -1234567890123, sint64 = -99, sfixed64 = -8;
    static uint32_t uint32 = 300, fixed32 = 0xDEADBEEF, colour = 300;
    static uint64_t uint64 = 0xFFFFFFFFFFFFFFFFull, fixed64 = 0x0102030405060708ull;
    static float real32 = 1.5f;
    static double real64 = -2.25;
    static bool truth = true;
    static std::string text(200, 'x');
    static uint8_t raw[] = {0, 1, 2, 255};
    static crash_pack_bytes bytes = {sizeof raw, raw};
    static uint8_t inner[] = {0x08, 0x2A};  // Inner { value: 42 }
    static uint32_t innerLength = sizeof inner;
    static Packtest__Inner innerMessage = PACKTEST__INNER__INIT;
    innerMessage.has_value = 1;
    innerMessage.value = 42;

    const Case cases[] = {
        {"int32", 1, CRASH_PACK_INT32, [] { return &negativeInt32; },
         [](auto* m) { m->has_f_int32 = 1, m->f_int32 = negativeInt32; }},
        {"sint32", 2, CRASH_PACK_SINT32, [] { return &sint32; }, [](auto* m) { m->has_f_sint32 = 1, m->f_sint32 = sint32; }},
        {"sfixed32", 3, CRASH_PACK_SFIXED32, [] { return &sfixed32; },
         [](auto* m) { m->has_f_sfixed32 = 1, m->f_sfixed32 = sfixed32; }},
        {"int64", 4, CRASH_PACK_INT64, [] { return &int64; }, [](auto* m) { m->has_f_int64 = 1, m->f_int64 = int64; }},
        {"sint64", 5, CRASH_PACK_SINT64, [] { return &sint64; }, [](auto* m) { m->has_f_sint64 = 1, m->f_sint64 = sint64; }},
        {"sfixed64", 6, CRASH_PACK_SFIXED64, [] { return &sfixed64; },
         [](auto* m) { m->has_f_sfixed64 = 1, m->f_sfixed64 = sfixed64; }},
        {"uint32", 7, CRASH_PACK_UINT32, [] { return &uint32; }, [](auto* m) { m->has_f_uint32 = 1, m->f_uint32 = uint32; }},
        {"fixed32", 8, CRASH_PACK_FIXED32, [] { return &fixed32; },
         [](auto* m) { m->has_f_fixed32 = 1, m->f_fixed32 = fixed32; }},
        {"uint64", 9, CRASH_PACK_UINT64, [] { return &uint64; }, [](auto* m) { m->has_f_uint64 = 1, m->f_uint64 = uint64; }},
        {"fixed64", 10, CRASH_PACK_FIXED64, [] { return &fixed64; },
         [](auto* m) { m->has_f_fixed64 = 1, m->f_fixed64 = fixed64; }},
        {"float", 11, CRASH_PACK_FLOAT, [] { return &real32; }, [](auto* m) { m->has_f_float = 1, m->f_float = real32; }},
        {"double", 12, CRASH_PACK_DOUBLE, [] { return &real64; }, [](auto* m) { m->has_f_double = 1, m->f_double = real64; }},
        {"bool", 13, CRASH_PACK_BOOL, [] { return &truth; }, [](auto* m) { m->has_f_bool = 1, m->f_bool = truth; }},
        {"enum", 14, CRASH_PACK_ENUM, [] { return &colour; },
         [](auto* m) { m->has_f_enum = 1, m->f_enum = PACKTEST__COLOUR__BLUE; }},
        {"string", 15, CRASH_PACK_STRING, [] { return text.c_str(); }, [](auto* m) { m->f_string = text.data(); }},
        {"bytes", 16, CRASH_PACK_BYTES, [] { return &bytes; },
         [](auto* m) { m->has_f_bytes = 1, m->f_bytes.len = sizeof raw, m->f_bytes.data = raw; }},
    };
    for (const Case& c : cases) {
        size_t counted = 0;
        std::vector<uint8_t> encoded = ours(c.field, c.type, c.value(), &counted);
        EXPECT_EQ(encoded, theirs(c.set)) << c.name;
        EXPECT_EQ(counted, encoded.size()) << c.name;
    }

    // A message: our encoder writes the tag and length, the caller the body.
    std::vector<uint8_t> message = ours(2000, CRASH_PACK_MESSAGE, &innerLength);
    message.insert(message.end(), inner, inner + sizeof inner);
    EXPECT_EQ(message, theirs([](auto* m) { m->f_message = &innerMessage; }));
}

TEST(CrashWriterPack, AStringOf200BytesHasATwoByteLength) {
    std::string text(200, 'y');
    std::vector<uint8_t> encoded = ours(1, CRASH_PACK_STRING, text.c_str());
    ASSERT_EQ(encoded.size(), 203u);
    EXPECT_EQ(encoded[0], 0x0A);
    EXPECT_EQ(encoded[1], 0xC8);
    EXPECT_EQ(encoded[2], 0x01);
}

TEST(CrashWriterPack, ATypeAboveSixteenStopsTheProcess) {
    uint32_t value = 1;
    EXPECT_DEATH(crash_writer_pack(nullptr, 1, 17, &value), "");
}

TEST(CrashWriterPack, VarintSizes) {
    EXPECT_EQ(crash_writer_varint_size(0), 1u);
    EXPECT_EQ(crash_writer_varint_size(127), 1u);
    EXPECT_EQ(crash_writer_varint_size(128), 2u);
    EXPECT_EQ(crash_writer_varint_size(UINT64_MAX), 10u);
}

}  // namespace
}  // namespace strombel::crash

#include "platform/host_time.h"

#include <gtest/gtest.h>

namespace strombel::platform {
namespace {

class HostTimeTest : public ::testing::Test {
protected:
    void useTimebase(uint32_t numerator, uint32_t denominator, int status = 0) {
        setTimebaseReaderForTesting([=](Timebase& timebase) {
            timebase = {numerator, denominator};
            return status;
        });
    }
    void TearDown() override { setTimebaseReaderForTesting({}); }
};

TEST_F(HostTimeTest, OneToOneTimebaseKeepsValuesBothWays) {
    useTimebase(1, 1);
    EXPECT_EQ(hostTimeToNanos(123456789), 123456789u);
    EXPECT_EQ(nanosToHostTime(123456789), 123456789u);
}

TEST_F(HostTimeTest, FractionalTimebaseConvertsAndTruncates) {
    useTimebase(125, 3);
    EXPECT_EQ(hostTimeToNanos(3), 125u);
    EXPECT_EQ(nanosToHostTime(125), 3u);
    EXPECT_EQ(hostTimeToNanos(1), 41u);   // 41.67 truncated, not rounded
    EXPECT_EQ(nanosToHostTime(83), 1u);   // 1.99 truncated
}

TEST_F(HostTimeTest, UnreadableTimebaseAnswersZeroAndIsRetried) {
    int reads = 0;
    setTimebaseReaderForTesting([&](Timebase& timebase) {
        ++reads;
        timebase = {1, 1};
        return reads < 3 ? 5 : 0;
    });
    EXPECT_EQ(hostTimeToNanos(1000), 0u);
    EXPECT_EQ(nanosToHostTime(1000), 0u);
    EXPECT_EQ(hostTimeToNanos(1000), 1000u);
    EXPECT_EQ(reads, 3);
}

TEST_F(HostTimeTest, ZeroDenominatorNeverDivides) {
    useTimebase(1, 0);
    EXPECT_NE(initHostTimeConversion(), 0);
    EXPECT_EQ(hostTimeToNanos(10), 0u);
    EXPECT_EQ(nanosToHostTime(10), 0u);
}

TEST(DeviceModel, KnownAndUnknownIdentifiers) {
    EXPECT_EQ(platformString("iPad3,2"), "iPad-3G (4G)");
    EXPECT_EQ(platformString("iPad3,3"), "iPad-3G (4G)");
    EXPECT_EQ(platformString("x86_64"), "Simulator");
    EXPECT_EQ(platformString("Unknown9,9"), "Unknown9,9");
    EXPECT_FALSE(devicePlatform().empty());
}

}  // namespace
}  // namespace strombel::platform

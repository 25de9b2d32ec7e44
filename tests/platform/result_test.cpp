#include "platform/result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace strombel::platform {
namespace {

// What a caller three layers up gets from a failed read: its own domain's error
// with the reason and the system's error under it.
Result<std::vector<int>> readSamples(bool fail) {
    if (!fail) return std::vector<int>{1, 2, 3};
    return Error::causedBy("SampleErrorDomain", 2, "the sample could not be read",
                           Error::make("POSIXErrorDomain", 13, "Permission denied", {{"path", "/tmp/kick.wav"}}));
}

Result<void> checkSamples(bool fail) {
    Result<std::vector<int>> samples = readSamples(fail);
    if (!samples) return std::move(samples).error();
    return {};
}

TEST(PlatformResultTest, AFailurePassedUpKeepsItsReasonAndWhatCausedIt) {
    Result<void> checked = checkSamples(true);
    ASSERT_FALSE(checked.ok());
    const Error& error = checked.error();
    EXPECT_EQ(error.domain, "SampleErrorDomain");
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.message(), "the sample could not be read");
    ASSERT_TRUE(error.underlying);
    EXPECT_EQ(error.underlying->code, 13);
    EXPECT_EQ(error.underlying->userInfo["path"].asString(), "/tmp/kick.wav");
    EXPECT_EQ(error.description(),
              "SampleErrorDomain 2: the sample could not be read caused by POSIXErrorDomain 13: Permission denied "
              "{path=/tmp/kick.wav}");
    EXPECT_TRUE(checkSamples(false).ok());
}

TEST(PlatformResultTest, ValuesMoveOutWithoutACopy) {
    Result<std::unique_ptr<std::string>> made = std::make_unique<std::string>("kick");
    ASSERT_TRUE(made);
    EXPECT_EQ(made->get()->size(), 4u);
    std::unique_ptr<std::string> taken = std::move(made).value();
    EXPECT_EQ(*taken, "kick");

    Result<std::string> refused = Error::make("Test", 1, "no");
    EXPECT_EQ(refused.valueOr("fallback"), "fallback");
    Error error = std::move(refused).error();
    EXPECT_EQ(error.message(), "no");
}

TEST(PlatformResultTest, DetailsKeepTheirOrderAndReadAsTheirKind) {
    ErrorInfo details{{"index", 4u}, {"line", 2}, {"name", "kick"}};
    details.set("index", 5u).set("ratio", 0.5).set("retry", true);
    EXPECT_EQ(Error::make("D", -1, "m", {}).description(), "D -1: m");
    Error error{"D", -1, details, nullptr};
    EXPECT_EQ(error.description(), "D -1:  {index=5, line=2, name=kick, ratio=0.5, retry=true}");
    EXPECT_EQ(details["line"].asUInt64(), 2u);
    EXPECT_EQ(details["name"].asInt64(7), 7);  // a text is no number
    EXPECT_TRUE(details["absent"].isNull());
    // Equal whatever the order, and an unsigned equals the same signed number.
    EXPECT_EQ(details, (ErrorInfo{{"retry", true}, {"ratio", 0.5}, {"name", "kick"}, {"line", 2u}, {"index", 5}}));
    EXPECT_NE(details, (ErrorInfo{{"index", 5u}}));
}

}  // namespace
}  // namespace strombel::platform

#include "platform/required.h"

#include <gtest/gtest.h>

namespace strombel::platform {
namespace {

TEST(Required, HandsBackWhatWasGiven) {
    int given = 7;
    EXPECT_EQ(&required(&given, "Options::number"), &given);
}

TEST(RequiredDeathTest, SomethingNotHandedInIsNamedBeforeTheProgramStops) {
    int* missing = nullptr;
    EXPECT_DEATH(required(missing, "BusRegistryOptions::loop"), "BusRegistryOptions::loop was not handed in");
}

}  // namespace
}  // namespace strombel::platform

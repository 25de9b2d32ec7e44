// The live effect chain on its own: it costs nothing and adds nothing while its
// windows and histories hold zeros, works while anything went in, and comes to
// rest once the windows and the echo history have let it go.

#include "engine/effect_chain.h"

#include <gtest/gtest.h>

#include <vector>

namespace strombel::engine {
namespace {

TEST(EffectChainTest, RestsUntilSomethingGoesInAndAgainOnceItHasDiedAway) {
    constexpr double kRate = 1000;  // a history of 3000 frames
    constexpr uint32_t kBlock = 100;
    EffectChain chain(kRate);
    EffectChain::Amounts amounts;
    amounts.crush = 0.3f;  // no echo: what went in leaves the history unrepeated
    std::vector<int32_t> left(kBlock), right(kBlock);
    auto block = [&](bool input) {
        left.assign(kBlock, 7);
        right.assign(kBlock, 7);
        chain.beginBlock(kBlock);
        if (input) {
            chain.windowLeft(kBlock)[0] = 1 << 20;
            chain.windowRight(kBlock)[0] = 1 << 20;
            chain.touched();
        }
        if (!chain.restsAfter(kBlock)) chain.finishBlock(kBlock, amounts, kRate, left.data(), right.data());
    };
    for (int i = 0; i < 5; ++i) block(false);
    EXPECT_TRUE(chain.atRest());
    EXPECT_EQ(chain.blocks(), 0u);
    EXPECT_EQ(left, std::vector<int32_t>(kBlock, 7)) << "a resting chain adds nothing";

    block(true);
    EXPECT_FALSE(chain.atRest());
    EXPECT_EQ(chain.blocks(), 1u);
    // The window holds it for 1024 frames, the echo history for 3000 more at most.
    int blocksUntilRest = 0;
    while (!chain.atRest() && blocksUntilRest < 100) {
        block(false);
        ++blocksUntilRest;
    }
    EXPECT_TRUE(chain.atRest());
    EXPECT_GE(blocksUntilRest, 10);  // 1024 frames of window
    EXPECT_LE(blocksUntilRest, 42);
    const uint64_t worked = chain.blocks();
    for (int i = 0; i < 10; ++i) block(false);
    EXPECT_EQ(chain.blocks(), worked);
    EXPECT_EQ(right, std::vector<int32_t>(kBlock, 7));
}

}  // namespace
}  // namespace strombel::engine

#include <gtest/gtest.h>

#include "bus_test_support.h"
#include "hub/hub_signature_validator.h"

namespace strombel::hub::testing {
namespace {

TEST(HubSignatureValidatorTest, TheHubKeyIsOneHundredAndSixBytes) {
    EXPECT_EQ(TestKeyPair::shared().publicKey.size(), 106u);
    auto validator = HubSignatureValidator::withKey(TestKeyPair::shared().publicKey);
    ASSERT_TRUE(validator);
    EXPECT_EQ(validator->signatureLength(), 96u);
    EXPECT_FALSE(HubSignatureValidator::withKey({1, 2, 3}));
    EXPECT_FALSE(HubSignatureValidator::withKey({}));
}

TEST(HubSignatureValidatorTest, SignaturesOfBothFormsAndTheirForgeries) {
    const auto& pair = TestKeyPair::shared();
    TestKeyPair otherPair;
    auto validator = HubSignatureValidator::withKey(pair.publicKey);
    ASSERT_TRUE(validator);
    std::vector<uint8_t> content{3, 3, 16, 4, 1, 0, 0};
    auto changed = content;
    changed[5] ^= 1;

    struct Case {
        const char* what;
        std::vector<uint8_t> signature;
        const std::vector<uint8_t>* signedContent;
        bool accepted;
    };
    auto formA = signContent(pair.key, content.data(), content.size(), 'A');
    auto formB = signContent(pair.key, content.data(), content.size(), 'B');
    auto flipped = formB;
    flipped[40] ^= 0x10;
    std::vector<uint8_t> longer = formB;
    longer.push_back(0);
    std::vector<uint8_t> shorter(formA.begin(), formA.end() - 1);
    Case cases[] = {
        {"form A", formA, &content, true},
        {"form B", formB, &content, true},
        {"form A, another key", signContent(otherPair.key, content.data(), content.size(), 'A'), &content, false},
        {"form B, another key", signContent(otherPair.key, content.data(), content.size(), 'B'), &content, false},
        {"form A, a changed byte of content", formA, &changed, false},
        {"form B, a changed byte of content", formB, &changed, false},
        {"a changed byte of signature", flipped, &content, false},
        {"empty", {}, &content, false},
        {"one byte short", shorter, &content, false},
        {"one byte long", longer, &content, false},
        {"three bytes", {1, 2, 3}, &content, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validator->validateSignature(c.signature.data(), c.signature.size(), c.signedContent->data(),
                                               c.signedContent->size()),
                  c.accepted)
            << c.what;
    }
    // Without a validator nothing is accepted.
    EXPECT_FALSE(validateSignature(nullptr, formB.data(), formB.size(), content.data(), content.size()));
}

TEST(HubSignatureValidatorTest, WithoutAKeyFileEverySignedMessageIsRefusedAndToldOnceWhenOneArrives) {
    strombel::testing::TempDir bundleFolder;
    std::ofstream(bundleFolder / "Info.plist") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>";
    platform::MainBundle bundle(bundleFolder.path());
    forgetNoHubKeyToldForTests();
    BusLogCapture log;
    // The shipped state is no news at start: nothing on the bus's log.
    EXPECT_FALSE(HubSignatureValidator::bundleKey(bundle));
    EXPECT_TRUE(log.lines().empty());
    // A hub's signed messages are refused, and that is told once, in words.
    const std::vector<uint8_t> content{3, 3, 16, 4, 1, 0, 0};
    const auto formB = signContent(TestKeyPair::shared().key, content.data(), content.size(), 'B');
    for (int message = 0; message < 3; ++message) {
        EXPECT_FALSE(validateSignature(nullptr, formB.data(), formB.size(), content.data(), content.size()));
    }
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains("no hub key (HubPublicKey.der in the bundle folder)")) << log.lines()[0];

    std::ofstream(bundleFolder / HubSignatureValidator::kKeyFileName, std::ios::binary)
        .write(reinterpret_cast<const char*>(TestKeyPair::shared().publicKey.data()), 106);
    auto key = HubSignatureValidator::bundleKey(bundle);
    ASSERT_TRUE(key);
    EXPECT_EQ(*key, TestKeyPair::shared().publicKey);
}

}  // namespace
}  // namespace strombel::hub::testing

#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/main_bundle.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace strombel::hub {

/// Checks the RSA signatures of the hub's signed messages (connection state,
/// state pull, state push packets) with the hub's public key: a DER PKCS#1
/// RSAPublicKey (106 bytes for the hub's 768-bit key). A signature passes in
/// either form: A, the raw public operation whose result ends with the content's
/// SHA-1 digest and one more byte; or B, RSASSA-PKCS1-v1_5 with SHA-1. The check
/// keeps no state besides the key and runs on any thread.
class HubSignatureValidator {
public:
    /// The name of the key file in the bundle.
    static constexpr const char* kKeyFileName = "HubPublicKey.der";

    /// A validator for the key, or none when the bytes are no RSA public key.
    static std::shared_ptr<const HubSignatureValidator> withKey(const std::vector<uint8_t>& derPublicKey);
    /// The key file of the bundle; without one, logs once that every signed
    /// message will be refused and returns none.
    static std::optional<std::vector<uint8_t>> bundleKey(platform::MainBundle& bundle);
    /// The program's validator (from the bundle's key), or none.
    static std::shared_ptr<const HubSignatureValidator> shared();
    /// For tests: the validator `shared()` returns.
    static void setShared(std::shared_ptr<const HubSignatureValidator> validator);

    ~HubSignatureValidator();
    HubSignatureValidator(const HubSignatureValidator&) = delete;
    HubSignatureValidator& operator=(const HubSignatureValidator&) = delete;

    /// True when `signature` signs `content`. A signature that is not exactly the
    /// modulus size is refused before any RSA operation.
    bool validateSignature(const uint8_t* signature, size_t signatureLength, const uint8_t* content,
                           size_t contentLength) const;
    size_t signatureLength() const { return signatureLength_; }

private:
    explicit HubSignatureValidator(EVP_PKEY* key);
    EVP_PKEY* key_;
    size_t signatureLength_;
};

/// Keeps a flood of wrongly signed messages from the signature check, which
/// costs about a tenth of a millisecond: a message a peer sent that was refused
/// is refused again without a check when the peer repeats it; a peer that sent
/// one wrongly signed message has few checks a second from then on, and all
/// such peers together a few more. A peer that never sent one is not held
/// back, and a refused peer that sends rightly again is let through within a
/// second. Any thread.
class HubSignatureGate {
public:
    static constexpr double kChecksPerSecondOfARefusedPeer = 4;
    static constexpr double kChecksPerSecondOfAllRefusedPeers = 16;

    explicit HubSignatureGate(const platform::Clock& clock) : clock_(clock) {}

    /// Whether the signed message from `peer` may be checked now.
    bool admit(const void* peer, const uint8_t* message, size_t length);
    /// Notes that the message from `peer` failed the check.
    void refused(const void* peer, const uint8_t* message, size_t length);

    /// Counts of messages refused without a check, for tests.
    uint64_t heldBack() const { return heldBack_.load(); }

private:
    struct Bucket {
        double tokens = 0;
        uint64_t filled = 0;
        bool take(uint64_t now, double perSecond);
    };
    static size_t digest(const void* peer, const uint8_t* message, size_t length);
    static constexpr size_t kMostRefusedPeers = 1024;

    const platform::Clock& clock_;
    std::mutex mutex_;
    std::array<size_t, 256> refusedDigests_{};
    size_t nextRefused_ = 0;
    std::map<const void*, Bucket> refusedPeers_;
    Bucket allRefusedPeers_;
    std::atomic<uint64_t> heldBack_{0};
};

/// Checks a validator that may be missing: no validator refuses everything.
bool validateSignature(const std::shared_ptr<const HubSignatureValidator>& validator, const uint8_t* signature,
                       size_t signatureLength, const uint8_t* content, size_t contentLength);

/// Lets the next signed message that no key can check be told again. For tests.
void forgetNoHubKeyToldForTests();

}  // namespace strombel::hub

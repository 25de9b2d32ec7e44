#include "hub/hub_signature_validator.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>
#include <fstream>
#include <iterator>
#include <mutex>

#include "hub/bus_log.h"
#include "logging/log.h"

namespace strombel::hub {

namespace {

std::mutex sharedMutex;
bool sharedLoaded = false;
std::shared_ptr<const HubSignatureValidator> sharedValidator;

constexpr size_t kDigestLength = 20;

// Whether a signed message that no key could check has been told about.
std::atomic<bool> noHubKeyTold{false};

}  // namespace

HubSignatureValidator::HubSignatureValidator(EVP_PKEY* key)
    : key_(key), signatureLength_(static_cast<size_t>(EVP_PKEY_get_size(key))) {}

HubSignatureValidator::~HubSignatureValidator() { EVP_PKEY_free(key_); }

std::shared_ptr<const HubSignatureValidator> HubSignatureValidator::withKey(const std::vector<uint8_t>& derPublicKey) {
    if (derPublicKey.empty()) return nullptr;
    const unsigned char* cursor = derPublicKey.data();
    EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(derPublicKey.size()));
    if (!key || cursor != derPublicKey.data() + derPublicKey.size()) {
        EVP_PKEY_free(key);
        busLog("Key error: {}", 0);
        return nullptr;
    }
    return std::shared_ptr<const HubSignatureValidator>(new HubSignatureValidator(key));
}

std::optional<std::vector<uint8_t>> HubSignatureValidator::bundleKey(platform::MainBundle& bundle) {
    auto path = bundle.pathForResource("HubPublicKey", "der");
    if (path) {
        std::ifstream stream(*path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        if (!bytes.empty() && bytes.size() <= 4096) return bytes;
    }
    // The shipped state, nothing a user can act on at start: it is told in
    // plain words when a hub actually sends a signed message.
    STROMBEL_LOG_DEBUG("The bundle has no hub key ({}): every signed hub message will be refused", kKeyFileName);
    return std::nullopt;
}

std::shared_ptr<const HubSignatureValidator> HubSignatureValidator::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedLoaded) {
        sharedLoaded = true;
        if (auto key = bundleKey(platform::MainBundle::shared())) sharedValidator = withKey(*key);
    }
    return sharedValidator;
}

void HubSignatureValidator::setShared(std::shared_ptr<const HubSignatureValidator> validator) {
    std::lock_guard lock(sharedMutex);
    sharedLoaded = true;
    sharedValidator = std::move(validator);
}

bool HubSignatureValidator::validateSignature(const uint8_t* signature, size_t signatureLength,
                                              const uint8_t* content, size_t contentLength) const {
    // Form A reads the digest from the end of a result the size of the
    // signature: any other size is refused before the key is used.
    if (!signature || signatureLength != signatureLength_ || signatureLength < kDigestLength + 1) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!EVP_Digest(content, contentLength, digest, &digestLength, EVP_sha1(), nullptr)) return false;

    // One raw public operation serves both forms: form A's digest sits just
    // before the last byte; form B's block is the PKCS#1 v1.5 encoding of the
    // digest, compared whole (so nothing but the exact encoding passes).
    std::vector<unsigned char> block(signatureLength_);
    size_t blockLength = block.size();
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key_, nullptr);
    if (!context) return false;
    bool recovered = EVP_PKEY_verify_recover_init(context) > 0 &&
                     EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) > 0 &&
                     EVP_PKEY_verify_recover(context, block.data(), &blockLength, signature, signatureLength) > 0 &&
                     blockLength == signatureLength_;
    EVP_PKEY_CTX_free(context);
    if (!recovered) return false;
    if (std::memcmp(block.data() + blockLength - kDigestLength - 1, digest, kDigestLength) == 0) return true;

    static const unsigned char sha1DigestInfo[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                   0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    const size_t tail = sizeof sha1DigestInfo + kDigestLength;
    if (blockLength < tail + 11) return false;  // 00 01, at least 8 FF, 00
    std::vector<unsigned char> expected(blockLength, 0xFF);
    expected[0] = 0x00;
    expected[1] = 0x01;
    expected[blockLength - tail - 1] = 0x00;
    std::memcpy(expected.data() + blockLength - tail, sha1DigestInfo, sizeof sha1DigestInfo);
    std::memcpy(expected.data() + blockLength - kDigestLength, digest, kDigestLength);
    return CRYPTO_memcmp(expected.data(), block.data(), blockLength) == 0;
}

bool validateSignature(const std::shared_ptr<const HubSignatureValidator>& validator, const uint8_t* signature,
                       size_t signatureLength, const uint8_t* content, size_t contentLength) {
    if (!validator) {
        if (!noHubKeyTold.exchange(true)) {
            busLog("A hub sent a signed message, but Strombel has no hub key ({} in the bundle folder), so the "
                   "hub's signed messages, its connection changes among them, are refused",
                   HubSignatureValidator::kKeyFileName);
        }
        return false;
    }
    return validator->validateSignature(signature, signatureLength, content, contentLength);
}

void forgetNoHubKeyToldForTests() { noHubKeyTold = false; }

// ---- the gate before the check ----

bool HubSignatureGate::Bucket::take(uint64_t now, double perSecond) {
    // Full (one second's worth) when first used.
    if (filled == 0) tokens = perSecond;
    else tokens = std::min(perSecond, tokens + double(now - filled) * perSecond / double(platform::kNanosPerSecond));
    filled = now;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
}

size_t HubSignatureGate::digest(const void* peer, const uint8_t* message, size_t length) {
    const size_t bytes = std::hash<std::string_view>{}({reinterpret_cast<const char*>(message), length});
    const size_t key = bytes ^ (std::hash<const void*>{}(peer) * 0x9E3779B97F4A7C15ull);
    return key ? key : 1;  // 0 marks an empty place of the ring
}

bool HubSignatureGate::admit(const void* peer, const uint8_t* message, size_t length) {
    const size_t key = digest(peer, message, length);
    const uint64_t now = std::max<uint64_t>(clock_.nowNanos(), 1);
    std::lock_guard lock(mutex_);
    auto held = [this] {
        heldBack_.fetch_add(1, std::memory_order_relaxed);
        return false;
    };
    if (std::find(refusedDigests_.begin(), refusedDigests_.end(), key) != refusedDigests_.end()) return held();
    auto it = refusedPeers_.find(peer);
    if (it == refusedPeers_.end()) {
        // With the record full, peers it has no room for share the bound of all.
        if (refusedPeers_.size() < kMostRefusedPeers) return true;
    } else if (!it->second.take(now, kChecksPerSecondOfARefusedPeer)) {
        return held();
    }
    if (!allRefusedPeers_.take(now, kChecksPerSecondOfAllRefusedPeers)) return held();
    return true;
}

void HubSignatureGate::refused(const void* peer, const uint8_t* message, size_t length) {
    const size_t key = digest(peer, message, length);
    std::lock_guard lock(mutex_);
    refusedDigests_[nextRefused_] = key;
    nextRefused_ = (nextRefused_ + 1) % refusedDigests_.size();
    if (refusedPeers_.size() < kMostRefusedPeers) refusedPeers_.try_emplace(peer);
}

}  // namespace strombel::hub

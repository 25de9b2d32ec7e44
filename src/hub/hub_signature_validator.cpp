#include "hub/hub_signature_validator.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "hub/bus_log.h"

namespace strombel::hub {

namespace {

std::mutex sharedMutex;
bool sharedLoaded = false;
std::shared_ptr<const HubSignatureValidator> sharedValidator;

constexpr size_t kDigestLength = 20;

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
    busLog("Warning: the bundle has no hub key ({}): every signed hub message will be refused", kKeyFileName);
    return std::nullopt;
}

std::shared_ptr<const HubSignatureValidator> HubSignatureValidator::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedLoaded) {
        sharedLoaded = true;
        if (auto key = bundleKey()) sharedValidator = withKey(*key);
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

    bool accepted = false;
    if (EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key_, nullptr)) {
        std::vector<unsigned char> result(signatureLength_);
        size_t resultLength = result.size();
        if (EVP_PKEY_verify_recover_init(context) > 0 && EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) > 0 &&
            EVP_PKEY_verify_recover(context, result.data(), &resultLength, signature, signatureLength) > 0 &&
            resultLength == signatureLength_) {
            accepted = std::memcmp(result.data() + resultLength - kDigestLength - 1, digest, kDigestLength) == 0;
        }
        EVP_PKEY_CTX_free(context);
    }
    if (accepted) return true;

    EVP_MD_CTX* verify = EVP_MD_CTX_new();
    if (!verify) return false;
    EVP_PKEY_CTX* keyContext = nullptr;
    if (EVP_DigestVerifyInit(verify, &keyContext, EVP_sha1(), nullptr, key_) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) > 0) {
        accepted = EVP_DigestVerify(verify, signature, signatureLength, content, contentLength) == 1;
    }
    EVP_MD_CTX_free(verify);
    return accepted;
}

bool validateSignature(const std::shared_ptr<const HubSignatureValidator>& validator, const uint8_t* signature,
                       size_t signatureLength, const uint8_t* content, size_t contentLength) {
    return validator && validator->validateSignature(signature, signatureLength, content, contentLength);
}

}  // namespace strombel::hub

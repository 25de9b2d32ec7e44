#pragma once

// Signing as the hub does, for the tests and for the hub simulator, which signs
// what it announces with the same two forms.

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace strombel::hub::testing {

/// Signs `content` as the hub does: form A (the raw private operation on a block
/// ending with the SHA-1 digest and one byte) or form B (PKCS#1 v1.5, SHA-1).
inline std::vector<uint8_t> signContent(EVP_PKEY* key, const uint8_t* content, size_t length, char form) {
    size_t size = static_cast<size_t>(EVP_PKEY_get_size(key));
    std::vector<uint8_t> signature(size);
    if (form == 'A') {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        EVP_Digest(content, length, digest, &digestLength, EVP_sha1(), nullptr);
        std::vector<uint8_t> block(size, 0xFF);
        block[0] = 0x00;
        block[1] = 0x01;
        std::memcpy(block.data() + size - 21, digest, 20);
        block[size - 1] = 0x00;
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
        EVP_PKEY_sign_init(context);
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING);
        size_t out = size;
        EVP_PKEY_sign(context, signature.data(), &out, block.data(), block.size());
        EVP_PKEY_CTX_free(context);
    } else {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, key);
        size_t out = size;
        EVP_DigestSign(context, signature.data(), &out, content, length);
        EVP_MD_CTX_free(context);
    }
    return signature;
}

}  // namespace strombel::hub::testing

#include "tls_material.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace strombel::http::testing {

namespace {

Key makeKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("could not make a key");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension) throw std::runtime_error("could not make the extension " + value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for `key`, signed by `issuer` (itself when null).
Identity makeIdentity(const std::string& commonName, const std::string& alternativeNames, bool authority,
                      const Identity* issuer) {
    Identity made{makeKey(), Certificate(X509_new())};
    X509* certificate = made.certificate.get();
    X509_set_version(certificate, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 7 * 24 * 3600);
    X509_set_pubkey(certificate, made.key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509* issuerCertificate = issuer ? issuer->certificate.get() : certificate;
    X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate));
    addExtension(certificate, issuerCertificate, NID_basic_constraints, authority ? "critical,CA:TRUE" : "CA:FALSE");
    addExtension(certificate, issuerCertificate, NID_key_usage,
                 authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash");
    if (issuer) addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
    if (!authority) {
        addExtension(certificate, issuerCertificate, NID_ext_key_usage, "serverAuth");
        addExtension(certificate, issuerCertificate, NID_subject_alt_name, alternativeNames);
    }
    EVP_PKEY* signingKey = issuer ? issuer->key.get() : made.key.get();
    if (X509_sign(certificate, signingKey, EVP_sha256()) == 0) throw std::runtime_error("could not sign");
    return made;
}

}  // namespace

TlsMaterial::TlsMaterial(const std::filesystem::path& folder)
    : authority_(makeIdentity("Strombel Test Authority", "", true, nullptr)),
      server_(makeIdentity("127.0.0.1", "IP:127.0.0.1,DNS:localhost", false, &authority_)),
      wrongHost_(makeIdentity("elsewhere.test", "DNS:elsewhere.test", false, &authority_)),
      untrusted_(makeIdentity("127.0.0.1", "IP:127.0.0.1,DNS:localhost", false, nullptr)),
      authorityFile_(folder / "authority.pem") {
    FILE* file = std::fopen(authorityFile_.c_str(), "w");
    if (!file) throw std::runtime_error("could not write " + authorityFile_.string());
    PEM_write_X509(file, authority_.certificate.get());
    std::fclose(file);
}

}  // namespace strombel::http::testing

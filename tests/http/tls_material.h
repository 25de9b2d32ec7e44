#pragma once

// Certificates made for one test run with OpenSSL: an authority, a server
// certificate it signs for 127.0.0.1 and "localhost", one it signs for another
// host name, and a self-signed one nobody trusts.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace strombel::http::testing {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

/// A key and the certificate for it.
struct Identity {
    Key key;
    Certificate certificate;
};

class TlsMaterial {
public:
    /// Makes everything and writes the authority's certificate to `folder`.
    explicit TlsMaterial(const std::filesystem::path& folder);

    /// The authority's certificate as PEM, for the client to trust.
    const std::filesystem::path& authorityFile() const { return authorityFile_; }
    /// Signed by the authority for 127.0.0.1 and localhost.
    const Identity& server() const { return server_; }
    /// Signed by the authority for "elsewhere.test" only.
    const Identity& wrongHost() const { return wrongHost_; }
    /// Self-signed for 127.0.0.1: trusted by no one.
    const Identity& untrusted() const { return untrusted_; }

private:
    Identity authority_;
    Identity server_;
    Identity wrongHost_;
    Identity untrusted_;
    std::filesystem::path authorityFile_;
};

}  // namespace strombel::http::testing

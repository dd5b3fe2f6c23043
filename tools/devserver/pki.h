// The test CA and the server certificates, made with OpenSSL when the
// service starts. Certificates are valid from yesterday, so a skewed clock
// (Wine) never finds a fresh one "not yet valid".
#pragma once

#include <string>
#include <vector>

namespace movu::devserver {

struct CertFiles {
    std::string cert, key;
};

// In `dir`: ca.pem, server.pem/.key (test CA; localhost, 127.0.0.1,
// secondary.movu.test and `extra_sans`), untrusted.pem/.key (self-signed),
// wrongname.pem/.key (test CA, other.movu.test only), and certs/ holding the
// CA as ca-certificates.crt and <subject hash>.0 (mounted over /etc/ssl/certs
// for Wine). Throws std::runtime_error.
void MakeTestPki(const std::string& dir, const std::vector<std::string>& extra_sans);
// Like MakeTestPki, but keeps certificates that stay valid for another day.
void EnsureTestPki(const std::string& dir);
CertFiles PkiCert(const std::string& dir, const std::string& name);  // "default", "untrusted", "wrongname"
// "DNS:x", "IP:x", or a bare name or address; empty when unusable.
std::string SanEntry(const std::string& name);

}  // namespace movu::devserver

#include "pki.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <boost/asio/ip/address.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "server.h"

namespace movu::devserver {
namespace {

template <class T, void (*F)(T*)>
struct Free {
    void operator()(T* p) const { F(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Free<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Free<BIO, BIO_free_all>>;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("certificates: " + what); }

Key NewKey() {
    Key key(EVP_RSA_gen(2048));
    if (!key) Fail("RSA key generation failed");
    return key;
}

struct Issued {
    Cert cert;
    Key key;
};

// One certificate; `signer` null means self-signed.
Issued Issue(const std::string& org, const std::string& cn, const std::vector<std::pair<int, std::string>>& exts,
             const Issued* signer) {
    Issued out{Cert(X509_new()), NewKey()};
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>> serial(BN_new());
    BN_rand(serial.get(), 120, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x));
    X509_gmtime_adj(X509_getm_notBefore(x), -86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), 30 * 86400L);
    X509_set_pubkey(x, out.key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(org.c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, signer ? X509_get_subject_name(signer->cert.get()) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, signer ? signer->cert.get() : x, x, nullptr, nullptr, 0);
    for (const auto& [nid, value] : exts) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        if (!ext) Fail("bad extension " + value);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(x, signer ? signer->key.get() : out.key.get(), EVP_sha256()) == 0) Fail("signing failed");
    return out;
}

std::string Pem(const Issued& i, bool key) {
    Bio bio(BIO_new(BIO_s_mem()));
    const int ok = key ? PEM_write_bio_PrivateKey(bio.get(), i.key.get(), nullptr, nullptr, 0, nullptr, nullptr)
                       : PEM_write_bio_X509(bio.get(), i.cert.get());
    if (!ok) Fail("PEM encoding failed");
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

void Save(const std::string& dir, const std::string& stem, const Issued& i) {
    WriteAtomic(dir + "/" + stem + ".key", Pem(i, true));
    ::chmod((dir + "/" + stem + ".key").c_str(), 0600);
    WriteAtomic(dir + "/" + stem + ".pem", Pem(i, false));
}

std::vector<std::pair<int, std::string>> LeafExtensions(const std::string& sans) {
    return {{NID_basic_constraints, "critical,CA:FALSE"},
            {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
            {NID_ext_key_usage, "serverAuth"},
            {NID_subject_key_identifier, "hash"},
            {NID_authority_key_identifier, "keyid"},
            {NID_subject_alt_name, sans}};
}

}  // namespace

std::string SanEntry(const std::string& name) {
    if (name.empty() || name.find_first_of(" \t\r\n,\\") != std::string::npos) return {};
    if (name.rfind("DNS:", 0) == 0 || name.rfind("IP:", 0) == 0) return name;
    boost::system::error_code ec;
    boost::asio::ip::make_address(name, ec);
    return (ec ? "DNS:" : "IP:") + name;
}

CertFiles PkiCert(const std::string& dir, const std::string& name) {
    const std::string stem = name == "default" ? "server" : name;
    return {dir + "/" + stem + ".pem", dir + "/" + stem + ".key"};
}

void MakeTestPki(const std::string& dir, const std::vector<std::string>& extra_sans) {
    std::string sans = "DNS:localhost,IP:127.0.0.1,DNS:secondary.movu.test";
    for (const auto& s : extra_sans) {
        const std::string entry = SanEntry(s);
        if (entry.empty()) Fail("invalid subject alternative name '" + s + "'");
        sans += "," + entry;
    }
    const Issued ca = Issue("movu tests", "movu test CA",
                            {{NID_basic_constraints, "critical,CA:TRUE"},
                             {NID_key_usage, "critical,keyCertSign,cRLSign"},
                             {NID_subject_key_identifier, "hash"}},
                            nullptr);
    const Issued server = Issue("movu tests", "localhost", LeafExtensions(sans), &ca);
    const Issued untrusted = Issue("untrusted", "localhost", LeafExtensions("DNS:localhost,IP:127.0.0.1"), nullptr);
    const Issued wrong = Issue("movu tests", "other.movu.test", LeafExtensions("DNS:other.movu.test"), &ca);
    std::filesystem::create_directories(dir + "/certs");
    Save(dir, "server", server);
    Save(dir, "untrusted", untrusted);
    Save(dir, "wrongname", wrong);
    const std::string ca_pem = Pem(ca, false);
    WriteAtomic(dir + "/ca.pem", ca_pem);
    // Wine's TLS looks for the bundle under /etc/ssl/certs; this folder is mounted there.
    for (const auto& stale : std::filesystem::directory_iterator(dir + "/certs")) std::filesystem::remove(stale.path());
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08lx", X509_subject_name_hash(ca.cert.get()));
    WriteAtomic(dir + "/certs/ca-certificates.crt", ca_pem);
    WriteAtomic(dir + "/certs/" + std::string(hash) + ".0", ca_pem);
}

void EnsureTestPki(const std::string& dir) {
    const CertFiles server = PkiCert(dir, "default");
    if (FILE* f = std::fopen(server.cert.c_str(), "rb")) {
        Cert cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
        std::fclose(f);
        time_t in_a_day = time(nullptr) + 86400;
        if (cert && std::filesystem::exists(dir + "/ca.pem") && std::filesystem::exists(server.key) &&
            X509_cmp_time(X509_get0_notAfter(cert.get()), &in_a_day) > 0)
            return;
    }
    MakeTestPki(dir, {});
}

}  // namespace movu::devserver

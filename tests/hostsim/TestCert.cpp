#include "hostsim/TestCert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <utility>

namespace testsupport
{

TestCert makeTestCert(const std::string &path, const char *commonName)
{
    static long serial = 1;
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName),
                               -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                              std::pair{NID_subject_key_identifier, "hash"}}) {
        X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(x, key, EVP_sha256());
    FILE *f = std::fopen(path.c_str(), "w");
    PEM_write_X509(f, x);
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    X509_digest(x, EVP_sha256(), md, &len);
    std::string fp;
    char hex[4];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
        fp += hex;
    }
    X509_free(x);
    EVP_PKEY_free(key);
    return {path, fp};
}

} // namespace testsupport

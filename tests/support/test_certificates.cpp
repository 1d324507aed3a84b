#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr long kSecondsPerDay = 24 * 60 * 60;

EVP_PKEY* NewKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");  // quick to make, as good as RSA here
    if (key == nullptr) throw std::runtime_error("no key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) throw std::runtime_error("bad extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

X509* NewCertificate(const std::string& commonName, EVP_PKEY* key, X509* issuer, long serial,
                     int fromDays, int toDays) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * kSecondsPerDay);
    X509_gmtime_adj(X509_getm_notAfter(cert), toDays * kSecondsPerDay);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name);
    return cert;
}

void WritePem(const std::string& path, X509* cert, X509* second, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    if (cert != nullptr) PEM_write_X509(file, cert);
    if (second != nullptr) PEM_write_X509(file, second);
    if (key != nullptr) PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
}

}  // namespace

struct TestCertificateAuthority::Keys {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    ~Keys() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& name)
    : keys_(std::make_unique<Keys>()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "nalpoi-tls-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("no temporary directory");
    dir_ = pattern;
    keys_->key = NewKey();
    keys_->cert = NewCertificate(name, keys_->key, nullptr, 1, -1, 30);
    AddExtension(keys_->cert, keys_->cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(keys_->cert, keys_->cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(keys_->cert, keys_->cert, NID_subject_key_identifier, "hash");
    X509_sign(keys_->cert, keys_->key, EVP_sha256());
    caFile_ = dir_ + "/ca.pem";
    WritePem(caFile_, keys_->cert, nullptr, nullptr);
}

TestCertificateAuthority::~TestCertificateAuthority() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

CertificateFiles TestCertificateAuthority::Issue(const std::string& subjectAltName, int fromDays,
                                                 int toDays) {
    const int number = ++issued_;
    EVP_PKEY* key = NewKey();
    X509* cert =
        NewCertificate("nalpoi test service", key, keys_->cert, 100 + number, fromDays, toDays);
    AddExtension(cert, keys_->cert, NID_subject_alt_name, subjectAltName.c_str());
    AddExtension(cert, keys_->cert, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, keys_->cert, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, keys_->cert, NID_authority_key_identifier, "keyid");
    X509_sign(cert, keys_->key, EVP_sha256());
    CertificateFiles files{dir_ + "/leaf" + std::to_string(number) + ".pem",
                           dir_ + "/leaf" + std::to_string(number) + ".key"};
    WritePem(files.chain, cert, keys_->cert, nullptr);
    WritePem(files.key, nullptr, nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return files;
}

}  // namespace testsupport

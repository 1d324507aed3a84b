// Certificates made when the tests run (none is committed, so none expires):
// a CA, and leaf certificates it signs for given names and validity, written
// as PEM files into a temporary directory that lives as long as the object.
// They are made by the tests' one certificate maker,
// tests/support/test_certificates.py (python3 and the openssl command).
#ifndef NALPOICOMM_TESTS_SUPPORT_TEST_CERTIFICATES_H
#define NALPOICOMM_TESTS_SUPPORT_TEST_CERTIFICATES_H

#include <string>

namespace testsupport {

struct CertificateFiles {
    std::string chain;  // PEM: the leaf, then its CA
    std::string key;    // PEM private key of the leaf
};

class TestCertificateAuthority {
public:
    // Throws std::runtime_error when the maker fails.
    explicit TestCertificateAuthority(const std::string& name);
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    const std::string& CaFile() const { return caFile_; }  // PEM, for SSL_CERT_FILE

    // A leaf for `subjectAltName` ("IP:127.0.0.1,DNS:localhost"), valid from
    // `fromDays` to `toDays` days after now (negative: in the past).
    CertificateFiles Issue(const std::string& subjectAltName, int fromDays = -1, int toDays = 30);

private:
    std::string dir_;
    std::string caFile_;
    int issued_ = 0;
};

}  // namespace testsupport

#endif

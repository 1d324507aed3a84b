// The test CA made by the test driver, trusted the way a Windows host trusts
// a private CA: added to the current user's ROOT store (Wine's crypt32 keeps
// it in the prefix's registry), and taken out again when the object ends so
// that the prefix does not collect the CAs of past runs. Must be made before
// the process's first TLS call: the chain engine reads the store once.
#ifndef NALPOICOMM_TESTS_WINDOWS_TRUSTED_TEST_CA_H
#define NALPOICOMM_TESTS_WINDOWS_TRUSTED_TEST_CA_H

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

class TrustedTestCa {
public:
    // `derPath`: the CA certificate in DER; a missing file trusts nothing.
    explicit TrustedTestCa(const std::string& derPath) {
        std::vector<unsigned char> der;
        if (FILE* file = std::fopen(derPath.c_str(), "rb")) {
            unsigned char chunk[4096];
            std::size_t got;
            while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) der.insert(der.end(), chunk, chunk + got);
            std::fclose(file);
        }
        ca_ = der.empty() ? nullptr
                          : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()));
        HCERTSTORE root = ca_ == nullptr ? nullptr : CertOpenSystemStoreW(0, L"ROOT");
        if (root == nullptr) return;
        trusted_ = CertAddCertificateContextToStore(root, ca_, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
        Commit(root);
    }
    ~TrustedTestCa() {
        if (trusted_) {
            HCERTSTORE root = CertOpenSystemStoreW(0, L"ROOT");
            PCCERT_CONTEXT stored =
                root == nullptr ? nullptr
                                : CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca_, nullptr);
            if (stored != nullptr) CertDeleteCertificateFromStore(stored);  // frees `stored`
            if (root != nullptr) Commit(root);
        }
        if (ca_ != nullptr) CertFreeCertificateContext(ca_);
    }
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;

    bool Trusted() const { return trusted_; }

private:
    // Wine's registry store writes its changes when its last reference goes,
    // which a context still held anywhere delays past the next open: commit
    // them now.
    static void Commit(HCERTSTORE store) {
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }

    PCCERT_CONTEXT ca_ = nullptr;
    bool trusted_ = false;
};

#endif

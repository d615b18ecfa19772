// AddRootCertificate CERTIFICATE_FILE: trusts a test CA in the current Wine
// prefix by adding it to the current user's "ROOT" store, so that tests can
// serve HTTPS with certificates it signed while certificate checking stays on.
// The file is PEM or DER. Exit 0 when the certificate is in the store.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class CertificateStore {
public:
    explicit CertificateStore(HCERTSTORE handle) : handle_(handle) {}
    ~CertificateStore() {
        if (handle_ != nullptr) CertCloseStore(handle_, 0);
    }
    CertificateStore(const CertificateStore&) = delete;
    CertificateStore& operator=(const CertificateStore&) = delete;
    HCERTSTORE get() const { return handle_; }

private:
    HCERTSTORE handle_;
};

int fail(const char* what, DWORD code) {
    std::fprintf(stderr, "%s (Windows error %lu)\n", what, static_cast<unsigned long>(code));
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: AddRootCertificate CERTIFICATE_FILE\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) return fail("cannot read the certificate file", ERROR_READ_FAULT);
    if (text.empty()) return fail("the certificate file is empty or missing", ERROR_FILE_NOT_FOUND);

    // PEM or DER: CRYPT_STRING_ANY takes either.
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_ANY, nullptr, &size, nullptr,
                              nullptr)) {
        return fail("the file holds no certificate", GetLastError());
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_ANY, der.data(), &size,
                              nullptr, nullptr)) {
        return fail("the file holds no certificate", GetLastError());
    }

    CertificateStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT"));
    if (store.get() == nullptr) return fail("cannot open the current user's ROOT store", GetLastError());
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        return fail("cannot add the certificate to the ROOT store", GetLastError());
    }
    return 0;
}

#include "delivery/release_signature.h"

#include "base/fail.h"
#include "base/handles.h"
#include "update/file_hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstring>

#ifndef TINDERHALLOW_SIGNING_KEY_HEX
#error "TINDERHALLOW_SIGNING_KEY_HEX is not set: configure with CMake (RELEASE_SIGNING_KEY_HEX)"
#endif

namespace {

constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr bool isUncompressedPointHex(std::string_view hex) {
    if (hex.size() != 2 * releaseSigningKeySize) return false;
    for (char c : hex) {
        if (hexDigitValue(c) < 0) return false;
    }
    return hex[0] == '0' && hex[1] == '4';
}

constexpr std::string_view signingKeyHex = TINDERHALLOW_SIGNING_KEY_HEX;
static_assert(isUncompressedPointHex(signingKeyHex),
              "RELEASE_SIGNING_KEY_HEX must be 130 hexadecimal digits of an uncompressed P-256 point (04 X Y)");

constexpr std::array<std::uint8_t, releaseSigningKeySize> parseKey(std::string_view hex) {
    std::array<std::uint8_t, releaseSigningKeySize> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(hexDigitValue(hex[2 * i]) * 16 + hexDigitValue(hex[2 * i + 1]));
    }
    return bytes;
}

// -1: outside the alphabet, -2: ignored.
int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    if (c == '=' || c == ' ' || c == '\t' || c == '\r' || c == '\n') return -2;
    return -1;
}

constexpr ULONG eccP256PublicMagic = 0x31534345;  // "ECS1"
constexpr std::size_t coordinateSize = 32;

const char* const notSignedMessage = "The release list is not signed by Tinderhallow. Nothing was installed.";

}  // namespace

constinit const std::array<std::uint8_t, releaseSigningKeySize> releaseSigningKey = parseKey(signingKeyHex);

std::vector<std::uint8_t> decodeBase64(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 3 / 4);
    std::uint32_t pending = 0;
    int pendingBits = 0;
    for (char c : text) {
        const int value = base64Value(static_cast<unsigned char>(c));
        if (value == -2) continue;
        if (value < 0) return {};
        pending = (pending << 6) | static_cast<std::uint32_t>(value);
        pendingBits += 6;
        if (pendingBits >= 8) {
            pendingBits -= 8;
            bytes.push_back(static_cast<std::uint8_t>(pending >> pendingBits));
            pending &= (1u << pendingBits) - 1;
        }
    }
    return bytes;
}

bool verifyP256Signature(const std::uint8_t* publicKey, std::size_t publicKeyLength,
                         const std::vector<std::uint8_t>& digest, const std::vector<std::uint8_t>& signature) {
    if (publicKey == nullptr || publicKeyLength != releaseSigningKeySize || publicKey[0] != 0x04) return false;
    if (digest.size() != 32 || signature.size() != 2 * coordinateSize) return false;

    // BCRYPT_ECCKEY_BLOB header (magic, key length) followed by X and Y.
    std::array<std::uint8_t, 8 + 2 * coordinateSize> blob{};
    const ULONG header[2] = {eccP256PublicMagic, static_cast<ULONG>(coordinateSize)};
    std::memcpy(blob.data(), header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), publicKey + 1, 2 * coordinateSize);

    CngAlgorithm provider;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
        (void)provider.release();  // a failed call leaves nothing to close
        return false;
    }
    CngKey key;
    if (BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob.data(),
                            static_cast<ULONG>(blob.size()), 0) != 0) {
        (void)key.release();
        return false;
    }
    // CNG takes non-const buffers; it does not write to them when verifying.
    std::vector<std::uint8_t> digestCopy = digest;
    std::vector<std::uint8_t> signatureCopy = signature;
    const NTSTATUS status =
        BCryptVerifySignature(key.get(), nullptr, digestCopy.data(), static_cast<ULONG>(digestCopy.size()),
                              signatureCopy.data(), static_cast<ULONG>(signatureCopy.size()), 0);
    return status == 0;
}

bool verifyReleaseDigest(const std::vector<std::uint8_t>& manifestDigest, std::string_view signatureText,
                         const std::uint8_t* publicKey, std::size_t publicKeyLength, std::string* error) {
    try {
        if (!verifyP256Signature(publicKey, publicKeyLength, manifestDigest, decodeBase64(signatureText))) {
            return fail(error, notSignedMessage);
        }
        return true;
    } catch (...) {
        return fail(error, "Could not check the release list.");
    }
}

bool verifyReleaseBytes(const std::vector<std::uint8_t>& manifestBytes, std::string_view signatureText,
                        const std::uint8_t* publicKey, std::size_t publicKeyLength, std::string* error) {
    try {
        std::vector<std::uint8_t> digest;
        if (!sha256Digest(manifestBytes, digest)) {
            return fail(error, "Could not check the release list.");
        }
        return verifyReleaseDigest(digest, signatureText, publicKey, publicKeyLength, error);
    } catch (...) {
        return fail(error, "Could not check the release list.");
    }
}

bool verifyReleaseSignature(const std::filesystem::path& manifestPath, std::string_view signatureText,
                            const std::uint8_t* publicKey, std::size_t publicKeyLength, std::string* error) {
    try {
        return verifyReleaseBytes(readFileBytes(manifestPath), signatureText, publicKey, publicKeyLength, error);
    } catch (...) {
        // Only an allocation can throw here (a manifest too large to hold).
        return fail(error, "Could not check the release list.");
    }
}

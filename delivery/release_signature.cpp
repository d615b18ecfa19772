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

// The key list as CMake hands it over: keys separated by commas (a CMake
// list's semicolons become commas), semicolons or white space.
constexpr bool isKeySeparator(char c) { return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\n'; }

// The next key's text from `pos` on; empty when none is left.
constexpr std::string_view nextKeyText(std::string_view list, std::size_t& pos) {
    while (pos < list.size() && isKeySeparator(list[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < list.size() && !isKeySeparator(list[pos])) ++pos;
    return list.substr(start, pos - start);
}

constexpr std::size_t keyCount(std::string_view list) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (!nextKeyText(list, pos).empty()) ++count;
    return count;
}

constexpr bool allKeysValid(std::string_view list) {
    std::size_t pos = 0;
    for (std::string_view key = nextKeyText(list, pos); !key.empty(); key = nextKeyText(list, pos)) {
        if (!isUncompressedPointHex(key)) return false;
    }
    return true;
}

constexpr std::string_view signingKeysHex = TINDERHALLOW_SIGNING_KEY_HEX;
constexpr std::size_t signingKeyCount = keyCount(signingKeysHex);
static_assert(signingKeyCount >= 1 && signingKeyCount <= maxReleaseSigningKeys,
              "RELEASE_SIGNING_KEY_HEX must list one to four keys");
static_assert(
    allKeysValid(signingKeysHex),
    "each RELEASE_SIGNING_KEY_HEX key must be 130 hexadecimal digits of an uncompressed P-256 point (04 X Y)");

constexpr std::array<ReleaseSigningKey, signingKeyCount> parseKeys(std::string_view list) {
    std::array<ReleaseSigningKey, signingKeyCount> keys{};
    std::size_t pos = 0;
    for (ReleaseSigningKey& key : keys) {
        const std::string_view hex = nextKeyText(list, pos);
        for (std::size_t i = 0; i < key.size(); ++i) {
            key[i] = static_cast<std::uint8_t>(hexDigitValue(hex[2 * i]) * 16 + hexDigitValue(hex[2 * i + 1]));
        }
    }
    return keys;
}

constinit const std::array<ReleaseSigningKey, signingKeyCount> builtInKeys = parseKeys(signingKeysHex);

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

struct KeyRef {
    const std::uint8_t* bytes;
    std::size_t size;
};

std::string keyIdOf(const KeyRef& key) {
    std::vector<std::uint8_t> digest;
    if (key.bytes == nullptr || !sha256Digest(std::vector<std::uint8_t>(key.bytes, key.bytes + key.size), digest))
        return {};
    return digestToHex(digest.data(), digest.size()).substr(0, 16);
}

bool isHexText(std::string_view text) {
    for (char c : text) {
        if (hexDigitValue(c) < 0) return false;
    }
    return true;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// True when the text verifies with one of the keys, in either form.
bool signatureVerifies(const std::vector<std::uint8_t>& digest, std::string_view text,
                       const std::vector<KeyRef>& keys) {
    // One signature, perhaps split over lines: it names no key.
    const std::vector<std::uint8_t> single = decodeBase64(text);
    if (single.size() == 2 * coordinateSize) {
        for (const KeyRef& key : keys) {
            if (verifyP256Signature(key.bytes, key.size, digest, single)) return true;
        }
        return false;
    }
    std::vector<std::string> ids;
    for (const KeyRef& key : keys) ids.push_back(keyIdOf(key));
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.size() < 17 || !isHexText(line.substr(0, 16)) || (line[16] != ' ' && line[16] != '\t')) continue;
        const std::string id = lowerCase(line.substr(0, 16));
        const std::vector<std::uint8_t> signature = decodeBase64(line.substr(17));
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (ids[k] == id && verifyP256Signature(keys[k].bytes, keys[k].size, digest, signature)) return true;
        }
    }
    return false;
}

bool verifyWithKeys(const std::vector<std::uint8_t>& manifestDigest, std::string_view signatureText,
                    const std::vector<KeyRef>& keys, std::string* error) {
    try {
        if (!signatureVerifies(manifestDigest, signatureText, keys)) {
            return fail(error, notSignedMessage);
        }
        return true;
    } catch (...) {
        return fail(error, "Could not check the release list.");
    }
}

std::vector<KeyRef> keyRefs(std::span<const ReleaseSigningKey> keys) {
    std::vector<KeyRef> refs;
    for (const ReleaseSigningKey& key : keys) refs.push_back({key.data(), key.size()});
    return refs;
}

}  // namespace

std::span<const ReleaseSigningKey> releaseSigningKeys() { return builtInKeys; }

std::string releaseKeyId(const ReleaseSigningKey& key) {
    try {
        return keyIdOf({key.data(), key.size()});
    } catch (...) {
        return {};
    }
}

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
        return verifyWithKeys(manifestDigest, signatureText, {{publicKey, publicKeyLength}}, error);
    } catch (...) {
        return fail(error, "Could not check the release list.");
    }
}

bool verifyReleaseDigest(const std::vector<std::uint8_t>& manifestDigest, std::string_view signatureText,
                         std::span<const ReleaseSigningKey> keys, std::string* error) {
    try {
        return verifyWithKeys(manifestDigest, signatureText, keyRefs(keys), error);
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

bool verifyReleaseSignature(const std::filesystem::path& manifestPath, std::string_view signatureText,
                            std::span<const ReleaseSigningKey> keys, std::string* error) {
    try {
        std::vector<std::uint8_t> digest;
        if (!sha256Digest(readFileBytes(manifestPath), digest)) {
            return fail(error, "Could not check the release list.");
        }
        return verifyReleaseDigest(digest, signatureText, keys, error);
    } catch (...) {
        return fail(error, "Could not check the release list.");
    }
}

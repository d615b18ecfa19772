#include "delivery/release_signature.h"

#include "tests/support/test_paths.h"
#include "update/file_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// The fixtures were signed by OpenSSL with the development key
// (tests/delivery/fixtures/make_signature_fixtures.sh).

namespace {

const std::string notSigned = "The release list is not signed by Tinderhallow. Nothing was installed.";

std::filesystem::path fixture(const wchar_t* name) { return sourceDir() / L"tests" / L"delivery" / L"fixtures" / name; }

std::vector<std::uint8_t> hexBytes(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string encodeBase64(const std::vector<std::uint8_t>& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift : {18, 12, 6, 0}) text += alphabet[(v >> shift) & 63];
    }
    if (bytes.size() - i == 1) {
        const unsigned v = bytes[i] << 16;
        text += {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], '=', '='};
    } else if (bytes.size() - i == 2) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        text += {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
    }
    return text;
}

std::string toUrlSafeWithoutPadding(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '+') out += '-';
        else if (c == '/') out += '_';
        else if (c != '=') out += c;
    }
    return out;
}

class ReleaseSignature : public ::testing::Test {
protected:
    void SetUp() override {
        manifestBytes = readTextFile(fixture(L"sample_manifest.json"));
        ASSERT_FALSE(manifestBytes.empty());
        writeTextFile(manifest, manifestBytes);
        signature = readTextFile(fixture(L"sample_manifest.sig"));
        ASSERT_EQ(signature.size(), 88u);
        devKey = hexBytes(readTextFile(fixture(L"dev_public_key.hex")));
        otherKey = hexBytes(readTextFile(fixture(L"other_public_key.hex")));
        ASSERT_EQ(devKey.size(), 65u);
        ASSERT_EQ(otherKey.size(), 65u);
    }

    bool verify(const std::string& text, std::string* error) {
        return verifyReleaseSignature(manifest, text, devKey.data(), devKey.size(), error);
    }

    // Verifies and returns the error text ("" on success).
    std::string failureOf(const std::string& text) {
        std::string error;
        return verify(text, &error) ? "" : error;
    }

    ScratchDir scratch;
    std::filesystem::path manifest = scratch / L"update_manifest.json";
    std::string manifestBytes;
    std::string signature;
    std::vector<std::uint8_t> devKey;
    std::vector<std::uint8_t> otherKey;
};

TEST(DecodeBase64, DecodesKnownTextAndDropsLeftoverBits) {
    const std::vector<std::uint8_t> foobar = {'f', 'o', 'o', 'b', 'a', 'r'};
    EXPECT_EQ(decodeBase64("Zm9vYmFy"), foobar);
    EXPECT_EQ(decodeBase64("Zm9vYg=="), (std::vector<std::uint8_t>{'f', 'o', 'o', 'b'}));
    EXPECT_EQ(decodeBase64("Zm9vYg"), (std::vector<std::uint8_t>{'f', 'o', 'o', 'b'}));
    EXPECT_EQ(decodeBase64("Zm9vYmE"), (std::vector<std::uint8_t>{'f', 'o', 'o', 'b', 'a'}));
    EXPECT_TRUE(decodeBase64("Z").empty());
    EXPECT_TRUE(decodeBase64("").empty());
}

TEST(DecodeBase64, TreatsBothAlphabetsAlikeEvenMixed) {
    const std::vector<std::uint8_t> expected = {0xfb, 0xff, 0xbf, 0xfb, 0xff, 0xbf};
    EXPECT_EQ(decodeBase64("+/+/+/+/"), expected);
    EXPECT_EQ(decodeBase64("-_-_-_-_"), expected);
    EXPECT_EQ(decodeBase64("+_-/+_-/"), expected);
}

TEST(DecodeBase64, IgnoresPaddingSpacesTabsAndLineBreaksWhereverTheyStand) {
    const std::vector<std::uint8_t> foobar = {'f', 'o', 'o', 'b', 'a', 'r'};
    EXPECT_EQ(decodeBase64("=Zm 9v\tYm\r\nFy=="), foobar);
    EXPECT_EQ(decodeBase64("Z=m=9=v=Y=m=F=y"), foobar);
}

TEST(DecodeBase64, FailsWholeOnAnyOtherCharacter) {
    EXPECT_TRUE(decodeBase64("Zm9v*YmFy").empty());
    EXPECT_TRUE(decodeBase64("Zm9vYmFy.").empty());
    EXPECT_TRUE(decodeBase64("Zm9v\x80YmFy").empty());
    EXPECT_TRUE(decodeBase64("Zm9v\xffYmFy").empty());
    EXPECT_TRUE(decodeBase64("Zm9v\vYmFy").empty());
    EXPECT_TRUE(decodeBase64("Zm9v\fYmFy").empty());
    EXPECT_TRUE(decodeBase64(std::string("Zm9v\0YmFy", 9)).empty());
}

TEST_F(ReleaseSignature, VerifiesStandardBase64WithPadding) {
    std::string error = "earlier text";
    EXPECT_TRUE(verify(signature, &error));
    EXPECT_EQ(error, "earlier text");  // left as it was on success
    EXPECT_TRUE(verify(signature, nullptr));
}

TEST_F(ReleaseSignature, VerifiesUrlSafeBase64WithoutPadding) {
    const std::string urlSafe = toUrlSafeWithoutPadding(signature);
    ASSERT_EQ(urlSafe.size(), 86u);
    ASSERT_NE(urlSafe.find_first_of("-_"), std::string::npos) << "fixture has no character that differs";
    EXPECT_EQ(failureOf(urlSafe), "");
}

TEST_F(ReleaseSignature, VerifiesSignatureSplitOverCrLfLines) {
    const std::string split =
        signature.substr(0, 30) + "\r\n" + signature.substr(30, 30) + "\r\n" + signature.substr(60) + "\r\n";
    EXPECT_EQ(failureOf(split), "");
    EXPECT_EQ(failureOf("  \t" + split + "\n\n"), "");
}

TEST_F(ReleaseSignature, FailsWhenOneManifestByteChanged) {
    std::string changed = manifestBytes;
    const std::size_t at = changed.find("fixture-1");
    ASSERT_NE(at, std::string::npos);
    changed[at + 8] = '2';
    writeTextFile(manifest, changed);
    EXPECT_EQ(failureOf(signature), notSigned);
}

TEST_F(ReleaseSignature, FailsWhenOnlyTheLineEndsChanged) {
    std::string crlf;
    for (char c : manifestBytes) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    writeTextFile(manifest, crlf);
    EXPECT_EQ(failureOf(signature), notSigned);
}

TEST_F(ReleaseSignature, RefusesDerEncodedSignature) {
    const std::string der = readTextFile(fixture(L"sample_manifest.der.b64"));
    const std::size_t derSize = decodeBase64(der).size();
    ASSERT_GE(derSize, 70u);
    ASSERT_LE(derSize, 72u);
    EXPECT_EQ(failureOf(der), notSigned);
}

TEST_F(ReleaseSignature, RefusesSignaturesOf63Or65Bytes) {
    std::vector<std::uint8_t> raw = decodeBase64(signature);
    ASSERT_EQ(raw.size(), 64u);
    std::vector<std::uint8_t> shorter(raw.begin(), raw.end() - 1);
    std::vector<std::uint8_t> longer = raw;
    longer.push_back(0);
    EXPECT_EQ(failureOf(encodeBase64(shorter)), notSigned);
    EXPECT_EQ(failureOf(encodeBase64(longer)), notSigned);
    // 86 characters carry 516 bits: the last 4 are dropped, whatever they are.
    std::string nonCanonical = signature.substr(0, 86);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t last = std::string_view(alphabet).find(nonCanonical[85]);
    ASSERT_EQ(last & 0x0f, 0u);
    nonCanonical[85] = alphabet[last | 0x0f];
    EXPECT_EQ(failureOf(nonCanonical), "");
    EXPECT_EQ(failureOf(nonCanonical + "A"), notSigned);  // 522 bits: a 65th byte
}

TEST_F(ReleaseSignature, RefusesOneCharacterOutsideTheAlphabet) {
    EXPECT_EQ(failureOf(signature.substr(0, 40) + "*" + signature.substr(40)), notSigned);
    EXPECT_EQ(failureOf(signature.substr(0, 40) + "\x80" + signature.substr(40)), notSigned);
    EXPECT_EQ(failureOf(signature + "."), notSigned);
}

TEST_F(ReleaseSignature, RefusesEmptySignatureText) {
    EXPECT_EQ(failureOf(""), notSigned);
    EXPECT_EQ(failureOf(" \r\n=="), notSigned);
}

TEST_F(ReleaseSignature, RefusesSignatureOfAnotherKey) {
    EXPECT_EQ(failureOf(readTextFile(fixture(L"other_key.sig"))), notSigned);
    std::string error;
    EXPECT_FALSE(verifyReleaseSignature(manifest, signature, otherKey.data(), otherKey.size(), &error));
    EXPECT_EQ(error, notSigned);
}

TEST_F(ReleaseSignature, TreatsMissingManifestAsZeroBytesThatNoSignatureMatches) {
    std::string error;
    EXPECT_FALSE(verifyReleaseSignature(scratch / L"absent.json", signature, devKey.data(), devKey.size(), &error));
    EXPECT_EQ(error, notSigned);
}

TEST_F(ReleaseSignature, RefusesKeyOfWrongSizeOrForm) {
    std::string error;
    EXPECT_FALSE(verifyReleaseSignature(manifest, signature, devKey.data(), 64, &error));
    EXPECT_EQ(error, notSigned);
    std::vector<std::uint8_t> compressedPrefix = devKey;
    compressedPrefix[0] = 0x02;
    EXPECT_FALSE(verifyReleaseSignature(manifest, signature, compressedPrefix.data(), 65, nullptr));
    std::vector<std::uint8_t> offCurve = devKey;
    offCurve[64] ^= 1;  // a point that is not on the curve: CNG must refuse it
    EXPECT_FALSE(verifyReleaseSignature(manifest, signature, offCurve.data(), 65, nullptr));
    EXPECT_FALSE(verifyReleaseSignature(manifest, signature, nullptr, 65, nullptr));
}

// A file signed by several keys holds "<key id> <signature>" lines: each is
// checked with the key of its id only, lines of unknown keys are passed over,
// and a one-signature text is tried with every key given.
TEST_F(ReleaseSignature, ChecksEachKeyedLineWithTheKeyOfItsId) {
    ReleaseSigningKey dev{};
    ReleaseSigningKey other{};
    std::copy(devKey.begin(), devKey.end(), dev.begin());
    std::copy(otherKey.begin(), otherKey.end(), other.begin());
    const std::string devId = releaseKeyId(dev);
    const std::string otherId = releaseKeyId(other);
    ASSERT_EQ(devId.size(), 16u);
    const std::string otherSignature = readTextFile(fixture(L"other_key.sig"));
    const std::string twoLines = otherId + " " + otherSignature + "\r\n" + devId + " " + signature + "\r\n";

    EXPECT_EQ(failureOf(twoLines), "");
    EXPECT_EQ(failureOf("some later form\n" + devId + "\t" + signature), "");
    EXPECT_EQ(failureOf(otherId + " " + signature), notSigned) << "the id names another key";
    EXPECT_EQ(failureOf(otherId + " " + otherSignature), notSigned);

    std::vector<std::uint8_t> digest;
    ASSERT_TRUE(sha256Digest(std::vector<std::uint8_t>(manifestBytes.begin(), manifestBytes.end()), digest));
    const std::vector<ReleaseSigningKey> both{other, dev};
    std::string error;
    EXPECT_TRUE(verifyReleaseDigest(digest, signature, both, &error)) << error;
    EXPECT_TRUE(verifyReleaseDigest(digest, twoLines, both, &error)) << error;
    EXPECT_FALSE(verifyReleaseDigest(digest, signature, std::span(both).first(1), &error));
    EXPECT_EQ(error, notSigned);
}

TEST(VerifyP256Signature, ChecksSizesBeforeAskingThePlatform) {
    const std::vector<std::uint8_t> key = hexBytes(readTextFile(fixture(L"dev_public_key.hex")));
    const std::vector<std::uint8_t> raw = decodeBase64(readTextFile(fixture(L"sample_manifest.sig")));
    std::vector<std::uint8_t> digest;
    const std::string manifestText = readTextFile(fixture(L"sample_manifest.json"));
    ASSERT_TRUE(sha256Digest(std::vector<std::uint8_t>(manifestText.begin(), manifestText.end()), digest));
    ASSERT_TRUE(verifyP256Signature(key.data(), key.size(), digest, raw));

    std::vector<std::uint8_t> longDigest = digest;
    longDigest.push_back(0);
    EXPECT_FALSE(verifyP256Signature(key.data(), key.size(), longDigest, raw));
    EXPECT_FALSE(
        verifyP256Signature(key.data(), key.size(), std::vector<std::uint8_t>(digest.begin(), digest.end() - 1), raw));
    EXPECT_FALSE(verifyP256Signature(key.data(), 66, digest, raw));
    std::vector<std::uint8_t> flipped = raw;
    flipped[10] ^= 0x40;
    EXPECT_FALSE(verifyP256Signature(key.data(), key.size(), digest, flipped));
}

TEST(ReleaseSigningKey, IsAnUncompressedPoint) {
    ASSERT_FALSE(releaseSigningKeys().empty());
    EXPECT_LE(releaseSigningKeys().size(), maxReleaseSigningKeys);
    for (const ReleaseSigningKey& key : releaseSigningKeys()) EXPECT_EQ(key[0], 0x04);
}

}  // namespace

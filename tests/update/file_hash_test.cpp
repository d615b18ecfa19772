#include "update/file_hash.h"

#include "base/utf8_paths.h"
#include "tests/support/test_paths.h"
#include "update/sha256.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A pattern that differs in every byte position within a block and across
// 256-byte runs, so a misplaced byte changes the digest.
Bytes patternBytes(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(((i * 31 + 7) ^ (i >> 8)) & 0xff);
    return bytes;
}

Bytes randomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator() >> 24);
    return bytes;
}

std::string portableHex(const Bytes& data) {
    std::uint8_t digest[32];
    sha256Portable(data.data(), data.size(), digest);
    return digestToHex(digest, sizeof digest);
}

std::string acceleratedHex(const Bytes& data) {
    std::uint8_t digest[32];
    if (!sha256Accelerated(data.data(), data.size(), digest)) return "no SHA extensions";
    return digestToHex(digest, sizeof digest);
}

std::string cngHex(const Bytes& data) {
    Bytes digest;
    if (!sha256Digest(data, digest)) return "CNG failed";
    return digestToHex(digest.data(), digest.size());
}

std::string hashFileHex(const ScratchDir& scratch, const Bytes& data) {
    const auto path = scratch / "data.bin";
    writeTextFile(path, std::string(data.begin(), data.end()));
    std::string digest;
    std::string error;
    if (!hashFile(path, digest, &error)) return "hashFile failed: " + error;
    return digest;
}

// Every way the system digests bytes must give the same text.
void expectAllPathsGive(const Bytes& data, const std::string& expected) {
    ScratchDir scratch;
    EXPECT_EQ(portableHex(data), expected) << "portable, " << data.size() << " bytes";
    if (cpuHasShaExtensions()) {
        EXPECT_EQ(acceleratedHex(data), expected) << "accelerated, " << data.size() << " bytes";
    }
    EXPECT_EQ(cngHex(data), expected) << "CNG, " << data.size() << " bytes";
    EXPECT_EQ(hashFileHex(scratch, data), expected) << "hashFile, " << data.size() << " bytes";
    EXPECT_EQ(sha256FileHex(scratch / "data.bin"), expected) << "sha256FileHex, " << data.size() << " bytes";
}

struct KnownDigest {
    std::size_t size;
    const char* digest;
};

}  // namespace

// Standard test vectors.

TEST(Sha256KnownAnswers, EmptyInputGivesTheDigestOfZeroBytes) { expectAllPathsGive({}, kEmptyDigest); }

TEST(Sha256KnownAnswers, AbcGivesTheStandardDigest) {
    expectAllPathsGive(bytesOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256KnownAnswers, The448BitMessageGivesTheStandardDigest) {
    expectAllPathsGive(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
                       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256KnownAnswers, The896BitMessageGivesTheStandardDigest) {
    expectAllPathsGive(
        bytesOf("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
                "lmnopqrsmnopqrstnopqrstu"),
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256KnownAnswers, OneMillionLetterAGivesTheStandardDigest) {
    expectAllPathsGive(Bytes(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Padding (55/56 bytes leave room for the length or not), block edges and
// the 64 KiB read size of hashFile.
TEST(Sha256Boundaries, BlockAndReadBufferEdgesGiveTheReferenceDigests) {
    const KnownDigest cases[] = {
        {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {55, "8aa994584139d128848eeebc4e815639ba5ab6e6e39574195a63ac4f14f7c43b"},
        {56, "ad574708f75c044c9b85de64cb568ee7711ff4f36448c6242f053ba8f6cc2b63"},
        {63, "280ed3e8ff1df845b2e7dfe6ac6cee817bef20e783cc65abc41b818b4d2fe076"},
        {64, "c6ab9724ade5b6a7a1edfffb12f3aa9181351355af8fd08c919952ad211339dd"},
        {65, "788367c73c7ddf4c53f65e68cc0d943e6227ab55b0e78ba63ace822b1c6301c0"},
        {65535, "9cd7f74a7fe47518be5c1d6ad5663b64ee9e4ef8ba73e486b6292e9352b5705a"},
        {65536, "7bc6ec89e34b3b9b3b0fd92b5568095fc59c6b44bd48f926262c7a6599e4cef2"},
        {65537, "a89848cfdb83f211c3131d9e5e67f8795eef3617e398dacf58bdb346ba6fdefc"},
        {3 * 1024 * 1024 + 17, "7d07b92e04d04a405358be372df8e78f63053e9207039cdef1f78c64ef771a98"},
    };
    for (const auto& known : cases) expectAllPathsGive(patternBytes(known.size), known.digest);
}

TEST(Sha256Boundaries, SeveralMegabytesOfRandomDataAgreeOnEveryPath) {
    const Bytes data = randomBytes(5 * 1024 * 1024 + 321, 20240611);
    expectAllPathsGive(data, cngHex(data));
}

// The streaming engine, fed the way a file reader feeds it.

TEST(Sha256Stream, FeedingInIrregularPiecesGivesTheOneShotDigest) {
    const Bytes data = randomBytes(300000, 7);
    const std::string expected = cngHex(data);
    const std::size_t pieceSizes[] = {1, 3, 63, 64, 65, 127, 4097, 65536, 70000};
    for (const Sha256Engine engine : {Sha256Engine::Portable, Sha256Engine::Accelerated}) {
        Sha256Stream stream;
        sha256Begin(stream, engine);
        std::size_t offset = 0;
        for (std::size_t turn = 0; offset < data.size(); ++turn) {
            const std::size_t piece = std::min(pieceSizes[turn % std::size(pieceSizes)], data.size() - offset);
            sha256Feed(stream, data.data() + offset, piece);
            sha256Feed(stream, nullptr, 0);
            offset += piece;
        }
        std::uint8_t digest[32];
        sha256Finish(stream, digest);
        EXPECT_EQ(digestToHex(digest, sizeof digest), expected) << static_cast<int>(engine);
    }
}

TEST(Sha256Stream, EveryLengthUpToThreeBlocksAgreesBetweenEngines) {
    const Bytes data = patternBytes(200);
    for (std::size_t size = 0; size <= data.size(); ++size) {
        const Bytes prefix(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
        ASSERT_EQ(portableHex(prefix), cngHex(prefix)) << size << " bytes";
        if (cpuHasShaExtensions()) {
            ASSERT_EQ(acceleratedHex(prefix), cngHex(prefix)) << size << " bytes";
        }
    }
}

TEST(Sha256Stream, AcceleratedEngineIsChosenExactlyWhenTheCpuHasTheExtensions) {
    EXPECT_EQ(bestSha256Engine() == Sha256Engine::Accelerated, cpuHasShaExtensions());
    Sha256Stream stream;
    sha256Begin(stream, Sha256Engine::Accelerated);
    EXPECT_EQ(stream.engine == Sha256Engine::Accelerated, cpuHasShaExtensions());
    std::uint8_t digest[32] = {};
    EXPECT_EQ(sha256Accelerated("abc", 3, digest), cpuHasShaExtensions());
}

// Under Wine the host's CPU flags are readable; when the host CPU has the
// extensions the fast path must really be in use.
TEST(Sha256Stream, DetectsTheShaExtensionsTheHostCpuAdvertises) {
    const std::string cpuinfo = readTextFile(L"Z:\\proc\\cpuinfo");
    if (cpuinfo.find("flags") == std::string::npos) GTEST_SKIP() << "no /proc/cpuinfo (not under Wine)";
    const bool advertised = cpuinfo.find(" sha_ni") != std::string::npos &&
                            cpuinfo.find(" ssse3") != std::string::npos && cpuinfo.find(" sse4_1") != std::string::npos;
    EXPECT_EQ(cpuHasShaExtensions(), advertised);
}

// hashFile's results and messages.

TEST(HashFile, SucceedsAndClearsTheErrorText) {
    ScratchDir scratch;
    writeTextFile(scratch / "abc.txt", "abc");
    std::string digest = "old";
    std::string error = "earlier failure";
    ASSERT_TRUE(hashFile(scratch / "abc.txt", digest, &error));
    EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(error, "");
    EXPECT_EQ(sha256FileHex(scratch / "abc.txt"), digest);
}

TEST(HashFile, WorksWithoutAnErrorText) {
    ScratchDir scratch;
    writeTextFile(scratch / "empty.bin", "");
    std::string digest;
    ASSERT_TRUE(hashFile(scratch / "empty.bin", digest));
    EXPECT_EQ(digest, kEmptyDigest);
    EXPECT_FALSE(hashFile(scratch / "missing.bin", digest));
    EXPECT_EQ(digest, kEmptyDigest);
}

TEST(HashFile, MissingFileFailsWithThePathAndLeavesTheDigestUnchanged) {
    ScratchDir scratch;
    const auto path = scratch / "missing.bin";
    std::string digest = "earlier digest";
    std::string error;
    EXPECT_FALSE(hashFile(path, digest, &error));
    EXPECT_EQ(error, "Could not open file for hashing: " + pathToUtf8(path));
    EXPECT_EQ(digest, "earlier digest");
}

TEST(HashFile, MessageCarriesANonAsciiPathAsUtf8) {
    ScratchDir scratch;
    const auto path = scratch / pathFromUtf8("s\xc3\xa6ga \xe2\x80\x94 \xe6\x97\xa5.pak");
    std::string digest;
    std::string error;
    EXPECT_FALSE(hashFile(path, digest, &error));
    EXPECT_EQ(error, "Could not open file for hashing: " + pathToUtf8(scratch.path()) +
                         "\\s\xc3\xa6ga \xe2\x80\x94 \xe6\x97\xa5.pak");

    writeTextFile(path, "abc");
    ASSERT_TRUE(hashFile(path, digest, &error)) << error;
    EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(HashFile, FolderCannotBeOpenedForHashing) {
    ScratchDir scratch;
    std::string digest = "earlier digest";
    std::string error;
    EXPECT_FALSE(hashFile(scratch.path(), digest, &error));
    EXPECT_EQ(error, "Could not open file for hashing: " + pathToUtf8(scratch.path()));
    EXPECT_EQ(digest, "earlier digest");
}

TEST(HashFile, FileHeldWithoutSharingCannotBeOpened) {
    ScratchDir scratch;
    const auto path = scratch / "locked.bin";
    writeTextFile(path, "abc");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::string digest = "earlier digest";
    std::string error;
    EXPECT_FALSE(hashFile(path, digest, &error));
    CloseHandle(holder);
    EXPECT_EQ(error, "Could not open file for hashing: " + pathToUtf8(path));
    EXPECT_EQ(digest, "earlier digest");
}

// A game or installer may hold a file open for writing or deleting while the
// launcher checks it; the check must neither fail nor lock them out.
TEST(HashFile, HashesAFileThatAnotherHandleHoldsForWritingAndDeleting) {
    ScratchDir scratch;
    const auto path = scratch / "busy.bin";
    writeTextFile(path, "abc");
    HANDLE holder =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::string digest;
    std::string error;
    EXPECT_TRUE(hashFile(path, digest, &error)) << error;
    EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const Bytes whole = readFileBytes(path);
    EXPECT_EQ(std::string(whole.begin(), whole.end()), "abc");
    CloseHandle(holder);
}

// Under Wine, the host's /proc/self/mem opens like a file but its first
// read fails (nothing is mapped at offset 0): a real read error.
TEST(HashFile, ReadErrorFailsWithTheSecondMessage) {
    const std::filesystem::path path = L"Z:\\proc\\self\\mem";
    HANDLE probe =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no unreadable file to test with (not under Wine)";
    CloseHandle(probe);

    std::string digest = "earlier digest";
    std::string error = "earlier error";
    EXPECT_FALSE(hashFile(path, digest, &error));
    EXPECT_EQ(error, "Failed while hashing file: Z:\\proc\\self\\mem");
    EXPECT_EQ(digest, "earlier digest");
    EXPECT_TRUE(readFileBytes(path).empty());
    EXPECT_EQ(sha256FileHex(path), kEmptyDigest);
}

// The CNG forms.

TEST(Sha256Digest, ResizesTheOutputToThirtyTwoBytes) {
    Bytes digest(5, 0xff);
    ASSERT_TRUE(sha256Digest(bytesOf("abc"), digest));
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(digestToHex(digest.data(), digest.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Bytes big(100, 1);
    ASSERT_TRUE(sha256Digest({}, big));
    EXPECT_EQ(digestToHex(big.data(), big.size()), kEmptyDigest);
}

TEST(Sha256FileHex, MissingFileGivesTheDigestOfZeroBytes) {
    ScratchDir scratch;
    EXPECT_EQ(sha256FileHex(scratch / "missing.bin"), kEmptyDigest);
    EXPECT_TRUE(readFileBytes(scratch / "missing.bin").empty());
}

TEST(Sha256FileHex, ReadsTheWholeFileInBinaryMode) {
    ScratchDir scratch;
    const std::string text = std::string("line\r\nnext\n\x1a\0end", 17);
    writeTextFile(scratch / "binary.bin", text);
    const Bytes read = readFileBytes(scratch / "binary.bin");
    EXPECT_EQ(std::string(read.begin(), read.end()), text);
    EXPECT_EQ(sha256FileHex(scratch / "binary.bin"), cngHex(bytesOf(text)));
}

TEST(DigestText, IsLowerCaseWithTwoZeroPaddedDigitsPerByte) {
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
    EXPECT_EQ(digestToHex(bytes, sizeof bytes), "000fa0ff5c");
    EXPECT_EQ(digestToHex(bytes, 0), "");
}

#include "delivery/chunk_index.h"

#include "tests/support/test_paths.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// The input the shared vector file describes in its header.
std::string vectorInput() {
    std::string stream;
    for (int n = 0; stream.size() < 1872865; ++n) {
        const std::string text = "Tinderhallow chunk vector " + std::to_string(n);
        std::uint8_t digest[32];
        sha256Portable(text.data(), text.size(), digest);
        stream.append(reinterpret_cast<const char*>(digest), sizeof digest);
    }
    return stream.substr(0, 1572864) + std::string(600000, '\0') + stream.substr(1572864, 300001);
}

std::string expectedChunks() {
    std::istringstream lines(readTextFile(sourceDir() / L"tests" / L"delivery" / L"fixtures" / L"chunk_vector.txt"));
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') text += line + "\n";
    }
    return text;
}

// The publishing script's chunker must cut files exactly where the launcher
// does, or no published chunk would ever be found in an installed file.
TEST(Chunker, CutsTheSharedTestVectorLikeThePublishingScript) {
    const std::string input = vectorInput();
    const std::string expected = expectedChunks();
    ASSERT_FALSE(expected.empty());
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    EXPECT_EQ(chunkListText(chunkBytes(data, input.size())), expected);

    // Read from a file in pieces, the cuts and hashes are the same.
    ScratchDir dir;
    writeTextFile(dir / L"vector.bin", input);
    std::vector<ChunkEntry> chunks;
    std::string error;
    ASSERT_TRUE(chunkFile(
        dir / L"vector.bin",
        [&](const ChunkEntry& chunk, const std::uint8_t*) {
            chunks.push_back(chunk);
            return true;
        },
        &error))
        << error;
    EXPECT_EQ(chunkListText(chunks), expected);
}

}  // namespace

#include "delivery/chunk_index.h"

#include "tests/support/test_paths.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
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

// An installed copy holding many identical chunks, against a release file
// that holds many identical ones too, or many that share the first bytes of
// their hash: each installed chunk used to walk every release chunk of its
// key, so the work grew with the product of the two counts.
TEST(ChunkLookup, HandsOutEachReleaseChunkOnceWithWorkLinearInTheChunks) {
    ChunkEntry same;
    same.length = static_cast<std::uint32_t>(kChunkMaximum);
    std::memset(same.hash, 7, sizeof same.hash);
    std::vector<ChunkEntry> release(3000, same);
    for (std::uint32_t i = 0; i < 3000; ++i) {
        ChunkEntry alike = same;  // same first 8 hash bytes, other content
        std::memcpy(alike.hash + 8, &i, sizeof i);
        alike.hash[15] = 1;
        release.push_back(alike);
    }
    ChunkLookup lookup = makeChunkLookup(release);

    std::size_t handedOut = 0;
    for (int installed = 0; installed < 3000; ++installed) {
        const auto [first, last] = takeChunks(lookup, release, same);
        for (const std::uint32_t* target = first; target != last; ++target) {
            EXPECT_LT(*target, 3000u);
            ++handedOut;
        }
    }
    EXPECT_EQ(handedOut, 3000u);
    ChunkEntry absent = same;
    absent.hash[15] = 2;
    for (int installed = 0; installed < 3000; ++installed) {
        const auto [first, last] = takeChunks(lookup, release, absent);
        EXPECT_EQ(first, last);
    }
    const auto [first, last] = takeChunks(lookup, release, release[3007]);
    ASSERT_EQ(last - first, 1);
    EXPECT_EQ(*first, 3007u);
    EXPECT_EQ(lookup.left, 2999u);
    // One search of the 3001 groups per installed chunk, and one look at each chunk handed out.
    EXPECT_LE(lookup.examined, 6001u * 14u + 3001u);
}

}  // namespace

#include "update/parallel_hash.h"

#include "tests/support/test_paths.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Stands in for a hashing thread that dies once it has taken "b.pak".
HashedFile dyingOnB(const std::filesystem::path& path) {
    if (path.filename() == L"b.pak") throw std::runtime_error("hashing thread lost");
    return hashFileForCheck(path);
}

TEST(ParallelHasher, EndsWithAnErrorNotAHangWhenAThreadDiesAfterTakingAFile) {
    ScratchDir dir;
    for (const wchar_t* name : {L"a.pak", L"b.pak", L"c.pak"}) writeTextFile(dir / name, "bytes");
    ParallelHasher hasher(2, dyingOnB);
    for (const wchar_t* name : {L"a.pak", L"b.pak", L"c.pak"}) hasher.add(dir / name);
    bool sawFailure = false;
    for (int i = 0; i < 3; ++i) {
        const HashedFile file = hasher.next();
        if (!file.hashed) {
            EXPECT_EQ(file.error, kHashThreadFailedMessage);
            sawFailure = true;
        }
    }
    EXPECT_TRUE(sawFailure);
    EXPECT_TRUE(hasher.failed());
}

}  // namespace

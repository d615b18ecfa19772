#include "delivery/delta_download.h"

#include "delivery/partial_download.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <regex>

namespace {

std::string randomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t value = generator();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<char>(value >> (8 * j));
    }
    return bytes;
}

std::string indexOf(const std::string& bytes) {
    const auto chunks = chunkBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    const std::vector<std::uint8_t> index = encodeChunkIndex(bytes.size(), chunks);
    return std::string(index.begin(), index.end());
}

// "bytes=a-b" of a request; false for a request without one.
bool rangeOf(const RecordedRequest& request, std::uint64_t& first, std::uint64_t& last) {
    const std::optional<std::string> range = request.header("Range");
    if (!range || std::sscanf(range->c_str(), "bytes=%llu-%llu", reinterpret_cast<unsigned long long*>(&first),
                              reinterpret_cast<unsigned long long*>(&last)) != 2) {
        return false;
    }
    return true;
}

// An installed release file and its next version: a 64 KiB overwrite, a
// 1000-byte insertion and a 1000-byte deletion.
struct Patch {
    std::string installed = randomBytes(3 * 1024 * 1024, 1);
    std::string next;
    Patch() {
        next = installed;
        next.replace(600000, 65536, randomBytes(65536, 2));
        next.insert(1500000, randomBytes(1000, 3));
        next.erase(2500000, 1000);
    }
};

// A static host of the next version: the file (ranges served as a plain
// host serves them) and its chunk index; `index` and `file` may be replaced.
struct Host {
    explicit Host(const Patch& patch)
        : file(patch.next),
          index(indexOf(patch.next)),
          server([this](const RecordedRequest& request, int) { return answer(request); }) {}

    ScriptedResponse answer(const RecordedRequest& request) {
        if (request.path == "/chunks/" + digestOf(file)) {
            return index ? ScriptedResponse::ok(*index) : ScriptedResponse::withStatus(404);
        }
        if (request.path != "/game.pak") return ScriptedResponse::withStatus(404);
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (!rangeOf(request, first, last) || ignoreRanges) return ScriptedResponse::ok(file);
        ScriptedResponse response = ScriptedResponse::withStatus(206, rangeBody(first, last));
        response.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                           "/" + std::to_string(file.size()));
        return response;
    }

    std::string rangeBody(std::uint64_t first, std::uint64_t last) {
        std::string body = file.substr(first, last - first + 1);
        if (damageRanges) body[0] = static_cast<char>(body[0] ^ 0x55);
        return body;
    }

    int rangeRequests() const {
        int count = 0;
        for (const RecordedRequest& request : server.requests()) count += request.header("Range") ? 1 : 0;
        return count;
    }
    int wholeRequests() const {
        int count = 0;
        for (const RecordedRequest& request : server.requests()) {
            count += request.path == "/game.pak" && !request.header("Range") ? 1 : 0;
        }
        return count;
    }

    std::string file;
    std::optional<std::string> index;
    bool ignoreRanges = false;
    bool damageRanges = false;
    ScriptedServer server;
};

// The update's download step for the one file, the installed copy in place.
struct Update {
    explicit Update(const Patch& patch) { writeTextFile(dir / L"install" / L"game.pak", patch.installed); }

    bool run(Host& host, const Patch& patch) {
        job.patchUrl = host.server.url();
        job.fileList = {ManifestFile{L"game.pak", patch.next.size(), digestOf(patch.next)}};
        job.targetFolder = dir / L".patch_remote";
        job.installFolder = dir / L"install";
        job.bytesTotal = patch.next.size();
        return downloadJobFiles(job);
    }
    std::filesystem::path downloaded() const { return dir / L".patch_remote" / L"game.pak"; }

    ScratchDir dir;
    DownloadJob job;
};

TEST(DeltaDownload, FetchesOnlyTheChunksTheInstalledCopyLacks) {
    const Patch patch;
    Host host(patch);
    Update update(patch);
    ASSERT_TRUE(update.run(host, patch)) << update.job.firstError;
    EXPECT_EQ(readTextFile(update.downloaded()), patch.next);
    EXPECT_EQ(host.wholeRequests(), 0);
    EXPECT_GE(host.rangeRequests(), 1);
    EXPECT_LT(host.server.bodyBytesSent(), patch.next.size() / 5);
    EXPECT_EQ(update.job.bytesDone.load(), patch.next.size());
}

// Reused bytes are done but were not downloaded: only what crossed the
// network feeds the rate, and the detail says how little that was.
TEST(DeltaDownload, CountsOnlyTheBytesThatCrossedTheNetworkAsDownloaded) {
    const Patch patch;
    Host host(patch);
    Update update(patch);
    ASSERT_TRUE(update.run(host, patch)) << update.job.firstError;
    EXPECT_EQ(update.job.bytesFetched.load(), host.server.bodyBytesSent());
    EXPECT_EQ(update.job.bytesDone.load(), patch.next.size());
    const std::string detail = snapshot().detail;
    EXPECT_TRUE(std::regex_match(detail, std::regex("1 of 1 files, 3 of 3 MB ready, 0\\.[1-5] MB downloaded")))
        << detail;
}

// The installed copy's bytes are what gets hashed and copied: a chunk that
// was damaged on disk is not found there and comes from the host instead,
// without falling back to the whole file.
TEST(DeltaDownload, FetchesAChunkWhoseInstalledBytesAreDamaged) {
    Patch patch;
    Update update(patch);
    const std::size_t damaged = 2'000'000;  // far from every change
    std::string onDisk = patch.installed;
    onDisk[damaged] = static_cast<char>(onDisk[damaged] ^ 0xFF);
    writeTextFile(update.dir / L"install" / L"game.pak", onDisk);
    Host host(patch);
    ASSERT_TRUE(update.run(host, patch)) << update.job.firstError;
    EXPECT_EQ(readTextFile(update.downloaded()), patch.next);
    EXPECT_EQ(host.wholeRequests(), 0);
    bool fetchedDamaged = false;
    for (const RecordedRequest& request : host.server.requests()) {
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (rangeOf(request, first, last) && first <= damaged && damaged <= last) fetchedDamaged = true;
    }
    EXPECT_TRUE(fetchedDamaged);
    EXPECT_LT(host.server.bodyBytesSent(), patch.next.size() / 5);
}

// Every case below still ends with the right file, downloaded whole, and no
// partial file of the attempt left behind.
void expectWholeDownload(Host& host, Update& update, const Patch& patch) {
    ASSERT_TRUE(update.run(host, patch)) << update.job.firstError;
    EXPECT_EQ(readTextFile(update.downloaded()), patch.next);
    EXPECT_EQ(host.wholeRequests(), 1);
    EXPECT_FALSE(std::filesystem::exists(partialDownloadPath(update.downloaded())));
    EXPECT_EQ(update.job.bytesDone.load(), patch.next.size());
}

TEST(DeltaDownload, DownloadsTheWholeFileWhenTheHostHasNoIndex) {
    const Patch patch;
    Host host(patch);
    host.index.reset();
    Update update(patch);
    expectWholeDownload(host, update, patch);
    EXPECT_EQ(host.rangeRequests(), 0);
}

// An index that does not parse, or that describes a file of another size,
// is refused before a single range is asked for.
TEST(DeltaDownload, DownloadsTheWholeFileWhenTheIndexIsUnusable) {
    const Patch patch;
    const std::string good = indexOf(patch.next);
    std::string shortOfTheSize = indexOf(patch.next.substr(0, patch.next.size() - 1));
    shortOfTheSize.replace(16, 8, good.substr(16, 8));  // the right size in the header, the chunks one byte short
    for (const std::string& bad :
         {std::string("THCHUNKS but not an index"), good.substr(0, good.size() - 3), shortOfTheSize}) {
        Host host(patch);
        host.index = bad;
        Update update(patch);
        expectWholeDownload(host, update, patch);
        EXPECT_EQ(host.rangeRequests(), 0);
    }
}

TEST(DeltaDownload, DownloadsTheWholeFileWhenTheHostIgnoresRanges) {
    const Patch patch;
    Host host(patch);
    host.ignoreRanges = true;
    Update update(patch);
    ASSERT_TRUE(update.run(host, patch)) << update.job.firstError;
    EXPECT_EQ(readTextFile(update.downloaded()), patch.next);
    EXPECT_EQ(host.rangeRequests(), 1);  // the first 200 ends the rebuilding
    EXPECT_FALSE(std::filesystem::exists(partialDownloadPath(update.downloaded())));
}

// The index is not signed: bytes that do not add up to the release's file
// are only known by the whole file's digest.
TEST(DeltaDownload, DownloadsTheWholeFileWhenTheRebuiltFileDoesNotMatch) {
    const Patch patch;
    Host host(patch);
    host.damageRanges = true;
    Update update(patch);
    expectWholeDownload(host, update, patch);
    EXPECT_GE(host.rangeRequests(), 1);
}

}  // namespace

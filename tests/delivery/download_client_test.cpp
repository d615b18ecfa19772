#include "delivery/download_client.h"

#include "base/version.h"
#include "base/windows_error.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_paths.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A limit that none of the files served here comes near.
const DownloadLimit kAnySize = atMost(64ull * 1024 * 1024);

std::string bytesOfSize(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return bytes;
}

// Each test starts and ends without a download token.
class DownloadClient : public ::testing::Test {
protected:
    void SetUp() override { setDownloadToken(""); }
    void TearDown() override { setDownloadToken(""); }
    ScratchDir scratch;
};

// A server that answers every request with the same file.
ScriptedHandler serve(const std::string& body) {
    return [body](const RecordedRequest&, int) { return ScriptedResponse::ok(body); };
}

// The whole file with its validator, cut off after `sent` bytes (then the
// server closes the connection).
ScriptedResponse brokenAfter(const std::string& body, const std::string& etag, std::size_t sent) {
    ScriptedResponse response = ScriptedResponse::ok(body);
    response.headers.emplace_back("ETag", etag);
    response.closeAfterBodyBytes = sent;
    return response;
}

}  // namespace

// ---- URL utilities ----

TEST(UrlUtilities, RecognisesHttpAndHttpsInAnyCase) {
    EXPECT_TRUE(isHttpUrl("http://example.test/patch"));
    EXPECT_TRUE(isHttpUrl("HTTPS://example.test"));
    EXPECT_TRUE(isHttpUrl("http://"));
    EXPECT_TRUE(isHttpUrl("hTTpS://"));
    EXPECT_FALSE(isHttpUrl("ftp://example.test"));
    EXPECT_FALSE(isHttpUrl("C:\\Games\\Tinderhallow"));
    EXPECT_FALSE(isHttpUrl("\\\\server\\share"));
    EXPECT_FALSE(isHttpUrl("http:/"));
    EXPECT_FALSE(isHttpUrl("https:/"));
    EXPECT_FALSE(isHttpUrl(""));
}

TEST(UrlUtilities, PercentEncodesEverythingButUnreservedCharactersAndSlash) {
    EXPECT_EQ(percentEncodePath("Game Data/a+b.pak"), "Game%20Data/a%2Bb.pak");
    EXPECT_EQ(percentEncodePath("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(percentEncodePath("\xC3"), "%C3");
    EXPECT_EQ(percentEncodePath("%?#\\:"), "%25%3F%23%5C%3A");
    EXPECT_EQ(percentEncodePath(std::string("\x00\x7F\xFF", 3)), "%00%7F%FF");
}

TEST(UrlUtilities, AppendsTheWindowsErrorCodeAndReturnsFalse) {
    std::string error;
    SetLastError(12029);
    EXPECT_FALSE(appendWindowsError("Could not connect to patch server", &error));
    EXPECT_EQ(error, "Could not connect to patch server (Windows error 12029).");
    SetLastError(5);
    EXPECT_FALSE(appendWindowsError("anything", nullptr));
}

TEST(UrlUtilities, CracksHostPortAndPathOfTheBaseUrl) {
    PatchDownloader plain("http://127.0.0.1:8080/test//");
    EXPECT_EQ(plain.baseUrl(), "http://127.0.0.1:8080/test");
    EXPECT_EQ(plain.host(), L"127.0.0.1");
    EXPECT_EQ(plain.basePath(), L"/test");
    EXPECT_EQ(plain.port(), 8080);
    EXPECT_FALSE(plain.secure());

    PatchDownloader secure("HTTPS://patch.example.test");
    EXPECT_EQ(secure.host(), L"patch.example.test");
    EXPECT_EQ(secure.basePath(), L"");
    EXPECT_EQ(secure.port(), 443);
    EXPECT_TRUE(secure.secure());
    EXPECT_FALSE(secure.connected());
}

TEST(UrlUtilities, UnparsableUrlFailsEachAttemptAsRetryable) {
    PatchDownloader downloader("http://");
    EXPECT_TRUE(downloader.host().empty());
    ScratchDir scratch;
    std::string error;
    bool retryable = false;
    EXPECT_FALSE(downloader.downloadOnce("a.txt", scratch / "a.txt", kAnySize, {}, &error, retryable));
    EXPECT_TRUE(retryable);
    EXPECT_EQ(error, "Could not parse patch URL.");
}

TEST(UrlUtilities, OneShotFormRefusesSourcesThatAreNotHttp) {
    ScratchDir scratch;
    std::string error;
    EXPECT_FALSE(downloadPatchFile("ftp://127.0.0.1/", "a.txt", scratch / "a.txt", kAnySize, {}, &error));
    EXPECT_EQ(error, "Patch source is not an HTTP URL.");
    EXPECT_FALSE(downloadPatchFile("C:\\release", "a.txt", scratch / "a.txt", kAnySize));
}

// ---- Successful downloads ----

TEST_F(DownloadClient, StreamsTheFileIntoPlaceAndReportsProgress) {
    const std::string body = bytesOfSize(300 * 1024 + 17);
    ScriptedServer server(serve(body));
    ASSERT_TRUE(server.listening());
    const fs::path destination = scratch / "game.pak";
    std::vector<float> progress;
    std::string error = "stale";
    ASSERT_TRUE(downloadPatchFile(
        server.url(), "game.pak", destination, kAnySize, [&](float fraction) { progress.push_back(fraction); },
        &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(readTextFile(destination), body);
    EXPECT_FALSE(fs::exists(scratch / "game.pak.download"));

    ASSERT_EQ(server.requestCount(), 1);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/game.pak");
    EXPECT_EQ(request.header("User-Agent").value_or(""), "TinderhallowLauncher/1 (" TINDERHALLOW_VERSION_TEXT ")");
    EXPECT_EQ(request.body, "");

    ASSERT_GE(progress.size(), 2u);
    for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1], progress[i]);
    EXPECT_EQ(progress.back(), 1.0f);
    EXPECT_LT(progress.front(), 1.0f);
}

TEST_F(DownloadClient, ReplacesAnExistingDestination) {
    ScriptedServer server(serve("new content"));
    const fs::path destination = scratch / "patch_notes.json";
    writeTextFile(destination, "old content that is longer");
    ASSERT_TRUE(downloadPatchFile(server.url(), "patch_notes.json", destination, kAnySize));
    EXPECT_EQ(readTextFile(destination), "new content");
}

TEST_F(DownloadClient, AcceptsAnyLengthWhenTheServerSendsNoContentLength) {
    const std::string body = bytesOfSize(200 * 1024);
    ScriptedServer server([&](const RecordedRequest&, int) {
        ScriptedResponse response = ScriptedResponse::ok(body);
        response.sendContentLength = false;
        return response;
    });
    std::vector<float> progress;
    std::string error;
    ASSERT_TRUE(downloadPatchFile(
        server.url(), "a.bin", scratch / "a.bin", kAnySize, [&](float fraction) { progress.push_back(fraction); },
        &error))
        << error;
    EXPECT_EQ(readTextFile(scratch / "a.bin"), body);
    EXPECT_EQ(progress, std::vector<float>{1.0f});
}

TEST_F(DownloadClient, CreatesMissingDestinationFolders) {
    ScriptedServer server(serve("deep"));
    const fs::path destination = scratch / "one" / "two" / "three" / "file.txt";
    std::string error;
    ASSERT_TRUE(downloadPatchFile(server.url(), "one/two/three/file.txt", destination, kAnySize, {}, &error)) << error;
    EXPECT_EQ(readTextFile(destination), "deep");
    EXPECT_EQ(server.requests()[0].path, "/one/two/three/file.txt");
}

TEST_F(DownloadClient, RequestPathsIgnoreTrailingSlashesOfTheBaseUrl) {
    ScriptedServer server(serve("x"));
    for (const std::string suffix : {"", "/", "/test", "/test/", "/test//"}) {
        ASSERT_TRUE(
            downloadPatchFile(server.url() + suffix, "manifests/update_manifest.json", scratch / "m.json", kAnySize))
            << suffix;
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].path, "/manifests/update_manifest.json");
    EXPECT_EQ(requests[1].path, "/manifests/update_manifest.json");
    EXPECT_EQ(requests[2].path, "/test/manifests/update_manifest.json");
    EXPECT_EQ(requests[3].path, "/test/manifests/update_manifest.json");
    EXPECT_EQ(requests[4].path, "/test/manifests/update_manifest.json");
}

TEST_F(DownloadClient, PercentEncodesTheRequestPath) {
    ScriptedServer server(serve("x"));
    ASSERT_TRUE(downloadPatchFile(server.url() + "/base", "Game Data/a+b.pak", scratch / "a.pak", kAnySize));
    ASSERT_TRUE(downloadPatchFile(server.url(), pathFromUtf8("Caf\xC3\xA9/x#1.txt"), scratch / "b.txt", kAnySize));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/base/Game%20Data/a%2Bb.pak");
    EXPECT_EQ(requests[1].path, "/Caf%C3%A9/x%231.txt");
}

TEST_F(DownloadClient, SendsNoAuthorizationHeaderWithoutAToken) {
    ScriptedServer server(serve("x"));
    ASSERT_TRUE(downloadPatchFile(server.url(), "a.txt", scratch / "a.txt", kAnySize));
    const RecordedRequest request = server.requests()[0];
    EXPECT_FALSE(request.header("Authorization").has_value());
}

TEST_F(DownloadClient, SendsTheBearerTokenOnceSet) {
    ScriptedServer server(serve("x"));
    setDownloadToken("tok-123.abc");
    ASSERT_TRUE(downloadPatchFile(server.url(), "a.txt", scratch / "a.txt", kAnySize));
    const RecordedRequest request = server.requests()[0];
    int authorizationHeaders = 0;
    for (const auto& [name, value] : request.headers) {
        if (name == "Authorization") {
            ++authorizationHeaders;
            EXPECT_EQ(value, "Bearer tok-123.abc");
        }
    }
    EXPECT_EQ(authorizationHeaders, 1);
}

TEST_F(DownloadClient, ReusesOneConnectionAcrossFiles) {
    ScriptedServer server([](const RecordedRequest& request, int) { return ScriptedResponse::ok(request.path); });
    PatchDownloader downloader(server.url() + "/release/");
    std::string error;
    for (const char* name : {"a.txt", "b/c.txt", "d.txt"}) {
        ASSERT_TRUE(downloadWithRetries(downloader, name, scratch / name, kAnySize, {}, &error)) << error;
        EXPECT_EQ(readTextFile(scratch / name), std::string("/release/") + name);
    }
    EXPECT_TRUE(downloader.connected());
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(server.requestCount(), 3);
}

TEST_F(DownloadClient, ManyDownloadersShareTheSessionConcurrently) {
    const std::string body = bytesOfSize(64 * 1024);
    ScriptedServer server(serve(body));
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            PatchDownloader downloader(server.url());
            for (int i = 0; i < 3; ++i) {
                const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i) + ".bin";
                if (downloadWithRetries(downloader, name, scratch / name, kAnySize) &&
                    readTextFile(scratch / name) == body) {
                    ++succeeded;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(succeeded, 12);
    EXPECT_EQ(server.requestCount(), 12);
    EXPECT_EQ(server.connectionCount(), 4);
}

// ---- Failures ----

TEST_F(DownloadClient, ShortBodyAfterACleanCloseIsRetriedAndKeepsTheOldFile) {
    ScriptedServer server([](const RecordedRequest&, int) {
        ScriptedResponse response = ScriptedResponse::ok("only part of it");
        response.announcedLength = 4096;  // then the server closes
        return response;
    });
    const fs::path destination = scratch / "game.pak";
    writeTextFile(destination, "previous good copy");
    std::string error;
    EXPECT_FALSE(downloadPatchFile(server.url(), "game.pak", destination, kAnySize, {}, &error));
    EXPECT_EQ(error, "Patch download size did not match the server response.");
    EXPECT_EQ(server.requestCount(), 3);
    EXPECT_EQ(readTextFile(destination), "previous good copy");
    EXPECT_FALSE(fs::exists(scratch / "game.pak.download"));
}

TEST_F(DownloadClient, SizeMismatchClosesTheConnectionAndTheNextAttemptReopensIt) {
    ScriptedServer server([](const RecordedRequest&, int number) {
        ScriptedResponse response = ScriptedResponse::ok("abcdef");
        if (number == 1) {
            response.closeAfterBodyBytes = 3;  // Content-Length still says 6
        }
        return response;
    });
    std::string error;
    ASSERT_TRUE(downloadPatchFile(server.url(), "a.txt", scratch / "a.txt", kAnySize, {}, &error)) << error;
    EXPECT_EQ(readTextFile(scratch / "a.txt"), "abcdef");
    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_EQ(server.connectionCount(), 2);
}

TEST_F(DownloadClient, Status204IsAFailureAndNotRetried) {
    ScriptedServer server([](const RecordedRequest&, int) { return ScriptedResponse::withStatus(204); });
    std::string error;
    EXPECT_FALSE(downloadPatchFile(server.url(), "a.txt", scratch / "a.txt", kAnySize, {}, &error));
    EXPECT_EQ(error, "Patch server returned HTTP 204 for a.txt.");
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_FALSE(fs::exists(scratch / "a.txt"));
    EXPECT_FALSE(fs::exists(scratch / "a.txt.download"));
}

TEST_F(DownloadClient, Status404NamesTheUnencodedPathAfterOneAttempt) {
    ScriptedServer server([](const RecordedRequest&, int) { return ScriptedResponse::withStatus(404, "missing"); });
    PatchDownloader downloader(server.url());
    std::string error;
    EXPECT_FALSE(downloadWithRetries(downloader, "Game Data/a+b.pak", scratch / "a.pak", kAnySize, {}, &error));
    EXPECT_EQ(error, "Patch server returned HTTP 404 for Game Data/a+b.pak.");
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(server.requests()[0].path, "/Game%20Data/a%2Bb.pak");
    // An HTTP error keeps the connection handle for the next file.
    EXPECT_TRUE(downloader.connected());
    server.setHandler(serve("found"));
    EXPECT_TRUE(downloadWithRetries(downloader, "b.pak", scratch / "b.pak", kAnySize));
    EXPECT_EQ(readTextFile(scratch / "b.pak"), "found");
}

TEST_F(DownloadClient, ServerErrorsAreRetriedThreeTimesAndTheLastTextIsKept) {
    ScriptedServer server([](const RecordedRequest&, int number) {
        return ScriptedResponse::withStatus(number == 3 ? 503 : 500 + number);
    });
    std::string error;
    EXPECT_FALSE(downloadPatchFile(server.url(), "dir/a.txt", scratch / "a.txt", kAnySize, {}, &error));
    EXPECT_EQ(error, "Patch server returned HTTP 503 for dir/a.txt.");
    EXPECT_EQ(server.requestCount(), 3);
}

TEST_F(DownloadClient, RecoversWhenTheServerAnswersBeforeTheThirdAttemptRunsOut) {
    ScriptedServer server([](const RecordedRequest&, int number) {
        return number < 3 ? ScriptedResponse::withStatus(503) : ScriptedResponse::ok("finally");
    });
    std::string error;
    ASSERT_TRUE(downloadPatchFile(server.url(), "a.txt", scratch / "a.txt", kAnySize, {}, &error)) << error;
    EXPECT_EQ(readTextFile(scratch / "a.txt"), "finally");
    EXPECT_EQ(server.requestCount(), 3);
}

TEST_F(DownloadClient, RefusedLoginIsReportedAfterOneAttempt) {
    setDownloadToken("stale-token");
    for (const int status : {401, 403}) {
        ScriptedServer server([status](const RecordedRequest&, int) { return ScriptedResponse::withStatus(status); });
        std::string error;
        EXPECT_FALSE(downloadPatchFile(server.url(), "a.txt", scratch / "a.txt", kAnySize, {}, &error));
        EXPECT_EQ(error, "The download server did not accept your login (HTTP " + std::to_string(status) +
                             "). Log in again and retry.");
        EXPECT_EQ(server.requestCount(), 1);
        EXPECT_EQ(server.requests()[0].header("Authorization").value_or(""), "Bearer stale-token");
    }
}

TEST_F(DownloadClient, ARefusalWithoutATokenIsTheHostsNotTheLogin) {
    for (const int status : {401, 403}) {
        ScriptedServer server([status](const RecordedRequest&, int) { return ScriptedResponse::withStatus(status); });
        std::string error;
        EXPECT_FALSE(downloadPatchFile(server.url(), "data/a.txt", scratch / "a.txt", kAnySize, {}, &error));
        EXPECT_EQ(error, "The patch server refused data/a.txt (HTTP " + std::to_string(status) + ").");
        EXPECT_EQ(server.requestCount(), 1);
        EXPECT_FALSE(server.requests()[0].header("Authorization").has_value());
    }
}

TEST_F(DownloadClient, NothingListeningGivesAConnectFailureAfterThreeAttempts) {
    std::string url;
    {
        ScriptedServer closed(serve(""));
        url = closed.url();
    }
    std::string error;
    EXPECT_FALSE(downloadPatchFile(url, "a.txt", scratch / "a.txt", kAnySize, {}, &error));
    EXPECT_TRUE(std::regex_match(error, std::regex("(Could not connect to patch server|Patch server did not respond) "
                                                   "\\(Windows error [1-9][0-9]*\\)\\.")))
        << error;
    EXPECT_FALSE(fs::exists(scratch / "a.txt"));
}

TEST_F(DownloadClient, FailedFinaliseLeavesADestinationFolderAlone) {
    ScriptedServer server(serve("file body"));
    const fs::path destination = scratch / "game.pak";
    writeTextFile(destination / "inside.txt", "keep me");
    std::string error;
    EXPECT_FALSE(downloadPatchFile(server.url(), "game.pak", destination, kAnySize, {}, &error));
    EXPECT_EQ(error.rfind("Could not finalize downloaded file: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string("Could not finalize downloaded file: ").size());
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(readTextFile(destination / "inside.txt"), "keep me");
}

TEST_F(DownloadClient, FailedFinaliseKeepsThePreviousCopyOfTheDestination) {
    ScriptedServer server(serve("new notes"));
    const fs::path destination = scratch / "patch_notes.json";
    writeTextFile(destination, "previous notes");
    // Someone holds the temporary file open without delete sharing: it can
    // be written but not moved, while the destination itself could be deleted.
    const fs::path temporary = scratch / "patch_notes.json.download";
    writeTextFile(temporary, "");
    FileHandle holder = holdOpen(temporary, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(holder);
    std::string error;
    const bool downloaded = downloadPatchFile(server.url(), "patch_notes.json", destination, kAnySize, {}, &error);
    holder.reset();
    EXPECT_FALSE(downloaded);
    EXPECT_EQ(error.rfind("Could not finalize downloaded file: ", 0), 0u) << error;
    EXPECT_EQ(readTextFile(destination), "previous notes");
}

TEST_F(DownloadClient, UnwritableTemporaryFileIsReportedWithItsPath) {
    ScriptedServer server(serve("body"));
    const fs::path destination = scratch / "a.txt";
    fs::create_directories(scratch / "a.txt.download");  // a folder where the temporary file goes
    std::string error;
    EXPECT_FALSE(downloadPatchFile(server.url(), "a.txt", destination, kAnySize, {}, &error));
    EXPECT_EQ(error, "Could not create download file: " + pathToUtf8(scratch / "a.txt.download"));
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(DownloadClient, FolderThatCannotBeCreatedIsReported) {
    ScriptedServer server(serve("body"));
    writeTextFile(scratch / "blocker", "a file where a folder should be");
    std::string error;
    EXPECT_FALSE(downloadPatchFile(server.url(), "x/a.txt", scratch / "blocker" / "x" / "a.txt", kAnySize, {}, &error));
    EXPECT_EQ(error.rfind("Could not create download folder: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string("Could not create download folder: ").size());
    EXPECT_EQ(server.requestCount(), 1);
}

// ---- Limits, stalls, redirects and unusable sources ----

TEST_F(DownloadClient, EveryDownloadStopsAtItsSizeLimit) {
    constexpr std::uint64_t kLimit = 1024 * 1024;
    const fs::path destination = scratch / "list.json";
    const fs::path temporary = scratch / "list.json.download";
    writeTextFile(destination, "previous list");
    const std::string tooLarge = "Patch server sent more than 1 MiB for list.json.";

    // An announced length above the limit: refused before the body, once.
    {
        ScriptedServer server([](const RecordedRequest&, int) {
            ScriptedResponse response;
            response.generatedBodyBytes = 300ull * 1024 * 1024;
            return response;
        });
        std::string error;
        EXPECT_FALSE(downloadPatchFile(server.url(), "list.json", destination, atMost(kLimit), {}, &error));
        EXPECT_EQ(error, tooLarge);
        EXPECT_EQ(server.requestCount(), 1);
        EXPECT_LT(server.bodyBytesSent(), 64ull * 1024 * 1024);
    }
    EXPECT_EQ(readTextFile(destination), "previous list");
    EXPECT_FALSE(fs::exists(temporary));

    // Without a length: the body is cut at the first byte beyond the limit,
    // and a body of exactly the limit is fine.
    for (const std::uint64_t size : {kLimit + 1, 64ull * 1024 * 1024, kLimit}) {
        ScriptedServer server([size](const RecordedRequest&, int) {
            ScriptedResponse response;
            response.generatedBodyBytes = size;
            response.sendContentLength = false;
            return response;
        });
        std::string error;
        const bool downloaded = downloadPatchFile(server.url(), "list.json", destination, atMost(kLimit), {}, &error);
        if (size == kLimit) {
            EXPECT_TRUE(downloaded) << error;
            EXPECT_EQ(fs::file_size(destination), kLimit);
        } else {
            EXPECT_FALSE(downloaded) << size;
            EXPECT_EQ(error, tooLarge);
            EXPECT_EQ(server.requestCount(), 1);
            EXPECT_EQ(readTextFile(destination), "previous list");
            if (size > kLimit + 1) {
                EXPECT_LT(server.bodyBytesSent(), size);
            }
        }
        EXPECT_FALSE(fs::exists(temporary));
    }

    // A game file must be exactly its manifest size: any other size fails,
    // retryably, naming the path; an announced size is refused at once.
    const std::string mismatch =
        "Patch server sent data/game.pak with a size that does not match the release manifest (5 bytes).";
    struct Served {
        std::string body;
        bool contentLength;
        std::optional<std::uint64_t> generated;
    };
    const std::vector<Served> wrong = {{"", true, 95ull * 1000 * 1000},
                                       {"123456", false, std::nullopt},
                                       {"1234", false, std::nullopt},
                                       {"1234", true, std::nullopt}};
    const fs::path gameFile = scratch / "data" / "game.pak";
    for (const Served& served : wrong) {
        ScriptedServer server([&](const RecordedRequest&, int) {
            ScriptedResponse response = ScriptedResponse::ok(served.body);
            response.sendContentLength = served.contentLength;
            response.generatedBodyBytes = served.generated;
            return response;
        });
        PatchDownloader downloader(server.url());
        std::string error;
        bool retryable = false;
        EXPECT_FALSE(downloader.downloadOnce("data/game.pak", gameFile, exactly(5), {}, &error, retryable));
        EXPECT_EQ(error, mismatch) << served.body.size();
        EXPECT_TRUE(retryable);
        EXPECT_FALSE(fs::exists(gameFile));
        EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download"));
        if (served.generated) {
            EXPECT_LT(server.bodyBytesSent(), 64ull * 1024 * 1024);
        }
    }
    ScriptedServer right(serve("12345"));
    std::string error;
    ASSERT_TRUE(downloadPatchFile(right.url(), "data/game.pak", gameFile, exactly(5), {}, &error)) << error;
    EXPECT_EQ(readTextFile(gameFile), "12345");
}

TEST_F(DownloadClient, TransferThatBringsLessThan1KiBInAWindowFailsAsRetryable) {
    const fs::path destination = scratch / "game.pak";
    writeTextFile(destination, "previous copy");
    auto answer = [](std::string body, std::size_t piece, unsigned intervalMs) {
        return [=](const RecordedRequest&, int) {
            ScriptedResponse response = ScriptedResponse::ok(body);
            response.trickleBytes = piece;
            response.trickleMs = intervalMs;
            return response;
        };
    };

    // One byte every 40 ms would finish in under 3 s, but brings only about
    // 25 bytes in any second.
    {
        ScriptedServer server(answer(bytesOfSize(64), 1, 40));
        PatchDownloader downloader(server.url());
        downloader.setStallWindow(std::chrono::seconds(1));
        std::string error;
        bool retryable = false;
        EXPECT_FALSE(downloader.downloadOnce("game.pak", destination, kAnySize, {}, &error, retryable));
        EXPECT_EQ(error, "Patch download stalled: less than 1 KiB arrived in 1 second.");
        EXPECT_TRUE(retryable);
        EXPECT_FALSE(downloader.connected());
        EXPECT_EQ(readTextFile(destination), "previous copy");
        EXPECT_FALSE(fs::exists(scratch / "game.pak.download"));
    }

    // A host that stops sending is cut off by the same window.
    {
        ScriptedServer server(answer(bytesOfSize(64), 1, 600000));
        PatchDownloader downloader(server.url());
        downloader.setStallWindow(std::chrono::seconds(1));
        std::string error;
        bool retryable = false;
        EXPECT_FALSE(downloader.downloadOnce("game.pak", destination, kAnySize, {}, &error, retryable));
        EXPECT_TRUE(std::regex_match(
            error, std::regex("Patch download (interrupted|read failed) \\(Windows error [1-9][0-9]*\\)\\.")))
            << error;
        EXPECT_TRUE(retryable);
        EXPECT_EQ(readTextFile(destination), "previous copy");
    }

    // Slow but steady (512 bytes every 100 ms) is fine.
    {
        const std::string body = bytesOfSize(10 * 512);
        ScriptedServer server(answer(body, 512, 100));
        PatchDownloader downloader(server.url());
        downloader.setStallWindow(std::chrono::seconds(1));
        std::string error;
        EXPECT_TRUE(downloadWithRetries(downloader, "game.pak", destination, kAnySize, {}, &error)) << error;
        EXPECT_EQ(readTextFile(destination), body);
        EXPECT_EQ(server.requestCount(), 1);
    }
}

TEST_F(DownloadClient, RedirectsAreFollowedButTheTokenStaysWithThePatchSource) {
    setDownloadToken("tok-1");
    ScriptedServer source(serve(""));
    ScriptedServer otherHost(serve(""), "127.0.0.2");
    ScriptedServer otherPort(serve("from another port"));
    const std::string sourceUrl = source.url();
    const std::string otherUrl = otherHost.url();
    const std::string portUrl = otherPort.url();
    int redirectCount = 0;
    source.setHandler([&](const RecordedRequest& request, int) {
        static const int kinds[] = {301, 302, 303, 307, 308};
        ScriptedResponse response = ScriptedResponse::withStatus(kinds[redirectCount++ % 5]);
        const std::string path = request.path;
        auto rest = [&](std::size_t prefix) { return path.substr(prefix); };
        if (path.starts_with("/rel/relative/")) {
            response.headers.emplace_back("Location", "../moved/" + rest(14));
        } else if (path.starts_with("/rel/cdn/")) {
            response.headers.emplace_back("Location", otherUrl + "/cdn/" + rest(9) + "?sig=1#part");
        } else if (path.starts_with("/rel/port/")) {
            response.headers.emplace_back("Location", portUrl + "/" + rest(10));
        } else if (path.starts_with("/rel/away/")) {
            response.headers.emplace_back("Location", otherUrl + "/back/" + rest(10));
        } else if (path.starts_with("/rel/loop/")) {
            const int left = std::stoi(rest(10));
            if (left == 0) return ScriptedResponse::ok("after the loop");
            response.headers.emplace_back("Location", "/rel/loop/" + std::to_string(left - 1));
        } else if (path == "/rel/ftp.txt") {
            response.headers.emplace_back("Location", "ftp://127.0.0.1/ftp.txt");
        } else if (path != "/rel/nowhere.txt") {
            return ScriptedResponse::ok("from source " + path);
        }
        return response;
    });
    otherHost.setHandler([&](const RecordedRequest& request, int) {
        if (!request.path.starts_with("/back/")) return ScriptedResponse::ok("from other " + request.path);
        ScriptedResponse response = ScriptedResponse::withStatus(307);
        response.headers.emplace_back("Location", sourceUrl + "/rel/home/" + request.path.substr(6));
        return response;
    });

    PatchDownloader downloader(sourceUrl + "/rel");
    std::string error;
    auto fetch = [&](const std::string& path) {
        return downloadWithRetries(downloader, path, scratch / "out.bin", kAnySize, {}, &error);
    };

    // Relative redirects of every kind stay with the source, token and all.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(fetch("relative/a.txt")) << error;
        EXPECT_EQ(readTextFile(scratch / "out.bin"), "from source /rel/moved/a.txt");
    }
    // Another host or port gets the request with its query, never the token;
    // the way back to the source carries it again.
    ASSERT_TRUE(fetch("cdn/b.txt")) << error;
    EXPECT_EQ(readTextFile(scratch / "out.bin"), "from other /cdn/b.txt?sig=1");
    ASSERT_TRUE(fetch("port/c.txt")) << error;
    EXPECT_EQ(readTextFile(scratch / "out.bin"), "from another port");
    ASSERT_TRUE(fetch("away/d.txt")) << error;
    EXPECT_EQ(readTextFile(scratch / "out.bin"), "from source /rel/home/d.txt");
    for (const RecordedRequest& request : source.requests()) {
        EXPECT_EQ(request.header("Authorization").value_or(""), "Bearer tok-1") << request.path;
    }
    EXPECT_EQ(otherHost.requestCount(), 2);
    EXPECT_EQ(otherPort.requestCount(), 1);
    for (const RecordedRequest& request : otherHost.requests()) EXPECT_FALSE(request.header("Authorization"));
    for (const RecordedRequest& request : otherPort.requests()) EXPECT_FALSE(request.header("Authorization"));

    // Five redirects are followed, a sixth is not (and not retried).
    ASSERT_TRUE(fetch("loop/5")) << error;
    EXPECT_EQ(readTextFile(scratch / "out.bin"), "after the loop");
    int before = source.requestCount();
    EXPECT_FALSE(fetch("loop/6"));
    EXPECT_EQ(error, "Patch server redirected loop/6 more than 5 times.");
    EXPECT_EQ(source.requestCount() - before, 6);

    // A redirect to anything but HTTP(S), or to nowhere, fails at once.
    for (const std::string path : {"ftp.txt", "nowhere.txt"}) {
        before = source.requestCount();
        EXPECT_FALSE(fetch(path));
        EXPECT_EQ(error, "Patch server sent an unusable redirect for " + path + ".");
        EXPECT_EQ(source.requestCount() - before, 1);
    }
    EXPECT_EQ(readTextFile(scratch / "out.bin"), "after the loop");
}

TEST_F(DownloadClient, SourceWithAQueryOrFragmentIsRefusedWithoutNetworkAccess) {
    ScriptedServer server(serve("served"));
    for (const std::string suffix : {"/rel?x=1", "/rel#top", "?", "/a#b?c"}) {
        std::string error;
        EXPECT_FALSE(downloadPatchFile(server.url() + suffix, "a.txt", scratch / "a.txt", kAnySize, {}, &error));
        EXPECT_EQ(error, "Patch source is not usable: its URL contains \"?\" or \"#\".") << suffix;

        PatchDownloader downloader(server.url() + suffix);
        bool retryable = true;
        EXPECT_FALSE(downloader.downloadOnce("a.txt", scratch / "a.txt", kAnySize, {}, &error, retryable));
        EXPECT_FALSE(retryable);
        EXPECT_FALSE(downloader.connected());
    }
    EXPECT_EQ(server.connectionCount(), 0);
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_FALSE(fs::exists(scratch / "a.txt"));
}

// ---- Release files: verified on arrival, resumed after a break ----

TEST_F(DownloadClient, KeptBytesAreResumedOnlyWithTheRestOfTheSameCopy) {
    const std::string body = bytesOfSize(256 * 1024 + 5);
    const std::size_t half = body.size() / 2;
    const fs::path destination = scratch / "data" / "game.pak";
    auto fetch = [&](ScriptedServer& server, std::string& error) {
        PatchDownloader downloader(server.url());
        return downloadWithRetries(downloader, "data/game.pak", destination, releaseFile(body.size(), digestOf(body)),
                                   {}, &error);
    };
    const std::string rest =
        "bytes " + std::to_string(half) + "-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size());

    // The rest of the copy the kept bytes came from is appended.
    {
        ScriptedServer server([&](const RecordedRequest&, int number) {
            if (number == 1) return brokenAfter(body, "\"v1\"", half);
            ScriptedResponse response = ScriptedResponse::withStatus(206, body.substr(half));
            response.headers.emplace_back("ETag", "\"v1\"");
            response.headers.emplace_back("Content-Range", rest);
            return response;
        });
        std::string error;
        ASSERT_TRUE(fetch(server, error)) << error;
        EXPECT_EQ(readTextFile(destination), body);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_FALSE(requests[0].header("Range"));
        EXPECT_EQ(requests[1].header("Range").value_or(""), "bytes=" + std::to_string(half) + "-");
        EXPECT_EQ(requests[1].header("If-Range").value_or(""), "\"v1\"");
        EXPECT_LE(server.bodyBytesSent(), body.size());
    }
    EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download"));
    EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download.resume"));
    fs::remove(destination);

    // A 206 whose range starts elsewhere is not appended: the file is asked
    // for again, whole.
    {
        ScriptedServer server([&](const RecordedRequest&, int number) {
            if (number == 1) return brokenAfter(body, "\"v1\"", half);
            if (number == 2) {
                ScriptedResponse response = ScriptedResponse::withStatus(206, body);
                response.headers.emplace_back("ETag", "\"v1\"");
                response.headers.emplace_back(
                    "Content-Range", "bytes 0-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size()));
                return response;
            }
            return ScriptedResponse::ok(body);
        });
        std::string error;
        ASSERT_TRUE(fetch(server, error)) << error;
        EXPECT_EQ(readTextFile(destination), body);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_TRUE(requests[1].header("Range"));
        EXPECT_FALSE(requests[2].header("Range"));
        EXPECT_FALSE(requests[2].header("If-Range"));
    }
    EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download"));
    EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download.resume"));
}

TEST_F(DownloadClient, KeptBytesAreResumedBehindFreshRedirectsOnlyWithAStrongValidator) {
    const std::string body = bytesOfSize(256 * 1024 + 5);
    const std::size_t half = body.size() / 2;
    const fs::path destination = scratch / "game.pak";
    const std::string rest =
        "bytes " + std::to_string(half) + "-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size());
    // The source redirects every request to a newly signed URL; `first`
    // breaks off after half the file, `second` answers the request after it.
    auto run = [&](std::vector<std::pair<std::string, std::string>> first, ScriptedResponse second) {
        int signature = 0;
        ScriptedServer server([&](const RecordedRequest& request, int) {
            if (request.path == "/game.pak") {
                ScriptedResponse redirect = ScriptedResponse::withStatus(302);
                redirect.headers.emplace_back("Location", "/signed/game.pak?sig=" + std::to_string(++signature));
                return redirect;
            }
            if (signature == 1) {
                ScriptedResponse broken = ScriptedResponse::ok(body);
                broken.headers = first;
                broken.closeAfterBodyBytes = half;
                return broken;
            }
            return signature == 2 ? second : ScriptedResponse::ok(body);
        });
        PatchDownloader downloader(server.url());
        std::string error;
        EXPECT_TRUE(downloadWithRetries(downloader, "game.pak", destination, releaseFile(body.size(), digestOf(body)),
                                        {}, &error))
            << error;
        EXPECT_EQ(readTextFile(destination), body);
        std::vector<RecordedRequest> signedRequests;
        for (const RecordedRequest& request : server.requests()) {
            if (request.path.starts_with("/signed/")) signedRequests.push_back(request);
        }
        return signedRequests;
    };
    auto partOf = [&](const char* validatorHeader, const std::string& value) {
        ScriptedResponse response = ScriptedResponse::withStatus(206, body.substr(half));
        if (validatorHeader != nullptr) response.headers.emplace_back(validatorHeader, value);
        response.headers.emplace_back("Content-Range", rest);
        return response;
    };
    const std::string older = "Tue, 01 Dec 2026 10:00:00 GMT";
    const std::string now = "Tue, 08 Dec 2026 10:00:00 GMT";

    // A strong ETag: the rest comes from the new URL.
    auto requests = run({{"ETag", "\"v1\""}}, partOf("ETag", "\"v1\""));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range").value_or(""), "bytes=" + std::to_string(half) + "-");
    EXPECT_EQ(requests[1].header("If-Range").value_or(""), "\"v1\"");

    // Last-Modified well before the answer's Date stands in for an ETag.
    requests = run({{"Last-Modified", older}, {"Date", now}}, partOf("Last-Modified", older));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("If-Range").value_or(""), older);

    // Not beside a weak ETag, nor within the second of the Date: no resume.
    for (const auto& head : std::vector<std::vector<std::pair<std::string, std::string>>>{
             {{"ETag", "W/\"v1\""}, {"Last-Modified", older}, {"Date", now}},
             {{"Last-Modified", now}, {"Date", now}}}) {
        requests = run(head, ScriptedResponse::ok(body));
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_FALSE(requests[1].header("Range"));
        EXPECT_FALSE(requests[1].header("If-Range"));
    }

    // A 206 that names no copy is refused: the file is asked for whole.
    requests = run({{"ETag", "\"v1\""}}, partOf(nullptr, ""));
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[1].header("Range"));
    EXPECT_FALSE(requests[2].header("Range"));
    EXPECT_FALSE(fs::exists(scratch / "game.pak.download.resume"));
}

TEST_F(DownloadClient, ResumedTransferOfAFileChangedOnTheServerStartsOver) {
    const std::string before = bytesOfSize(200 * 1024);
    std::string after = before;
    after[10] = static_cast<char>(after[10] ^ 0x5A);
    const std::size_t half = before.size() / 2;
    // The copy changed in between: If-Range names the old one, so the answer
    // is the new copy, whole.
    ScriptedServer server([&](const RecordedRequest&, int number) {
        if (number == 1) return brokenAfter(before, "\"v1\"", half);
        ScriptedResponse response = ScriptedResponse::ok(after);
        response.headers.emplace_back("ETag", "\"v2\"");
        return response;
    });
    const fs::path destination = scratch / "game.pak";
    PatchDownloader downloader(server.url());
    std::string error;
    ASSERT_TRUE(downloadWithRetries(downloader, "game.pak", destination, releaseFile(after.size(), digestOf(after)), {},
                                    &error))
        << error;
    EXPECT_EQ(readTextFile(destination), after);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range").value_or(""), "bytes=" + std::to_string(half) + "-");
    EXPECT_EQ(requests[1].header("If-Range").value_or(""), "\"v1\"");
    EXPECT_FALSE(fs::exists(scratch / "game.pak.download"));
    EXPECT_FALSE(fs::exists(scratch / "game.pak.download.resume"));
}

TEST_F(DownloadClient, FileThatDoesNotMatchItsDigestIsFetchedOnceMoreFromZeroThenFails) {
    const std::string body = bytesOfSize(64 * 1024);
    std::string wrong = body;
    wrong[body.size() - 1] = static_cast<char>(wrong[body.size() - 1] ^ 1);
    const DownloadLimit limit = releaseFile(body.size(), digestOf(body));
    const fs::path destination = scratch / "data" / "game.pak";
    writeTextFile(destination, "previous copy");

    {
        ScriptedServer server([&](const RecordedRequest&, int) {
            ScriptedResponse response = ScriptedResponse::ok(wrong);
            response.headers.emplace_back("ETag", "\"w\"");
            return response;
        });
        PatchDownloader downloader(server.url());
        std::string error;
        EXPECT_FALSE(downloadWithRetries(downloader, "data/game.pak", destination, limit, {}, &error));
        EXPECT_EQ(error, "Downloaded file does not match the release: data/game.pak.");
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_FALSE(requests[1].header("Range"));
        EXPECT_EQ(readTextFile(destination), "previous copy");
        EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download"));
        EXPECT_FALSE(fs::exists(scratch / "data" / "game.pak.download.resume"));
    }

    // One bad copy on the way is mended by the second fetch.
    ScriptedServer server(
        [&](const RecordedRequest&, int number) { return ScriptedResponse::ok(number == 1 ? wrong : body); });
    std::string error;
    ASSERT_TRUE(downloadPatchFile(server.url(), "data/game.pak", destination, limit, {}, &error)) << error;
    EXPECT_EQ(readTextFile(destination), body);
    EXPECT_EQ(server.requestCount(), 2);
}

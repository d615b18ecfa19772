#include "delivery/release_check.h"

#include "base/utf8_paths.h"
#include "delivery/patch_source.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/file_identity.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

// Which sources are the local test server, whose releases go unsigned: only
// an "http://" URL whose host, as WinHTTP cracks it, is exactly 127.0.0.1 or
// localhost.
TEST(LocalTestServer, IsAnHttpUrlWhoseHostIsExactlyALoopbackName) {
    EXPECT_TRUE(isLocalTestServer("http://127.0.0.1"));
    EXPECT_TRUE(isLocalTestServer("http://127.0.0.1:8080/rel"));
    EXPECT_TRUE(isLocalTestServer("http://localhost"));
    EXPECT_TRUE(isLocalTestServer("http://localhost/"));
    EXPECT_TRUE(isLocalTestServer("http://localhost:8080/rel"));
    EXPECT_TRUE(isLocalTestServer("http://tester@localhost:8080/rel"));
}

TEST(LocalTestServer, ExcludesHostsThatMerelyBeginWithALoopbackName) {
    EXPECT_FALSE(isLocalTestServer("http://localhost.attacker.example/"));
    EXPECT_FALSE(isLocalTestServer("http://127.0.0.1.attacker.example/"));
    EXPECT_FALSE(isLocalTestServer("http://127.0.0.10:8080/"));
    EXPECT_FALSE(isLocalTestServer("http://localhost@attacker.example/"));
    EXPECT_FALSE(isLocalTestServer("http://127.0.0.1:80@attacker.example/rel"));
}

TEST(LocalTestServer, StaysCaseSensitiveAndPlainHttpOnly) {
    EXPECT_FALSE(isLocalTestServer("http://LOCALHOST:8080/rel"));
    EXPECT_FALSE(isLocalTestServer("HTTP://localhost:8080/rel"));
    EXPECT_FALSE(isLocalTestServer("https://localhost:8080/rel"));
    EXPECT_FALSE(isLocalTestServer(""));
    EXPECT_FALSE(isLocalTestServer("C:\\releases\\current"));
}

class ReleaseCheckRun : public ::testing::Test {
protected:
    void SetUp() override {
        LauncherState state;
        state.launcherDir = launcherDir;
        replaceLauncherStateForTests(std::move(state));
    }

    ScratchDir scratch;
    fs::path launcherDir = scratch / L"launcher";
    fs::path releaseDir = scratch / L"release";
};

TEST_F(ReleaseCheckRun, ReportsACacheFolderThatCannotBeCreatedWithTheSystemMessage) {
    writeTextFile(launcherDir / L"patch_source.txt", "http://127.0.0.1:9/rel");
    writeTextFile(launcherDir / L".patch_remote", "a file where the cache folder goes");
    runReleaseCheck();

    const LauncherView view = snapshot();
    EXPECT_EQ(view.phase, LauncherPhase::Error);
    EXPECT_EQ(view.title, "Test channel unavailable");
    const std::string prefix = "Could not prepare download cache: ";
    ASSERT_GT(view.detail.size(), prefix.size()) << view.detail;
    EXPECT_EQ(view.detail.substr(0, prefix.size()), prefix);
    EXPECT_NE(view.detail.back(), '\n');
    EXPECT_NE(view.detail.back(), '\r');
    EXPECT_NE(view.detail.back(), ' ');
    EXPECT_EQ(view.progress, 0.0f);
}

TEST_F(ReleaseCheckRun, PublishesTheReleaseAndItsPlanTogether) {
    writeRelease(releaseDir, "r7", {{"a.pak", "alpha"}, {"data/b.pak", "bravo!"}});
    writeTextFile(launcherDir / L"a.pak", "alpha");
    writeTextFile(launcherDir / L"patch_source.txt", "  ..\\release  \r\nignored\r\n");
    runReleaseCheck();

    const LauncherState state = copyLauncherState();
    EXPECT_EQ(state.phase, LauncherPhase::UpdateAvailable);
    EXPECT_EQ(state.title, "Update available");
    EXPECT_EQ(state.detail, "1 files ready to install");
    EXPECT_EQ(state.progress, 0.0f);
    EXPECT_EQ(state.pendingRelease.sourceText, "..\\release");
    EXPECT_EQ(state.pendingRelease.sourceFolder, launcherDir / L"..\\release");
    EXPECT_EQ(state.pendingRelease.manifest.releaseId, "r7");
    EXPECT_EQ(state.pendingRelease.manifest.files.size(), 2u);
    ASSERT_EQ(state.pendingRelease.filesToFetch.size(), 1u);
    EXPECT_EQ(genericPathUtf8(state.pendingRelease.filesToFetch[0].path), "data/b.pak");
    EXPECT_EQ(state.pendingRelease.bytesToFetch, 6u);
    EXPECT_TRUE(state.pendingRelease.obsoletePaths.empty());
}

TEST_F(ReleaseCheckRun, LeavesAnEarlierPublishedReleaseInPlaceWhenItEndsInAnError) {
    writeRelease(releaseDir, "r7", {{"a.pak", "alpha"}});
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();
    ASSERT_EQ(snapshot().title, "Update available");

    fs::remove(releaseDir / L"update_manifest.json");
    runReleaseCheck();
    const LauncherState state = copyLauncherState();
    EXPECT_EQ(state.phase, LauncherPhase::Error);
    EXPECT_EQ(state.title, "Patch source unavailable");
    EXPECT_EQ(state.detail, "Could not open manifest: " + pathToUtf8(releaseDir / L"update_manifest.json"));
    EXPECT_EQ(state.pendingRelease.manifest.releaseId, "r7");
    EXPECT_EQ(state.pendingRelease.sourceFolder, releaseDir);
    EXPECT_EQ(state.pendingRelease.filesToFetch.size(), 1u);
    EXPECT_EQ(state.pendingRelease.bytesToFetch, 5u);
}

TEST_F(ReleaseCheckRun, TakesTheLauncherOutOfThePlanWhenTheSelfUpdateDeclines) {
    writeRelease(releaseDir, "r8",
                 {{"Tinderhallow.exe", "newer launcher"}, {"data/Tinderhallow.exe", "not ours"}, {"z.pak", "zulu"}});
    writeTextFile(launcherDir / L"Tinderhallow.exe", "older launcher");
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();

    const LauncherState state = copyLauncherState();
    EXPECT_EQ(state.detail, "2 files ready to install");
    ASSERT_EQ(state.pendingRelease.filesToFetch.size(), 2u);
    EXPECT_EQ(genericPathUtf8(state.pendingRelease.filesToFetch[0].path), "data/Tinderhallow.exe");
    EXPECT_EQ(genericPathUtf8(state.pendingRelease.filesToFetch[1].path), "z.pak");
    EXPECT_EQ(state.pendingRelease.bytesToFetch, 8u + 4u);
    EXPECT_EQ(state.pendingRelease.manifest.files.size(), 3u);
    EXPECT_EQ(readTextFile(launcherDir / L"Tinderhallow.exe"), "older launcher");
}

TEST_F(ReleaseCheckRun, IsReadyWhenOnlyTheLauncherDiffers) {
    writeRelease(releaseDir, "r9", {{"Tinderhallow.exe", "newer launcher"}, {"a.pak", "alpha"}});
    writeTextFile(launcherDir / L"a.pak", "alpha");
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();

    const LauncherView view = snapshot();
    EXPECT_EQ(view.phase, LauncherPhase::Ready);
    EXPECT_EQ(view.title, "Game is ready");
    EXPECT_EQ(view.detail, "Release r9");
    EXPECT_EQ(view.progress, 1.0f);
    EXPECT_EQ(copyLauncherState().pendingRelease.bytesToFetch, 0u);
}

// A correctly signed older release at the same address must not roll the
// game back, whatever kind of source offers it; the same sequence may repair.
TEST_F(ReleaseCheckRun, RefusesAReleaseOlderThanTheInstalledOne) {
    writeRelease(launcherDir, "2024.2", {{"a.pak", "second"}}, "\"releaseSequence\": 7,");
    const std::string refused =
        "The patch source offers release 2024.1, older than the installed release 2024.2. "
        "Nothing was installed.";
    writeRelease(releaseDir, "2024.1", {{"a.pak", "first"}}, "\"releaseSequence\": 6,");
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();
    LauncherView view = snapshot();
    EXPECT_EQ(view.phase, LauncherPhase::Error);
    EXPECT_EQ(view.title, "Older release refused");
    EXPECT_EQ(view.detail, refused);
    EXPECT_EQ(copyLauncherState().pendingRelease.manifest.releaseId, "");

    const std::string served = readTextFile(releaseDir / L"update_manifest.json");
    ScriptedServer server([&](const RecordedRequest&, int) { return ScriptedResponse::ok(served); });
    ASSERT_TRUE(server.listening());
    writeTextFile(launcherDir / L"patch_source.txt", server.url());
    runReleaseCheck();
    view = snapshot();
    EXPECT_EQ(view.title, "Older release refused");
    EXPECT_EQ(view.detail, refused);
    EXPECT_FALSE(fs::exists(launcherDir / L".patch_remote" / L"update_manifest.json"));

    writeRelease(releaseDir, "2024.1", {{"a.pak", "first"}});
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();
    EXPECT_EQ(snapshot().title, "Older release refused");

    writeRelease(releaseDir, "2024.2-repaired", {{"a.pak", "second"}}, "\"releaseSequence\": 7,");
    runReleaseCheck();
    EXPECT_EQ(snapshot().detail, "Release 2024.2-repaired");
    EXPECT_EQ(readTextFile(launcherDir / L"a.pak"), "second");
}

// The floor outlives the installed list: deleted or damaged, it no longer
// tells the check what was installed, and an older release stays refused.
TEST_F(ReleaseCheckRun, KeepsRefusingAnOlderReleaseWhenTheInstalledListIsGoneOrDamaged) {
    writeRelease(launcherDir, "2024.2", {{"a.pak", "second"}}, "\"releaseSequence\": 7,");
    writeRelease(releaseDir, "2024.2", {{"a.pak", "second"}}, "\"releaseSequence\": 7,");
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();
    ASSERT_EQ(snapshot().detail, "Release 2024.2");

    writeRelease(releaseDir, "2024.1", {{"a.pak", "first"}}, "\"releaseSequence\": 6,");
    for (const char* installedList : {"", "{ damaged"}) {
        fs::remove(launcherDir / L"update_manifest.json");
        if (*installedList != '\0') writeTextFile(launcherDir / L"update_manifest.json", installedList);
        runReleaseCheck();
        const LauncherView view = snapshot();
        EXPECT_EQ(view.title, "Older release refused") << installedList;
        EXPECT_EQ(view.detail,
                  "The patch source offers release 2024.1, older than the installed release 2024.2. "
                  "Nothing was installed.");
        EXPECT_EQ(readTextFile(launcherDir / L"a.pak"), "second");
    }
}

// Windows opens the launcher under any letter case and under its 8.3 name:
// the update must neither replace the running file nor remove it.
TEST_F(ReleaseCheckRun, KnowsTheLauncherUnderEverySpellingWindowsAccepts) {
    writeTextFile(launcherDir / L"Tinderhallow.exe", "running launcher");
    writeTextFile(launcherDir / L"old.pak", "old");
    wchar_t shortPath[MAX_PATH];
    const DWORD length = GetShortPathNameW((launcherDir / L"Tinderhallow.exe").c_str(), shortPath, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    const std::string shortName = pathToUtf8(fs::path(shortPath).filename());
    ASSERT_NE(shortName, "Tinderhallow.exe") << "no 8.3 name here";
    writeRelease(launcherDir / L"installed", "r1", {{"TINDERHALLOW.EXE", "running launcher"}, {"old.pak", "old"}});
    fs::copy_file(launcherDir / L"installed" / L"update_manifest.json", launcherDir / L"update_manifest.json");
    writeRelease(releaseDir, "r2", {{"tinderhallow.exe", "newer launcher"}, {"z.pak", "zulu"}});
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    runReleaseCheck();

    const LauncherState state = copyLauncherState();
    EXPECT_EQ(state.detail, "1 files ready to install");
    ASSERT_EQ(state.pendingRelease.filesToFetch.size(), 1u);
    EXPECT_EQ(genericPathUtf8(state.pendingRelease.filesToFetch[0].path), "z.pak");
    EXPECT_EQ(state.pendingRelease.bytesToFetch, 4u);
    ASSERT_EQ(state.pendingRelease.obsoletePaths.size(), 1u);
    EXPECT_EQ(genericPathUtf8(state.pendingRelease.obsoletePaths[0]), "old.pak");

    // The 8.3 name is refused in every manifest.
    writeRelease(releaseDir, "r3", {{shortName, "newer launcher"}, {"z.pak", "zulu"}});
    runReleaseCheck();
    EXPECT_EQ(snapshot().title, "Patch source unavailable");
}

// A second launcher or tool on the folder rewrote the cached release list
// while this check waited for the signature. The check goes on with the
// bytes it fetched and verified; it never reads that file back.
TEST_F(ReleaseCheckRun, VerifiesAndLoadsTheReleaseListItFetchedNotTheFileOnDisk) {
    const fs::path fixtures = sourceDir() / L"tests" / L"delivery" / L"fixtures";
    const std::string signedList = readTextFile(fixtures / L"sample_manifest.json");
    const std::string signature = readTextFile(fixtures / L"sample_manifest.sig");
    const std::string unsignedList = "{\"schemaVersion\": 1, \"releaseId\": \"unsigned\", \"files\": []}";
    const fs::path cachedList = launcherDir / L".patch_remote" / L"update_manifest.json";
    ScriptedServer server(
        [&](const RecordedRequest& request, int) {
            if (request.path == "/update_manifest.json") return ScriptedResponse::ok(signedList);
            if (request.path.rfind("/manifests/", 0) == 0) {
                writeTextFile(cachedList, unsignedList);
                return ScriptedResponse::ok(signature);
            }
            return ScriptedResponse::withStatus(404);
        },
        "127.0.0.2");
    ASSERT_TRUE(server.listening());
    writeTextFile(launcherDir / L"patch_source.txt", server.url());
    runReleaseCheck();

    const LauncherState state = copyLauncherState();
    EXPECT_EQ(state.title, "Update available") << state.detail;
    EXPECT_EQ(state.pendingRelease.manifest.releaseId, "fixture-1");
    EXPECT_EQ(readTextFile(cachedList), signedList);
}

// An installed release whose files were written an hour ago, checked once,
// so that its record ".patch_index" holds every file.
class RecordedInstallation : public ReleaseCheckRun {
protected:
    void SetUp() override {
        ReleaseCheckRun::SetUp();
        writeRelease(releaseDir, "r1", {{"a.pak", "alpha"}, {"b.pak", "bravo"}});
        writeRelease(launcherDir, "r1", {{"a.pak", "alpha"}, {"b.pak", "bravo"}});
        for (const wchar_t* name : {L"a.pak", L"b.pak"}) setLastWriteTime(launcherDir / name, anHourAgo);
        writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
        ASSERT_EQ(checked(), "Release r1");
        ASSERT_TRUE(fs::is_regular_file(record));
    }

    // The detail a check of the folder ends with.
    std::string checked(ReleaseCheckKind kind = ReleaseCheckKind::Quick) {
        runReleaseCheck(kind);
        return snapshot().detail;
    }

    // The paths of the published plan, one line each.
    std::string fetched() {
        const LauncherState state = copyLauncherState();
        std::string paths;
        for (const ManifestFile& file : state.pendingRelease.filesToFetch)
            paths += (paths.empty() ? "" : "\n") + genericPathUtf8(file.path);
        return paths;
    }

    const std::uint64_t anHourAgo = currentFileTime() - 3600ull * 10'000'000;
    const fs::path record = launcherDir / L".patch_index";
};

TEST_F(RecordedInstallation, AStartReadsAgainAFileWhoseLastWriteTimeChanged) {
    overwriteKeepingIdentity(launcherDir / L"a.pak", "ALPHA");
    setLastWriteTime(launcherDir / L"a.pak", anHourAgo + 10'000'000);
    EXPECT_EQ(checked(), "1 files ready to install");
    EXPECT_EQ(fetched(), "a.pak");
}

TEST_F(RecordedInstallation, ADamagedOrForeignRecordIsIgnoredWhole) {
    overwriteKeepingIdentity(launcherDir / L"a.pak", "ALPHA");
    const std::string intact = readTextFile(record);
    // Sound and the folder's own, the record hides such a change: REPAIR is for that.
    ASSERT_EQ(checked(), "Release r1");

    std::string cutShort = intact.substr(0, intact.rfind("end "));
    // A digit of b.pak's time: b.pak alone would merely be read again.
    std::string changedByte = intact;
    const std::size_t bravoTime = intact.find(' ', intact.find(' ', intact.find(" a.pak\n") + 7) + 1) + 1;
    changedByte[bravoTime] = changedByte[bravoTime] == '1' ? '2' : '1';
    for (const auto& [what, bytes] : {std::pair{"cut short", cutShort}, {"one byte changed", changedByte}}) {
        writeTextFile(record, bytes);
        EXPECT_EQ(checked(), "1 files ready to install") << what;
        EXPECT_EQ(fetched(), "a.pak") << what;
    }

    // The same files under another folder, as hard links: only the folder
    // tells this record apart from that folder's own.
    const fs::path other = scratch / L"other";
    fs::create_directories(other);
    for (const wchar_t* name : {L"a.pak", L"b.pak"})
        ASSERT_TRUE(CreateHardLinkW((other / name).c_str(), (launcherDir / name).c_str(), nullptr));
    for (const wchar_t* name : {L"update_manifest.json", L"patch_source.txt"})
        fs::copy_file(launcherDir / name, other / name);
    writeTextFile(other / L".patch_index", intact);
    setLauncherDir(other);
    EXPECT_EQ(checked(), "1 files ready to install") << "record of another folder";
    EXPECT_EQ(fetched(), "a.pak");
}

}  // namespace

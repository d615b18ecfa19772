#include "update/update_worker.h"

#include "base/utf8_paths.h"
#include "delivery/release_check.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(DownloadDetail, RoundsMegabytesLikePrintf) {
    EXPECT_EQ(downloadDetail(1, 3, 1468006, 2726297), "1 of 3 files, 1 of 3 MB");
    EXPECT_EQ(downloadDetail(20, 20, 0, 1), "20 of 20 files, 0 of 0 MB");
    EXPECT_EQ(downloadDetail(2, 5, 3u * 1048576u, 10u * 1048576u), "2 of 5 files, 3 of 10 MB");
}

// Between the release check and the update (while the player logs in) the
// release folder may be republished; the update must still record the
// release whose files it installs.
TEST(UpdateWorker, InstallsTheReleaseListTheReleaseCheckAccepted) {
    ScratchDir dir;
    const auto launcherDir = dir / L"launcher";
    const auto releaseDir = dir / L"release";
    writeRelease(releaseDir, "r1", {{"a.pak", "alpha"}});
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    setLauncherDir(launcherDir);
    runReleaseCheck();
    ASSERT_EQ(snapshot().title, "Update available");
    const std::string accepted = readTextFile(releaseDir / L"update_manifest.json");

    writeRelease(releaseDir, "r2", {{"a.pak", "alpha"}, {"b.pak", "bravo"}});
    runUpdateWorker();
    const LauncherView view = snapshot();
    EXPECT_EQ(view.title, "Game is ready") << view.detail;
    EXPECT_EQ(view.detail, "Release r1");
    EXPECT_EQ(readTextFile(launcherDir / L"update_manifest.json"), accepted);
    EXPECT_EQ(readTextFile(launcherDir / L"a.pak"), "alpha");
}

// Another launcher or the toolkit installing a newer release between the
// check and the update makes the check's plan stale: installing it would roll
// the game back, so a new check decides instead.
TEST(UpdateWorker, ChecksAgainInsteadOfInstallingAPlanMadeBeforeAnotherInstall) {
    ScratchDir dir;
    const auto launcherDir = dir / L"launcher";
    const auto releaseDir = dir / L"release";
    writeRelease(releaseDir, "r1", {{"a.pak", "alpha"}}, "\"releaseSequence\": 1,");
    writeTextFile(launcherDir / L"patch_source.txt", pathToUtf8(releaseDir));
    setLauncherDir(launcherDir);
    runReleaseCheck();
    ASSERT_EQ(snapshot().title, "Update available");

    writeRelease(launcherDir, "r2", {{"a.pak", "newer"}}, "\"releaseSequence\": 2,");
    const std::string installed = readTextFile(launcherDir / L"update_manifest.json");
    runUpdateWorker();
    const LauncherView view = snapshot();
    EXPECT_EQ(view.phase, LauncherPhase::Error) << view.title << ": " << view.detail;
    EXPECT_EQ(readTextFile(launcherDir / L"a.pak"), "newer");
    EXPECT_EQ(readTextFile(launcherDir / L"update_manifest.json"), installed);
}

TEST(PruneDownloadCache, KeepsOnlyTheReleaseListSignatureAndNotes) {
    ScratchDir dir;
    const auto cache = dir / L".patch_remote";
    for (const wchar_t* name : {L"update_manifest.json", L"update_manifest.sig", L"patch_notes.json", L"game.pak",
                                L"data/maps/a.bin", L"x.download"}) {
        writeTextFile(cache / name, "x");
    }
    pruneDownloadCache(cache);
    EXPECT_TRUE(std::filesystem::exists(cache / L"update_manifest.json"));
    EXPECT_TRUE(std::filesystem::exists(cache / L"update_manifest.sig"));
    EXPECT_TRUE(std::filesystem::exists(cache / L"patch_notes.json"));
    EXPECT_FALSE(std::filesystem::exists(cache / L"game.pak"));
    EXPECT_FALSE(std::filesystem::exists(cache / L"data"));
    EXPECT_FALSE(std::filesystem::exists(cache / L"x.download"));
}

TEST(PruneDownloadCache, LeavesAnyOtherFolderAlone) {
    ScratchDir dir;
    writeTextFile(dir / L"release" / L"game.pak", "x");
    writeTextFile(dir / L".patch_remote_old" / L"game.pak", "x");
    pruneDownloadCache(dir / L"release");
    pruneDownloadCache(dir / L".patch_remote_old");
    EXPECT_TRUE(std::filesystem::exists(dir / L"release" / L"game.pak"));
    EXPECT_TRUE(std::filesystem::exists(dir / L".patch_remote_old" / L"game.pak"));
}

}  // namespace

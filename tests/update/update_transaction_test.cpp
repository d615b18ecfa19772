#include "update/update_transaction.h"

#include "base/utf8_paths.h"
#include "tests/support/test_paths.h"
#include "update/install_index.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <utility>

namespace fs = std::filesystem;

namespace {

const std::string invalidReleaseIdMessage =
    "Could not create patch staging folder: The release id is not a valid folder name.";

// A system message: one sentence of its own, no line break, no doubled period.
void expectSystemMessageShape(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '.') << text;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(".."), std::string::npos) << text;
}

struct Report {
    float fraction;
    std::string detail;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
    return out << report.fraction << " " << report.detail;
}

// An installation of release "old" and a source folder holding release "new".
class Transaction : public ::testing::Test {
protected:
    ScratchDir scratch;
    fs::path install = scratch / "install";
    fs::path source = scratch / "source";
    ReleaseManifest manifest;
    UpdatePlan plan;
    std::vector<Report> reports;
    InstallProgressCallback recordProgress = [this](float fraction, const std::string& detail) {
        reports.push_back({fraction, detail});
    };

    void SetUp() override {
        fs::create_directories(install);
        fs::create_directories(source);
        manifest.schemaVersion = 1;
        manifest.releaseId = "new";
        writeTextFile(install / "update_manifest.json", "old manifest");
        writeTextFile(source / "update_manifest.json", "new manifest");
    }

    void installed(const std::string& path, const std::string& bytes) { writeTextFile(install / path, bytes); }

    // A file of the new release, present in the source folder and in the plan.
    void toInstall(const std::string& path, const std::string& bytes) {
        writeTextFile(source / path, bytes);
        listed(path, bytes);
        plan.filesToFetch.push_back(manifest.files.back());
        plan.bytesToFetch += bytes.size();
    }

    // A file of the new release that needs no installing.
    void listed(const std::string& path, const std::string& bytes) {
        manifest.files.push_back(ManifestFile{pathFromUtf8(path), bytes.size(), digestOf(bytes)});
    }

    void obsolete(const std::string& path) { plan.obsoletePaths.push_back(pathFromUtf8(path)); }

    std::string live(const std::string& path) { return readTextFile(install / path); }
    bool exists(const fs::path& path) { return fs::exists(path); }
};

}  // namespace

TEST_F(Transaction, InstallsFilesRemovesObsoleteOnesAndKeepsRollbackCopies) {
    installed("data/changed.pak", "old changed");
    installed("old.pak", "old only");
    installed("kept.pak", "kept");
    toInstall("data/changed.pak", "new changed");
    toInstall("maps/new/fresh.map", "fresh");
    listed("kept.pak", "kept");
    obsolete("old.pak");
    obsolete("gone-already.pak");
    std::string error = "earlier";

    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, recordProgress, &error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(live("data/changed.pak"), "new changed");
    EXPECT_EQ(live("maps/new/fresh.map"), "fresh");
    EXPECT_EQ(live("kept.pak"), "kept");
    EXPECT_FALSE(exists(install / "old.pak"));
    EXPECT_EQ(live("update_manifest.json"), "new manifest");

    EXPECT_EQ(readTextFile(install / ".patch_rollback/data/changed.pak"), "old changed");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/old.pak"), "old only");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/update_manifest.json"), "old manifest");
    EXPECT_FALSE(exists(install / ".patch_rollback/maps/new/fresh.map"));
    EXPECT_FALSE(exists(install / ".patch_rollback/kept.pak"));

    EXPECT_TRUE(exists(install / ".patch_staging"));
    EXPECT_FALSE(exists(install / ".patch_staging/new"));
    EXPECT_FALSE(exists(install / "data/changed.pak.patch_new"));
    EXPECT_EQ(readTextFile(source / "data/changed.pak"), "new changed");
}

TEST_F(Transaction, ReportsStagingAndApplyingStepsOverTwiceTheFilesPlusObsoletePaths) {
    toInstall("a.pak", "a");
    toInstall("dir/b.pak", "b");
    installed("c.pak", "c");
    obsolete("c.pak");

    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, recordProgress));
    const std::vector<Report> expected = {
        {0.0f / 5.0f, "Staging a.pak"},      {1.0f / 5.0f, "Staging dir/b.pak"}, {3.0f / 5.0f, "Applying a.pak"},
        {4.0f / 5.0f, "Applying dir/b.pak"}, {1.0f, "Update complete"},
    };
    EXPECT_EQ(reports, expected);
}

TEST_F(Transaction, EmptyPlanStillReplacesTheInstalledManifest) {
    std::string error;
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, recordProgress, &error)) << error;
    EXPECT_EQ(live("update_manifest.json"), "new manifest");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/update_manifest.json"), "old manifest");
    EXPECT_TRUE(exists(install / ".patch_staging"));
    EXPECT_FALSE(exists(install / ".patch_staging/new"));
    EXPECT_EQ(reports, (std::vector<Report>{{1.0f, "Update complete"}}));
}

TEST_F(Transaction, WorksWithoutInstalledManifestOrProgressCallback) {
    fs::remove(install / "update_manifest.json");
    toInstall("a.pak", "a");
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan));
    EXPECT_EQ(live("a.pak"), "a");
    EXPECT_EQ(live("update_manifest.json"), "new manifest");
    EXPECT_FALSE(exists(install / ".patch_rollback/update_manifest.json"));
}

TEST_F(Transaction, StagedFileWithWrongDigestChangesNothingLive) {
    installed("a.pak", "old a");
    installed("b.pak", "old b");
    toInstall("a.pak", "new a");
    toInstall("b.pak", "new b");
    writeTextFile(source / "b.pak", "NEW b");  // corrupted after publishing
    std::string error;

    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, recordProgress, &error));
    EXPECT_EQ(error, "Hash verification failed: b.pak");
    EXPECT_EQ(live("a.pak"), "old a");
    EXPECT_EQ(live("b.pak"), "old b");
    EXPECT_EQ(live("update_manifest.json"), "old manifest");
    EXPECT_FALSE(exists(install / ".patch_rollback"));
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(Transaction, FileMissingFromSourceFailsBeforeAnythingLiveChanges) {
    installed("a.pak", "old a");
    installed("c.pak", "old c");
    toInstall("a.pak", "new a");
    toInstall("b/missing.pak", "never there");
    fs::remove(source / "b/missing.pak");
    obsolete("c.pak");
    std::string error;

    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, recordProgress, &error));
    const std::string prefix = "Could not copy " + pathToUtf8(source / "b/missing.pak") + ": ";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    expectSystemMessageShape(error.substr(prefix.size()));
    EXPECT_EQ(live("a.pak"), "old a");
    EXPECT_EQ(live("c.pak"), "old c");
    EXPECT_EQ(live("update_manifest.json"), "old manifest");
    EXPECT_FALSE(exists(install / ".patch_staging/new/b/missing.pak"));
}

TEST_F(Transaction, StagingReportsTheFirstFailureInPlanOrder) {
    const std::string big(3 << 20, 'x');
    installed("big1.pak", "old 1");
    installed("big2.pak", "old 2");
    toInstall("big1.pak", big + "1");
    toInstall("big2.pak", big + "2");
    toInstall("big3.pak", big + "3");
    std::string error;

    writeTextFile(source / "big2.pak", big + "?");
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    EXPECT_EQ(error, "Hash verification failed: big2.pak");

    writeTextFile(source / "big1.pak", big + "?");
    fs::remove(source / "big3.pak");
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    EXPECT_EQ(error, "Hash verification failed: big1.pak");

    writeTextFile(source / "big1.pak", big + "1");
    writeTextFile(source / "big2.pak", big + "2");
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    EXPECT_EQ(error.rfind("Could not copy " + pathToUtf8(source / "big3.pak") + ": ", 0), 0u) << error;

    EXPECT_EQ(live("big1.pak"), "old 1");
    EXPECT_EQ(live("big2.pak"), "old 2");
    EXPECT_EQ(live("update_manifest.json"), "old manifest");

    writeTextFile(source / "big3.pak", big + "3");
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;
    EXPECT_EQ(live("big1.pak"), big + "1");
    EXPECT_EQ(live("big3.pak"), big + "3");
}

// Files whose last-write time lies this far back are ones the record takes.
void setAnHourAgo(const fs::path& path) {
    const std::uint64_t ticks = currentFileTime() - 3600ull * 10'000'000;
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const FileHandle file(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &time)) << pathToUtf8(path);
}

// The next start need not read what an update put in place.
TEST_F(Transaction, TheRecordLearnsEveryFilePutInPlaceAndForgetsRemovedOnes) {
    installed("a.pak", "old a");
    installed("kept.pak", "kept");
    installed("old.pak", "old only");
    InstallIndex record;
    for (const char* path : {"a.pak", "kept.pak", "old.pak"}) {
        setAnHourAgo(install / path);
        FileIdentity identity;
        ASSERT_TRUE(readFileIdentity(install / path, identity));
        ASSERT_TRUE(recordFile(record, path, digestOf(live(path)), identity, currentFileTime()));
    }
    ASSERT_TRUE(saveInstallIndex(install, record));
    toInstall("a.pak", "new a");
    toInstall("maps/fresh.map", "fresh");
    listed("kept.pak", "kept");
    obsolete("old.pak");
    setAnHourAgo(source / "a.pak");
    setAnHourAgo(source / "maps/fresh.map");
    std::string error;
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;

    ASSERT_TRUE(loadInstallIndex(install, record));
    EXPECT_EQ(record.files.size(), 3u);
    EXPECT_EQ(record.files.count("old.pak"), 0u);
    for (const auto& [path, bytes] : {std::pair{"a.pak", "new a"}, {"maps/fresh.map", "fresh"}, {"kept.pak", "kept"}}) {
        FileIdentity identity;
        ASSERT_TRUE(readFileIdentity(install / path, identity));
        const IndexedFile* entry = unchangedEntry(record, path, identity);
        ASSERT_NE(entry, nullptr) << path;
        EXPECT_EQ(entry->sha256, digestOf(bytes)) << path;
    }
}

TEST_F(Transaction, StaleStagedFilesAreClearedFirst) {
    writeTextFile(install / ".patch_staging/new/stale.pak", "stale");
    writeTextFile(install / ".patch_staging/other/keep.pak", "other release");
    toInstall("a.pak", "a");
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan));
    EXPECT_FALSE(exists(install / ".patch_staging/new"));
    EXPECT_EQ(readTextFile(install / ".patch_staging/other/keep.pak"), "other release");
}

// The staging folder of a release is removed with everything in it; each id
// here would reach outside ".patch_staging" (".." is the install folder).
// Without the check the damage stays inside the test's scratch folder.
TEST_F(Transaction, ReleaseIdThatIsNotOnePlainFolderNameChangesNothing) {
    installed("a.pak", "old a");
    writeTextFile(install / ".patch_staging/keep.pak", "staging sibling");
    writeTextFile(install / ".patch_rollback/previous.pak", "earlier rollback");
    toInstall("a.pak", "new a");
    for (const char* id : {"..", ".", "...", "a/b", "a\\..\\..", "../..", "", "trailing ", "a\tb"}) {
        SCOPED_TRACE(id);
        manifest.releaseId = id;
        std::string error;
        EXPECT_FALSE(applyUpdate(install, source, manifest, plan, recordProgress, &error));
        EXPECT_EQ(error, invalidReleaseIdMessage);
        EXPECT_EQ(live("a.pak"), "old a");
        EXPECT_EQ(live("update_manifest.json"), "old manifest");
        EXPECT_EQ(readTextFile(install / ".patch_staging/keep.pak"), "staging sibling");
        EXPECT_EQ(readTextFile(install / ".patch_rollback/previous.pak"), "earlier rollback");
        EXPECT_EQ(readTextFile(source / "a.pak"), "new a");
    }
    EXPECT_TRUE(reports.empty());
}

// Ids with a drive or a root would name the drive's root or current folder,
// device names a device; they are
// only tried once the check has shown to be in place, so that a build without
// it cannot clear a drive.
TEST_F(Transaction, RootedOrDeviceReleaseIdIsRefused) {
    installed("a.pak", "old a");
    toInstall("a.pak", "new a");
    manifest.releaseId = "..";
    std::string error;
    ASSERT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    ASSERT_EQ(error, invalidReleaseIdMessage);
    for (const char* id : {"/", "\\", "\\root", "C:", "C:x", "C:\\", "C:/x", "NUL", "con.txt", "Com1", "lpt9.log"}) {
        SCOPED_TRACE(id);
        manifest.releaseId = id;
        EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
        EXPECT_EQ(error, invalidReleaseIdMessage);
        EXPECT_EQ(live("a.pak"), "old a");
    }
}

TEST_F(Transaction, ReleaseIdWithDotsAndSpacesInsideIsAFolderName) {
    toInstall("a.pak", "a");
    manifest.releaseId = "Season 2.1.0 \xc3\xa9";
    std::string error;
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;
    EXPECT_EQ(live("a.pak"), "a");
}

TEST_F(Transaction, StagingFolderThatCannotBeCreatedFails) {
    writeTextFile(install / ".patch_staging", "a file in the way");
    toInstall("a.pak", "a");
    std::string error;
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    const std::string prefix = "Could not create patch staging folder: ";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    expectSystemMessageShape(error.substr(prefix.size()));
}

TEST_F(Transaction, ObsoletePathNamingANewFileInOtherLetterCaseKeepsTheNewFile) {
    installed("Data/x.pak", "old x");
    installed("Data/y.pak", "same y");
    toInstall("data/x.pak", "new x");
    listed("data/Y.PAK", "same y");  // already current under the old spelling
    obsolete("Data/x.pak");
    obsolete("Data/y.pak");
    std::string error;

    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;
    EXPECT_EQ(live("data/x.pak"), "new x");
    EXPECT_EQ(live("data/Y.PAK"), "same y");
}

TEST_F(Transaction, TargetHeldWithoutDeleteSharingIsRestoredWithEverythingBeforeIt) {
    installed("a.pak", "old a");
    installed("c.pak", "old c");
    installed("d.pak", "old d");
    toInstall("a.pak", "new a");
    toInstall("b/fresh.pak", "new b");
    toInstall("c.pak", "new c");
    toInstall("d.pak", "new d");
    obsolete("d-gone.pak");
    std::string error;
    {
        const FileHandle game = holdOpen(install / "c.pak", FILE_SHARE_READ);
        ASSERT_TRUE(game);
        EXPECT_FALSE(applyUpdate(install, source, manifest, plan, recordProgress, &error));
    }
    const std::string prefix = "Could not replace " + pathToUtf8(install / "c.pak") + " (Windows error ";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_TRUE(std::regex_match(error.substr(prefix.size()), std::regex("[0-9]+\\)\\. Close the game and retry\\.")))
        << error;
    EXPECT_EQ(live("a.pak"), "old a");
    EXPECT_FALSE(exists(install / "b/fresh.pak"));
    EXPECT_EQ(live("c.pak"), "old c");
    EXPECT_EQ(live("d.pak"), "old d");
    EXPECT_FALSE(exists(install / "c.pak.patch_new"));
    EXPECT_EQ(live("update_manifest.json"), "old manifest");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/a.pak"), "old a");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/c.pak"), "old c");
    EXPECT_EQ(reports.back(), (Report{6.0f / 9.0f, "Applying b/fresh.pak"}));
}

// A failure after the first change once left files of both releases in
// place: at a backup copy, at an obsolete file, at the installed manifest.
TEST_F(Transaction, FailureAfterTheFirstChangeUndoesEveryTouchedFile) {
    toInstall("a.pak", "new a");
    toInstall("b/fresh.pak", "new b");
    toInstall("c.pak", "new c");
    obsolete("gone.pak");
    auto reset = [&] {
        installed("a.pak", "old a");
        installed("c.pak", "old c");
        installed("gone.pak", "old gone");
        fs::remove_all(install / "b");
    };
    auto expectOldRelease = [&] {
        EXPECT_EQ(live("a.pak"), "old a");
        EXPECT_FALSE(exists(install / "b"));
        EXPECT_EQ(live("c.pak"), "old c");
        EXPECT_EQ(live("gone.pak"), "old gone");
        EXPECT_EQ(live("update_manifest.json"), "old manifest");
    };
    auto expectCopyFailure = [](const std::string& error, const fs::path& path) {
        const std::string prefix = "Could not copy " + pathToUtf8(path) + ": ";
        ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
        expectSystemMessageShape(error.substr(prefix.size()));
    };
    // The update, run while a program holds `held` open with `shareMode`.
    auto failWhileHeld = [&](const char* held, DWORD shareMode) {
        reset();
        std::string error;
        const FileHandle game = holdOpen(install / held, shareMode);
        EXPECT_TRUE(game);
        EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
        return error;
    };
    {
        SCOPED_TRACE("backup copy of a file to replace");
        expectCopyFailure(failWhileHeld("c.pak", 0), install / "c.pak");
        expectOldRelease();
    }
    {
        SCOPED_TRACE("backup copy of an obsolete file");
        expectCopyFailure(failWhileHeld("gone.pak", 0), install / "gone.pak");
        expectOldRelease();
    }
    {
        SCOPED_TRACE("removal of an obsolete file");
        EXPECT_EQ(failWhileHeld("gone.pak", FILE_SHARE_READ), "Could not remove obsolete file: gone.pak");
        expectOldRelease();
    }
    {
        SCOPED_TRACE("replacement of the installed manifest");
        const std::string error = failWhileHeld("update_manifest.json", FILE_SHARE_READ);
        EXPECT_EQ(
            error.rfind("Could not replace " + pathToUtf8(install / "update_manifest.json") + " (Windows error ", 0),
            0u)
            << error;
        expectOldRelease();
    }

    // An undo that cannot restore a file.
    reset();
    std::string error;
    {
        const FileHandle game = holdOpen(install / "c.pak", 0);
        FileHandle viewer;  // opens a.pak once the update has replaced it
        const InstallProgressCallback holdA = [&](float, const std::string& detail) {
            if (detail == "Applying a.pak") viewer = holdOpen(install / "a.pak", FILE_SHARE_READ);
        };
        EXPECT_FALSE(applyUpdate(install, source, manifest, plan, holdA, &error));
        ASSERT_TRUE(viewer);
    }
    const std::string suffix = " The update could not be undone for a.pak; press REPAIR.";
    ASSERT_GT(error.size(), suffix.size());
    EXPECT_EQ(error.substr(error.size() - suffix.size()), suffix);
    expectCopyFailure(error.substr(0, error.size() - suffix.size()), install / "c.pak");
    EXPECT_EQ(live("a.pak"), "new a");
    EXPECT_FALSE(exists(install / "b"));
    EXPECT_EQ(live("update_manifest.json"), "old manifest");
}

// A release that turns a folder into a file, or a file into a folder, once
// failed every retry at the same path.
TEST_F(Transaction, ObsoleteFilesInTheWayOfANewFileAreMovedOutAndComeBackOnUndo) {
    installed("maps/m", "old m");
    installed("data/x/a.pak", "old a");
    installed("data/x/sub/b.pak", "old b");
    installed("z.pak", "old z");
    toInstall("maps/m/level.pak", "new level");  // a file became a folder
    toInstall("data/x", "new x");                // a folder became a file
    toInstall("z.pak", "new z");
    toInstall("extra/e.pak", "new e");
    obsolete("maps/m");
    obsolete("data/x/a.pak");
    obsolete("data/x/sub/b.pak");
    auto expectOldRelease = [&] {
        EXPECT_EQ(live("maps/m"), "old m");
        EXPECT_EQ(live("data/x/a.pak"), "old a");
        EXPECT_EQ(live("data/x/sub/b.pak"), "old b");
        EXPECT_EQ(live("z.pak"), "old z");
        EXPECT_EQ(live("update_manifest.json"), "old manifest");
    };
    std::string error;

    // Files that no manifest lists are never removed to make room.
    installed("data/x/sub/notes.txt", "the player's");
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    EXPECT_EQ(error, "Could not replace " + pathToUtf8(install / "data\\x") + ": the folder in its place holds " +
                         pathToUtf8(install / "data\\x\\sub\\notes.txt") +
                         ", which is not part of the game. Move that file elsewhere and retry.");
    expectOldRelease();
    EXPECT_EQ(live("data/x/sub/notes.txt"), "the player's");
    fs::remove(install / "data/x/sub/notes.txt");

    installed("extra", "the player's");
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    EXPECT_EQ(error, "Could not create folder " + pathToUtf8(install / "extra") +
                         ": a file that is not part of the game is in its place. Move that file elsewhere and retry.");
    expectOldRelease();
    EXPECT_EQ(live("extra"), "the player's");
    fs::remove(install / "extra");

    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;
    EXPECT_EQ(live("maps/m/level.pak"), "new level");
    EXPECT_EQ(live("data/x"), "new x");
    EXPECT_EQ(live("z.pak"), "new z");
    EXPECT_EQ(live("extra/e.pak"), "new e");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/maps/m"), "old m");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/data/x/a.pak"), "old a");
    EXPECT_EQ(readTextFile(install / ".patch_rollback/data/x/sub/b.pak"), "old b");
}

TEST(CopyFileCreatingFolders, CreatesFoldersAndOverwrites) {
    ScratchDir dir;
    writeTextFile(dir / "from.bin", "new");
    writeTextFile(dir / "to/deep/er/file.bin", "old and longer");
    std::string error = "earlier";
    ASSERT_TRUE(copyFileCreatingFolders(dir / "from.bin", dir / "to/deep/er/file.bin", &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(readTextFile(dir / "to/deep/er/file.bin"), "new");
    ASSERT_TRUE(copyFileCreatingFolders(dir / "from.bin", dir / "x/y/z.bin"));
    EXPECT_EQ(readTextFile(dir / "x/y/z.bin"), "new");
}

TEST(CopyFileCreatingFolders, ReportsTheSourceAndTheSystemMessage) {
    ScratchDir dir;
    const fs::path missing = dir / "no such \xc3\xa9.bin";
    std::string error;
    EXPECT_FALSE(copyFileCreatingFolders(missing, dir / "to.bin", &error));
    const std::string prefix = "Could not copy " + pathToUtf8(missing) + ": ";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    expectSystemMessageShape(error.substr(prefix.size()));

    writeTextFile(dir / "from.bin", "x");
    writeTextFile(dir / "blocker", "a file where a folder belongs");
    EXPECT_FALSE(copyFileCreatingFolders(dir / "from.bin", dir / "blocker/sub/to.bin", &error));
    const std::string folderPrefix = "Could not copy " + pathToUtf8(dir / "from.bin") + ": ";
    ASSERT_EQ(error.rfind(folderPrefix, 0), 0u) << error;
    expectSystemMessageShape(error.substr(folderPrefix.size()));
}

TEST(FileReplacement, ReplacesTheTargetThroughATemporaryCopy) {
    ScratchDir dir;
    writeTextFile(dir / "new.bin", "new");
    writeTextFile(dir / "game.pak", "old");
    std::string error = "earlier";
    ASSERT_TRUE(replaceFile(dir / "new.bin", dir / "game.pak", &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(readTextFile(dir / "game.pak"), "new");
    EXPECT_EQ(readTextFile(dir / "new.bin"), "new");
    EXPECT_FALSE(fs::exists(dir / "game.pak.patch_new"));
    ASSERT_TRUE(replaceFile(dir / "new.bin", dir / "sub/created.pak"));
    EXPECT_EQ(readTextFile(dir / "sub/created.pak"), "new");
}

TEST(FileReplacement, HeldTargetFailsAndLeavesNoTemporaryFile) {
    ScratchDir dir;
    writeTextFile(dir / "new.bin", "new");
    writeTextFile(dir / "game.pak", "old");
    std::string error;
    {
        const FileHandle game = holdOpen(dir / "game.pak", FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(game);
        EXPECT_FALSE(replaceFile(dir / "new.bin", dir / "game.pak", &error));
    }
    EXPECT_TRUE(std::regex_match(error, std::regex("Could not replace .*game\\.pak \\(Windows error [0-9]+\\)\\. "
                                                   "Close the game and retry\\.")))
        << error;
    EXPECT_EQ(error.find(pathToUtf8(dir / "game.pak")), std::string("Could not replace ").size());
    EXPECT_EQ(readTextFile(dir / "game.pak"), "old");
    EXPECT_EQ(readTextFile(dir / "new.bin"), "new");
    EXPECT_FALSE(fs::exists(dir / "game.pak.patch_new"));
}

TEST(FileReplacement, MissingSourceLeavesNoTemporaryFile) {
    ScratchDir dir;
    writeTextFile(dir / "game.pak", "old");
    writeTextFile(dir / "game.pak.patch_new", "left by an interrupted update");
    std::string error;
    EXPECT_FALSE(replaceFile(dir / "missing.bin", dir / "game.pak", &error));
    EXPECT_EQ(error.rfind("Could not copy " + pathToUtf8(dir / "missing.bin") + ": ", 0), 0u) << error;
    EXPECT_EQ(readTextFile(dir / "game.pak"), "old");
    EXPECT_FALSE(fs::exists(dir / "game.pak.patch_new"));
}

namespace {

bool isReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void setReadOnly(const fs::path& path, bool readOnly) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL));
}

}  // namespace

// A release folder on a share or a disc often holds read-only files. Copies
// that kept the flag stayed in staging (a full copy of the release each
// time), and on Windows blocked the retry's staging and every later
// replacement of the installed files.
TEST_F(Transaction, ReadOnlySourceFilesInstallAsOrdinaryFilesAndLeaveNoStagedCopies) {
    installed("a.pak", "old a");
    installed("c.pak", "old c");
    toInstall("a.pak", "new a");
    toInstall("b/fresh.pak", "fresh");
    toInstall("c.pak", "new c");
    for (const char* path : {"a.pak", "b/fresh.pak", "c.pak", "update_manifest.json"}) setReadOnly(source / path, true);
    std::string error;
    {
        const FileHandle game = holdOpen(install / "c.pak", FILE_SHARE_READ);
        ASSERT_TRUE(game);
        ASSERT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    }
    EXPECT_EQ(error.rfind("Could not replace ", 0), 0u) << error;

    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;
    EXPECT_EQ(live("a.pak"), "new a");
    EXPECT_EQ(live("c.pak"), "new c");
    for (const char* path : {"a.pak", "b/fresh.pak", "c.pak", "update_manifest.json", ".patch_rollback/a.pak",
                             ".patch_rollback/update_manifest.json"}) {
        EXPECT_FALSE(isReadOnly(install / path)) << path;
    }
    EXPECT_FALSE(exists(install / ".patch_staging/new"));

    for (const char* path : {"a.pak", "b/fresh.pak", "c.pak", "update_manifest.json"})
        setReadOnly(source / path, false);
}

// The rollback folder is cleared at the start, but a copy another program
// holds open survives that. The undo must go by what this update backed up:
// a file that did not exist before is removed, not replaced by that copy.
TEST_F(Transaction, UndoRemovesANewFileEvenWhenAnEarlierRollbackCopyOfItRemains) {
    writeTextFile(install / ".patch_rollback/fresh.pak", "from an earlier update");
    installed("c.pak", "old c");
    toInstall("fresh.pak", "new fresh");
    toInstall("c.pak", "new c");
    std::string error;
    {
        const FileHandle viewer = holdOpen(install / ".patch_rollback/fresh.pak", FILE_SHARE_READ);
        const FileHandle game = holdOpen(install / "c.pak", FILE_SHARE_READ);
        ASSERT_TRUE(viewer);
        ASSERT_TRUE(game);
        EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error));
    }
    EXPECT_EQ(error.rfind("Could not replace " + pathToUtf8(install / "c.pak"), 0), 0u) << error;
    EXPECT_FALSE(exists(install / "fresh.pak"));
    EXPECT_EQ(live("c.pak"), "old c");
    EXPECT_EQ(live("update_manifest.json"), "old manifest");
}

// Windows refuses to rename onto or delete a read-only file, so a flag set by
// the player or an antivirus program failed every update.
TEST_F(Transaction, ReadOnlyInstalledFilesAreReplacedAndRemoved) {
    ScratchDir dir;
    writeTextFile(dir / "flagged.bin", "x");
    ASSERT_TRUE(SetFileAttributesW((dir / "flagged.bin").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(clearReadOnly(dir / "flagged.bin"));
    EXPECT_EQ(GetFileAttributesW((dir / "flagged.bin").c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              DWORD{FILE_ATTRIBUTE_HIDDEN});
    EXPECT_TRUE(clearReadOnly(dir / "missing.bin"));

    installed("a.pak", "old a");
    installed("gone.pak", "old gone");
    toInstall("a.pak", "new a");
    obsolete("gone.pak");
    setReadOnly(install / "a.pak", true);
    setReadOnly(install / "gone.pak", true);
    std::string error;
    ASSERT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error)) << error;
    EXPECT_EQ(live("a.pak"), "new a");
    EXPECT_FALSE(isReadOnly(install / "a.pak"));
    EXPECT_FALSE(exists(install / "gone.pak"));
    EXPECT_EQ(readTextFile(install / ".patch_rollback/gone.pak"), "old gone");
    SetFileAttributesW((install / "gone.pak").c_str(), FILE_ATTRIBUTE_NORMAL);  // lets a failed run's folder go
}

// The estimate follows the update: staging and the placed new files both stay
// until the end, an obsolete file's backup is freed by its removal, and the
// previous rollback copies are cleared before any backup.
TEST_F(Transaction, DiskSpaceNeedIsTheUpdatesHighPointOnTheInstallVolume) {
    installed("a.pak", std::string(10000, 'a'));                                     // 3 clusters of 4 KiB
    installed("c.pak", std::string(30000, 'c'));                                     // 8
    writeTextFile(install / ".patch_rollback/earlier.pak", std::string(8000, 'e'));  // 2
    toInstall("a.pak", std::string(5000, 'A'));                                      // 2
    toInstall("b.pak", std::string(20000, 'b'));                                     // 5
    obsolete("c.pak");
    // Staged 7 clusters; -2 earlier rollback; +1 manifest backup; a.pak: +3
    // backup +2 temporary -3 replaced; b.pak: +5; c.pak: +8 until removed.
    EXPECT_EQ(updateSpaceNeeded(install, source, plan), (7 - 2 + 1 + 2 + 5 + 8) * 4096u);

    std::string error = "earlier";
    EXPECT_TRUE(checkDiskSpace(install, 86016, 86016, &error));
    EXPECT_EQ(error, "");
    const std::string drive = pathToUtf8(install).substr(0, 2);
    ASSERT_EQ(drive[1], ':');
    EXPECT_FALSE(checkDiskSpace(install, 86016, 86015, &error));
    EXPECT_EQ(error, "Not enough disk space: the update needs 1 MB more on " + drive + ".");
    EXPECT_FALSE(checkDiskSpace(install, (5u << 20) + 1, 0, &error));
    EXPECT_EQ(error, "Not enough disk space: the update needs 6 MB more on " + drive + ".");

    plan.filesToFetch.back().size = std::uint64_t{1} << 50;  // more than any disk here holds
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, recordProgress, &error));
    EXPECT_TRUE(std::regex_match(
        error, std::regex("Not enough disk space: the update needs [0-9]+ MB more on " + drive + "\\.")))
        << error;
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(live("a.pak") == std::string(10000, 'a'));
}

// A downloaded file is hashed as it arrives; staging trusts that digest only
// while the file keeps the size, time and number it had then.
TEST_F(Transaction, AStagedFileIsTrustedOnlyWithTheIdentityItArrivedWith) {
    installed("a.pak", "old a");
    toInstall("a.pak", "new a");
    ArrivedFiles arrived(1);
    arrived[0].emplace();
    ASSERT_TRUE(readFileIdentity(source / "a.pak", *arrived[0]));
    std::string error;

    // Changed behind the launcher's back with its size kept: a new time.
    writeTextFile(source / "a.pak", "NEW a");
    setLastWriteTime(source / "a.pak", arrived[0]->lastWriteTime + 10'000'000);
    EXPECT_FALSE(applyUpdate(install, source, manifest, plan, {}, &error, nullptr, &arrived));
    EXPECT_EQ(error, "Hash verification failed: a.pak");
    EXPECT_EQ(live("a.pak"), "old a");

    // The same file with its arrival identity is not read again: a change no
    // identity shows goes in unseen (REPAIR reads every file).
    writeTextFile(source / "a.pak", "new a");
    ASSERT_TRUE(readFileIdentity(source / "a.pak", *arrived[0]));
    overwriteKeepingIdentity(source / "a.pak", "NEW a");
    EXPECT_TRUE(applyUpdate(install, source, manifest, plan, {}, &error, nullptr, &arrived)) << error;
    EXPECT_EQ(live("a.pak"), "NEW a");
}

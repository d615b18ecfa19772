#include "startup/self_update.h"

#include "base/product.h"
#include "base/utf8_paths.h"
#include "startup/install_location.h"
#include "startup/launcher_file.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

// A self-update only happens in a program that runs as
// <launcherDir>\Tinderhallow.exe, so the swap cases copy this test program
// there and run it as a child (TINDERHALLOW_TEST_CHILD names its job file).
// The "new launcher" that the child starts is this program again, with a few
// bytes appended; it only notes that it ran and exits.

namespace {

std::optional<std::wstring> environment(const wchar_t* name) {
    wchar_t buffer[2048];
    const DWORD count = GetEnvironmentVariableW(name, buffer, 2048);
    if (count == 0 || count >= 2048) return std::nullopt;
    return std::wstring(buffer, count);
}

std::map<std::string, std::string> readKeyValues(const fs::path& path) {
    std::map<std::string, std::string> values;
    std::istringstream in(readTextFile(path));
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

void writeKeyValues(const fs::path& path, const std::map<std::string, std::string>& values) {
    std::string text;
    for (const auto& [key, value] : values) text += key + "=" + value + "\n";
    writeTextFile(path, text);
}

// Child side: runs the self-update the job file describes, as the installed
// launcher, and reports what it saw.
void runChildJob(const fs::path& jobFile) {
    auto job = readKeyValues(jobFile);
    setLauncherDir(moduleDirectory());
    SetEnvironmentVariableW(L"TINDERHALLOW_TEST_STARTED_MARKER", utf8ToWide(job["marker"]).c_str());

    ManifestFile entry;
    entry.path = pathFromUtf8(kLauncherExeName);
    entry.size = std::stoull(job["size"]);
    entry.sha256 = job["sha256"];
    const bool replaced = selfUpdateLauncher(job["source"], pathFromUtf8(job["releaseFolder"]), entry);

    const bool closeRequested = windowCloseRequested();
    const LauncherView view = snapshot();
    writeKeyValues(pathFromUtf8(job["result"]), {{"replaced", replaced ? "1" : "0"},
                                                 {"closeRequested", closeRequested ? "1" : "0"},
                                                 {"title", view.title},
                                                 {"detail", view.detail},
                                                 {"progress", std::to_string(view.progress)}});
}

// Runs before main() so neither role ever reaches the test runner.
const bool childRoleDone = [] {
    if (auto marker = environment(L"TINDERHALLOW_TEST_STARTED_MARKER")) {
        writeTextFile(fs::path(*marker), wideToUtf8(moduleFilePath().wstring()));
        ExitProcess(0);
    }
    if (auto job = environment(L"TINDERHALLOW_TEST_CHILD")) {
        runChildJob(fs::path(*job));
        ExitProcess(0);
    }
    return false;
}();

std::string fileBytes(const fs::path& path) { return readTextFile(path); }

// An install folder holding a copy of this program as Tinderhallow.exe and a
// release folder holding a newer "launcher" (the same program, bytes added).
class LauncherSwap : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(installDir);
        fs::create_directories(releaseDir);
        oldBytes = fileBytes(moduleFilePath());
        newBytes = oldBytes + "newer launcher build";
        writeTextFile(target, oldBytes);
        writeTextFile(releaseCopy, newBytes);
        ASSERT_TRUE(hashFile(releaseCopy, newDigest));
    }

    void TearDown() override {
        // A started launcher may still hold its file for a moment.
        if (!fs::exists(marker)) return;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::error_code ec;
            fs::remove(target, ec);
            if (!ec) break;
            Sleep(100);
        }
    }

    // Runs the installed copy as a child on the job and returns its report.
    // `started` is the path the child is started by (default: the target).
    std::map<std::string, std::string> runInstalledLauncher(const std::string& digest, std::string source = {},
                                                            fs::path started = {}) {
        if (source.empty()) source = pathToUtf8(releaseDir);
        if (started.empty()) started = target;
        writeKeyValues(jobFile, {{"source", source},
                                 {"releaseFolder", pathToUtf8(releaseDir)},
                                 {"size", std::to_string(newBytes.size())},
                                 {"sha256", digest},
                                 {"marker", pathToUtf8(marker)},
                                 {"result", pathToUtf8(resultFile)}});
        SetEnvironmentVariableW(L"TINDERHALLOW_TEST_CHILD", jobFile.c_str());
        std::wstring commandLine = L"\"" + started.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const BOOL created = CreateProcessW(started.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                            installDir.c_str(), &startup, &process);
        SetEnvironmentVariableW(L"TINDERHALLOW_TEST_CHILD", nullptr);
        if (!created) return {};
        WaitForSingleObject(process.hProcess, 60000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return readKeyValues(resultFile);
    }

    // The started launcher writes the marker; give it time to start.
    std::string waitForMarker() {
        for (int attempt = 0; attempt < 300 && !fs::exists(marker); ++attempt) Sleep(100);
        Sleep(200);
        return readTextFile(marker);
    }

    ScratchDir scratch;
    fs::path installDir = scratch / L"install";
    fs::path releaseDir = scratch / L"release";
    fs::path target = installDir / L"Tinderhallow.exe";
    fs::path releaseCopy = releaseDir / L"Tinderhallow.exe";
    fs::path jobFile = scratch / L"job.txt";
    fs::path resultFile = scratch / L"result.txt";
    fs::path marker = scratch / L"started.txt";
    std::string oldBytes;
    std::string newBytes;
    std::string newDigest;
};

TEST(SelfUpdateLauncher, DeclinesInAProgramWithAnotherFileName) {
    ScratchDir scratch;
    writeTextFile(scratch / L"Tinderhallow.exe", "installed launcher");
    writeTextFile(scratch / L"release" / L"Tinderhallow.exe", "newer launcher");
    setLauncherDir(scratch.path());
    setStatus(LauncherPhase::Checking, "Checking installed files", "Comparing release manifests", 0.08f);

    ManifestFile entry;
    entry.path = L"Tinderhallow.exe";
    entry.size = 14;
    ASSERT_TRUE(hashFile(scratch / L"release" / L"Tinderhallow.exe", entry.sha256));
    EXPECT_FALSE(selfUpdateLauncher(pathToUtf8(scratch / L"release"), scratch / L"release", entry));

    const LauncherView view = snapshot();
    EXPECT_EQ(view.title, "Checking installed files");
    EXPECT_EQ(view.detail, "Comparing release manifests");
    EXPECT_EQ(readTextFile(scratch / L"Tinderhallow.exe"), "installed launcher");
    EXPECT_FALSE(fs::exists(scratch / L"Tinderhallow.exe.new"));
    EXPECT_FALSE(fs::exists(scratch / L"Tinderhallow.exe.old"));
}

TEST_F(LauncherSwap, PutsTheNewLauncherInPlaceKeepsTheOldOneAndStartsTheNewOne) {
    auto report = runInstalledLauncher(newDigest);
    EXPECT_EQ(report["replaced"], "1");
    EXPECT_EQ(report["closeRequested"], "1");
    EXPECT_EQ(report["title"], "Updating the launcher");
    EXPECT_EQ(report["detail"], "A newer launcher is available");
    EXPECT_TRUE(sameDirectory(pathFromUtf8(waitForMarker()), target));
    EXPECT_TRUE(fileBytes(target) == newBytes);
    EXPECT_TRUE(fileBytes(installDir / L"Tinderhallow.exe.old") == oldBytes);
    EXPECT_FALSE(fs::exists(installDir / L"Tinderhallow.exe.new"));
    // Other installations take their launcher from the same release folder.
    EXPECT_TRUE(fileBytes(releaseCopy) == newBytes);
}

// Windows runs the same file when it is started as TINDERHALLOW.EXE.
TEST_F(LauncherSwap, ReplacesItselfWhenStartedUnderAnotherLetterCase) {
    auto report = runInstalledLauncher(newDigest, {}, installDir / L"TINDERHALLOW.EXE");
    EXPECT_EQ(report["replaced"], "1");
    EXPECT_EQ(report["closeRequested"], "1");
    EXPECT_TRUE(sameDirectory(pathFromUtf8(waitForMarker()), target));
    EXPECT_TRUE(fileBytes(target) == newBytes);
}

TEST_F(LauncherSwap, LeavesEverythingUntouchedWhenTheHashDiffers) {
    std::string wrong = newDigest;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    auto report = runInstalledLauncher(wrong);
    EXPECT_EQ(report["replaced"], "0");
    EXPECT_EQ(report["closeRequested"], "0");
    EXPECT_TRUE(fileBytes(target) == oldBytes);
    EXPECT_FALSE(fs::exists(installDir / L"Tinderhallow.exe.new"));
    EXPECT_FALSE(fs::exists(installDir / L"Tinderhallow.exe.old"));
    EXPECT_TRUE(fileBytes(releaseCopy) == newBytes);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(LauncherSwap, DownloadsNoLauncherOfAnotherSizeThanTheReleaseLists) {
    const std::string served = newBytes + "and more";
    ScriptedServer server([&](const RecordedRequest&, int) { return ScriptedResponse::ok(served); });
    std::error_code ec;
    fs::remove(releaseCopy, ec);  // the release folder is now the download cache
    auto report = runInstalledLauncher(newDigest, server.url());
    EXPECT_EQ(report["replaced"], "0");
    EXPECT_EQ(server.requestCount(), 3);
    EXPECT_FALSE(fs::exists(releaseCopy));
    EXPECT_FALSE(fs::exists(releaseDir / L"Tinderhallow.exe.download"));
    EXPECT_TRUE(fileBytes(target) == oldBytes);
    EXPECT_FALSE(fs::exists(installDir / L"Tinderhallow.exe.new"));
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(LauncherSwap, DeletesTheCopyWhenTheRunningLauncherCannotBeMovedAside) {
    const FileHandle hold = holdOpen(target, FILE_SHARE_READ | FILE_SHARE_WRITE);  // no delete sharing
    ASSERT_TRUE(hold);
    auto report = runInstalledLauncher(newDigest);
    EXPECT_EQ(report["replaced"], "0");
    EXPECT_TRUE(fileBytes(target) == oldBytes);
    EXPECT_FALSE(fs::exists(installDir / L"Tinderhallow.exe.new"));
    EXPECT_FALSE(fs::exists(installDir / L"Tinderhallow.exe.old"));
    EXPECT_FALSE(fs::exists(marker));
}

// Nothing on one volume lets the copy write Tinderhallow.exe.new and then
// refuses to rename it, so the new file is put on another Unix file system
// (a rename never crosses devices).
TEST(SwapLauncherFile, MovesTheOldLauncherBackWhenTheNewOneCannotTakeItsPlace) {
    ScratchDir scratch;
    const fs::path otherDevice = fs::path(L"Z:\\dev\\shm") / scratch.path().filename();
    std::error_code ec;
    fs::create_directories(otherDevice, ec);
    writeTextFile(otherDevice / L"probe", "x");
    const bool crossesDevices = !MoveFileExW((otherDevice / L"probe").c_str(), (scratch / L"probe").c_str(), 0) &&
                                GetLastError() == ERROR_NOT_SAME_DEVICE;
    if (!crossesDevices) {
        fs::remove_all(otherDevice, ec);
        GTEST_SKIP() << "no second file system at /dev/shm";
    }

    writeTextFile(scratch / L"release" / L"Tinderhallow.exe", "newer launcher");
    writeTextFile(scratch / L"Tinderhallow.exe", "running launcher");
    const fs::path newFile = otherDevice / L"Tinderhallow.exe.new";
    EXPECT_FALSE(swapLauncherFile(scratch / L"release" / L"Tinderhallow.exe", scratch / L"Tinderhallow.exe", newFile,
                                  scratch / L"Tinderhallow.exe.old"));
    EXPECT_EQ(readTextFile(scratch / L"Tinderhallow.exe"), "running launcher");
    EXPECT_FALSE(fs::exists(scratch / L"Tinderhallow.exe.old"));
    EXPECT_EQ(readTextFile(scratch / L"release" / L"Tinderhallow.exe"), "newer launcher");
    EXPECT_EQ(readTextFile(newFile), "newer launcher");
    fs::remove_all(otherDevice, ec);
}

TEST(SwapLauncherFile, ReplacesAnEarlierLeftoverOldFile) {
    ScratchDir scratch;
    writeTextFile(scratch / L"release" / L"Tinderhallow.exe", "newer launcher");
    writeTextFile(scratch / L"Tinderhallow.exe", "running launcher");
    writeTextFile(scratch / L"Tinderhallow.exe.old", "launcher before that");
    EXPECT_TRUE(swapLauncherFile(scratch / L"release" / L"Tinderhallow.exe", scratch / L"Tinderhallow.exe",
                                 scratch / L"Tinderhallow.exe.new", scratch / L"Tinderhallow.exe.old"));
    EXPECT_EQ(readTextFile(scratch / L"Tinderhallow.exe"), "newer launcher");
    EXPECT_EQ(readTextFile(scratch / L"Tinderhallow.exe.old"), "running launcher");
    EXPECT_FALSE(fs::exists(scratch / L"Tinderhallow.exe.new"));
}

}  // namespace

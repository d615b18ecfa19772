// check LAUNCHER_DIR: runs the launcher's release check for that folder and
// prints every status change as <phase>|<title>|<detail>|<progress>, then,
// when a release was published, its plan as `inspect` prints it.

#include "delivery/release_check.h"
#include "tools/toolkit/toolkit.h"
#include "ui/launcher_state.h"
#include "update/utf8_paths.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* phaseName(LauncherPhase phase) {
    switch (phase) {
        case Checking: return "Checking";
        case Ready: return "Ready";
        case UpdateAvailable: return "UpdateAvailable";
        case Updating: return "Updating";
        case Error: return "Error";
    }
    return "Error";
}

// One line per status; line breaks inside a system message would split it.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

std::string statusLine(LauncherPhase phase, const std::string& title, const std::string& detail, float progress) {
    char number[32];
    std::snprintf(number, sizeof(number), "%.3f", static_cast<double>(progress));
    return std::string(phaseName(phase)) + "|" + oneLine(title) + "|" + oneLine(detail) + "|" + number + "\n";
}

int checkCommand(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        toolkit::printError("usage: TinderhallowTool check LAUNCHER_DIR\n");
        return 2;
    }
    LauncherState& state = launcherState();
    state.launcherDir = pathFromUtf8(args[0]);

    std::string lastLine;
    setStatusObserver([&lastLine](LauncherPhase phase, const std::string& title, const std::string& detail,
                                  float progress) {
        lastLine = statusLine(phase, title, detail, progress);
        toolkit::printOut(lastLine);
    });
    runReleaseCheck();
    setStatusObserver(nullptr);

    // Publishing a release sets the status directly, not through SetStatus.
    std::string text;
    LauncherPhase phase;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        phase = state.phase;
        const std::string finalLine = statusLine(state.phase, state.title, state.detail, state.progress);
        if (finalLine != lastLine) text += finalLine;
        if (!state.pendingSourceText.empty()) {
            for (const ManifestFile& file : state.filesToFetch)
                text += "fetch " + std::to_string(file.size) + " " + genericPathUtf8(file.path) + "\n";
            for (const auto& path : state.obsoletePaths) text += "obsolete " + genericPathUtf8(path) + "\n";
            text += "bytes " + std::to_string(state.bytesToFetch) + "\n";
        }
    }
    toolkit::printOut(text);
    return phase == Error ? 1 : 0;
}

}  // namespace

TOOLKIT_COMMAND("check", "LAUNCHER_DIR", checkCommand);

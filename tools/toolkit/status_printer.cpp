#include "tools/toolkit/status_printer.h"

#include "tools/toolkit/toolkit.h"

#include <cstdio>
#include <mutex>

namespace toolkit {
namespace {

// Download threads report concurrently; one lock keeps lines whole.
std::mutex printMutex;
std::string lastLine;

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

void printLine(const std::string& line, bool skipRepeat) {
    std::lock_guard<std::mutex> lock(printMutex);
    if (skipRepeat && line == lastLine) return;
    lastLine = line;
    printOut(line);
}

}  // namespace

std::string statusLine(LauncherPhase phase, const std::string& title, const std::string& detail, float progress) {
    char number[32];
    std::snprintf(number, sizeof(number), "%.3f", static_cast<double>(progress));
    return std::string(phaseName(phase)) + "|" + oneLine(title) + "|" + oneLine(detail) + "|" + number + "\n";
}

void startPrintingStatus() {
    setStatusObserver([](LauncherPhase phase, const std::string& title, const std::string& detail, float progress) {
        printLine(statusLine(phase, title, detail, progress), false);
    });
}

void stopPrintingStatus() { setStatusObserver(nullptr); }

void printCurrentStatus() {
    LauncherState& state = launcherState();
    std::string line;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        line = statusLine(state.phase, state.title, state.detail, state.progress);
    }
    printLine(line, true);
}

}  // namespace toolkit

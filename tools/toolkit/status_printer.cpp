#include "tools/toolkit/status_printer.h"

#include "tools/toolkit/toolkit.h"

#include <cstdio>
#include <mutex>

namespace toolkit {
namespace {

// Download threads report concurrently; one lock keeps lines whole.
std::mutex printMutex;

const char* phaseName(LauncherPhase phase) {
    switch (phase) {
        case LauncherPhase::Checking: return "Checking";
        case LauncherPhase::Ready: return "Ready";
        case LauncherPhase::UpdateAvailable: return "UpdateAvailable";
        case LauncherPhase::Updating: return "Updating";
        case LauncherPhase::Error: return "Error";
    }
    return "Error";
}

// One line per status; line breaks inside a system message would split it.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(printMutex);
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
        printLine(statusLine(phase, title, detail, progress));
    });
}

void stopPrintingStatus() { setStatusObserver(nullptr); }

}  // namespace toolkit

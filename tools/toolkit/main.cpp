// TinderhallowTool: checks releases and installations the way the launcher
// does, for publishers and support staff.

#include "base/diagnostic_log.h"
#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace toolkit {
namespace {

std::map<std::string, Command>& commandTable() {
    static std::map<std::string, Command> table;
    return table;
}

void writeBytes(DWORD which, const std::string& text) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int usage() {
    std::string text = "usage: TinderhallowTool COMMAND [ARGS...]\n";
    for (const auto& [name, command] : commandTable()) text += "  " + name + " " + command.usage + "\n";
    printError(text);
    return 2;
}

}  // namespace

bool registerCommand(const Command& command) {
    commandTable()[command.name] = command;
    return true;
}

void printOut(const std::string& text) { writeBytes(STD_OUTPUT_HANDLE, text); }
void printError(const std::string& text) { writeBytes(STD_ERROR_HANDLE, text); }

}  // namespace toolkit

int wmain(int argc, wchar_t** argv) {
    // "--verbose", anywhere, also prints the log's lines on standard error.
    bool verbose = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string word = wideToUtf8(argv[i]);
        if (word == "--verbose") {
            verbose = true;
        } else {
            words.push_back(std::move(word));
        }
    }
    if (words.empty()) return toolkit::usage();
    const std::vector<std::string> args(words.begin() + 1, words.end());
    const auto& table = toolkit::commandTable();
    auto found = table.find(words.front());
    if (found == table.end()) return toolkit::usage();
    std::string logProblem;
    if (!startDiagnosticLog(defaultLogFolder(), verbose, &logProblem)) {
        toolkit::printError("No log is kept: " + logProblem + "\n");
    }
    logProgramStart("TinderhallowTool " + words.front());
    int code = 1;
    try {
        code = found->second.run(args);
    } catch (const std::exception& e) {
        toolkit::printError(std::string("internal error: ") + e.what() + "\n");
        logError("toolkit", std::string("Internal error: ") + e.what());
    }
    logInfo("toolkit", "Exit with code " + std::to_string(code) + ".");
    stopDiagnosticLog();
    return code;
}

// TinderhallowTool: checks releases and installations the way the launcher
// does, for publishers and support staff.

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
    if (argc < 2) return toolkit::usage();
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) args.push_back(wideToUtf8(argv[i]));
    const auto& table = toolkit::commandTable();
    auto found = table.find(wideToUtf8(argv[1]));
    if (found == table.end()) return toolkit::usage();
    try {
        return found->second.run(args);
    } catch (const std::exception& e) {
        toolkit::printError(std::string("internal error: ") + e.what() + "\n");
        return 1;
    }
}

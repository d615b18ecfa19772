#pragma once
// The command table of TinderhallowTool. Each command lives in its own file
// and registers itself with TOOLKIT_COMMAND; main() dispatches by name.

#include <string>
#include <vector>

namespace toolkit {

using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
    const char* name;
    const char* usage;  // arguments after the command name
    CommandFunction run;
};

bool registerCommand(const Command& command);

// UTF-8 output: written as bytes, never through the console code page.
void printOut(const std::string& text);
void printError(const std::string& text);

}  // namespace toolkit

#define TOOLKIT_COMMAND(name, usage, function) \
    static const bool toolkitRegistered_##function = ::toolkit::registerCommand({name, usage, function})

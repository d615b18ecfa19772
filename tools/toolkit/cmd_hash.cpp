// hash FILE: the digest the launcher computes for an installed file.

#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"
#include "update/file_hash.h"

namespace {

int hashCommand(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        toolkit::printError("usage: TinderhallowTool hash FILE\n");
        return 2;
    }
    std::string digest;
    std::string error;
    if (!hashFile(pathFromUtf8(args[0]), digest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    toolkit::printOut(digest + "\n");
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("hash", "FILE", hashCommand);

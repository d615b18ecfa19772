// verify MANIFEST SIGNATURE_FILE: checks a release list against its
// signature with the keys built into this build, as the launcher does.

#include "base/utf8_paths.h"
#include "base/whole_file.h"
#include "delivery/release_signature.h"
#include "tools/toolkit/toolkit.h"

namespace {

int verifyCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        toolkit::printError("usage: TinderhallowTool verify MANIFEST SIGNATURE_FILE\n");
        return 2;
    }
    std::string signatureText;
    if (readBounded(pathFromUtf8(args[1]), kNoReadLimit, signatureText) != BoundedRead::Read) {
        toolkit::printError("Could not open signature file: " + args[1] + "\n");
        return 1;
    }
    std::string error;
    if (!verifyReleaseSignature(pathFromUtf8(args[0]), signatureText, releaseSigningKeys(), &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    toolkit::printOut("verified\n");
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("verify", "MANIFEST SIGNATURE_FILE", verifyCommand);

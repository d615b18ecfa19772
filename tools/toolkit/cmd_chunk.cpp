// chunk FILE INDEX [FILE INDEX ...]: writes the chunk index of each FILE to
// INDEX (the publishing script's fast path). One line per file:
// "<chunks> chunks, <size> bytes: FILE".
// delta INSTALL_DIR BASE_URL PATH: how much of PATH of the release at
// BASE_URL the installed copy in INSTALL_DIR would give, and what would be
// fetched, without writing anything.

#include "base/handles.h"
#include "base/install_files.h"
#include "base/utf8_paths.h"
#include "base/whole_file.h"
#include "delivery/chunk_index.h"
#include "delivery/delta_download.h"
#include "delivery/download_client.h"
#include "delivery/release_list.h"
#include "tools/toolkit/toolkit.h"
#include "update/manifest.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

int chunkCommand(const std::vector<std::string>& args) {
    if (args.empty() || args.size() % 2 != 0) {
        toolkit::printError("usage: TinderhallowTool chunk FILE INDEX [FILE INDEX ...]\n");
        return 2;
    }
    for (std::size_t i = 0; i < args.size(); i += 2) {
        std::vector<ChunkEntry> chunks;
        std::uint64_t size = 0;
        std::string error;
        const bool read = chunkFile(
            pathFromUtf8(args[i]),
            [&](const ChunkEntry& chunk, const std::uint8_t*) {
                chunks.push_back(chunk);
                size += chunk.length;
                return true;
            },
            &error);
        if (!read) {
            toolkit::printError(error + "\n");
            return 1;
        }
        if (!writeWholeFile(pathFromUtf8(args[i + 1]), {bytesOf(encodeChunkIndex(size, chunks))})) {
            toolkit::printError("Could not write chunk index: " + args[i + 1] + "\n");
            return 1;
        }
        toolkit::printOut(std::to_string(chunks.size()) + " chunks, " + std::to_string(size) + " bytes: " + args[i] +
                          "\n");
    }
    return 0;
}

int deltaCommand(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        toolkit::printError("usage: TinderhallowTool delta INSTALL_DIR BASE_URL PATH\n");
        return 2;
    }
    if (!isHttpUrl(args[1])) {
        toolkit::printError("Patch source is not an HTTP URL.\n");
        return 2;
    }
    PatchDownloader downloader(args[1]);
    std::vector<std::uint8_t> manifestBytes;
    DWORD status = 0;
    std::string error;
    ReleaseManifest manifest;
    if (!downloader.fetchSmallFile(kReleaseListName, kMaxReleaseListBytes, manifestBytes, status, &error) ||
        !parseReleaseManifest(textOf(manifestBytes), kReleaseListName, manifest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    const std::filesystem::path wanted = pathFromUtf8(args[2]);
    for (const ManifestFile& entry : manifest.files) {
        if (!samePathElements(entry.path, wanted)) continue;
        DeltaPlan plan;
        std::string why;
        const std::filesystem::path installed = pathFromUtf8(args[0]) / entry.path;
        if (!planDelta(downloader, entry.size, entry.sha256, installed, plan, &why)) {
            toolkit::printOut("whole download: " + why + "\n");
            toolkit::printOut("reused 0 bytes, fetched " + std::to_string(entry.size) + " bytes of " +
                              std::to_string(entry.size) + "\n");
            return 0;
        }
        toolkit::printOut("reused " + std::to_string(plan.reusedBytes) + " bytes, fetched " +
                          std::to_string(plan.fetchBytes + plan.indexBytes) + " bytes of " +
                          std::to_string(entry.size) + " (index " + std::to_string(plan.indexBytes) + " bytes, " +
                          std::to_string(plan.ranges.size()) + " ranges)\n");
        return 0;
    }
    toolkit::printError("The release does not list " + args[2] + ".\n");
    return 1;
}

}  // namespace

TOOLKIT_COMMAND("chunk", "FILE INDEX [FILE INDEX ...]", chunkCommand);
TOOLKIT_COMMAND("delta", "INSTALL_DIR BASE_URL PATH", deltaCommand);

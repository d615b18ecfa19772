// fetch: one download from a patch source, exactly as the launcher makes it.
// fetch-many: many files through the update worker's own download loop, so
// that its benchmark measures what players run. A list line is a relative
// path, or a path, its size and its SHA-256 (then it is fetched as a release
// file: hashed as it arrives, checked, resumable).

#include "base/install_files.h"
#include "base/utf8_paths.h"
#include "delivery/download_client.h"
#include "delivery/patch_notes.h"
#include "delivery/release_list.h"
#include "tools/toolkit/toolkit.h"
#include "delivery/parallel_download.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

const DownloadLimit kNoLimit{std::numeric_limits<std::uint64_t>::max(), false, {}};

// The limit the launcher gives the file: SIZE (a manifest size) when given,
// else the launcher's own bound for the release list, its signature and the
// notes; any other file has no bound known without a manifest.
bool fetchLimit(const std::string& relativePath, const std::vector<std::string>& args, DownloadLimit& limit) {
    if (args.size() == 4) {
        const std::string& text = args[3];
        if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        limit = exactly(std::stoull(text));
        return true;
    }
    if (relativePath == kReleaseListUrlName) {
        limit = atMost(kMaxReleaseListBytes);
    } else if (relativePath.starts_with(kSignatureUrlFolder) && relativePath.ends_with(".sig")) {
        limit = atMost(kMaxSignatureBytes);
    } else if (relativePath == kPatchNotesUrlName) {
        limit = atMost(kPatchNotesSizeLimit);
    } else {
        limit = kNoLimit;
    }
    return true;
}

int fetch(const std::vector<std::string>& args) {
    DownloadLimit limit;
    if ((args.size() != 3 && args.size() != 4) || !fetchLimit(args[1], args, limit)) {
        toolkit::printError("usage: TinderhallowTool fetch BASE_URL RELATIVE_PATH DEST [SIZE]\n");
        return 2;
    }
    std::string error;
    if (!downloadPatchFile(args[0], pathFromUtf8(args[1]), pathFromUtf8(args[2]), limit, {}, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    return 0;
}

int fetchMany(const std::vector<std::string>& args) {
    if (args.size() != 4) {
        toolkit::printError("usage: TinderhallowTool fetch-many BASE_URL LISTFILE DESTDIR THREADS\n");
        return 2;
    }
    DownloadJob job;
    job.patchUrl = args[0];
    job.targetFolder = pathFromUtf8(args[2]);
    {
        std::ifstream list(pathFromUtf8(args[1]), std::ios::binary);
        if (!list) {
            toolkit::printError("Could not read list file: " + args[1] + "\n");
            return 1;
        }
        std::string line;
        while (std::getline(list, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            if (line.empty()) continue;
            ManifestFile file;  // no digest: a plain download
            const std::size_t digestStart = line.rfind(' ');
            const std::size_t sizeStart =
                digestStart == std::string::npos ? digestStart : line.rfind(' ', digestStart - 1);
            if (sizeStart != std::string::npos && line.size() - digestStart - 1 == 64) {
                const std::string size = line.substr(sizeStart + 1, digestStart - sizeStart - 1);
                if (!size.empty() && size.size() <= 19 && size.find_first_not_of("0123456789") == std::string::npos) {
                    file.size = std::stoull(size);
                    file.sha256 = line.substr(digestStart + 1);
                    line.resize(sizeStart);
                }
            }
            file.path = pathFromUtf8(line);
            job.fileList.push_back(std::move(file));
        }
    }
    int threadCount = 0;
    try {
        threadCount = std::stoi(args[3]);
    } catch (...) {}
    if (threadCount < 1 || threadCount > 64) {
        toolkit::printError("THREADS must be a number from 1 to 64.\n");
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    const bool fetched = downloadFilesInParallel(job, static_cast<std::size_t>(threadCount));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!fetched) {
        toolkit::printError(job.firstError + "\n");
        return 1;
    }
    char line[128];
    std::snprintf(line, sizeof(line), "%zu files in %.3f s\n", job.fileList.size(), seconds);
    toolkit::printOut(line);
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("fetch", "BASE_URL RELATIVE_PATH DEST [SIZE]", fetch);
TOOLKIT_COMMAND("fetch-many", "BASE_URL LISTFILE DESTDIR THREADS   (benchmark helper)", fetchMany);

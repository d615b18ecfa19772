// Benchmark helper: digests one file with one engine and reports the time
// spent inside the process, so Wine's start-up stays out of the figure.
// Usage: hash_engines hashfile|cng|portable FILE
// Prints: <digest> <seconds>
// `hash_engines wait` only waits for the end of its input: the benchmark
// keeps one running so every measured run finds Wine already started.

#include "base/handles.h"
#include "base/utf8_paths.h"
#include "update/file_hash.h"
#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kChunk = 65536;

FileHandle openInput(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Calls `feed` for every chunk; false on a read error.
template <typename Feed>
bool readAll(const FileHandle& file, Feed feed) {
    std::vector<std::uint8_t> buffer(kChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), kChunk, &got, nullptr)) return false;
        if (got == 0) return true;
        if (!feed(buffer.data(), got)) return false;
    }
}

// CNG the way a streaming caller would use it: one hash object, 64 KiB
// pieces, then the digest.
bool cngStreaming(const std::wstring& path, std::string& digestText) {
    const FileHandle file = openInput(path);
    if (!file) return false;
    CngAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        (void)algorithm.release();
        return false;
    }
    CngHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) {
        (void)hash.release();
        return false;
    }
    bool ok = readAll(file, [&](std::uint8_t* data, DWORD size) {
        return BCRYPT_SUCCESS(BCryptHashData(hash.get(), data, size, 0));
    });
    std::uint8_t digest[32];
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, sizeof digest, 0));
    if (ok) digestText = digestToHex(digest, sizeof digest);
    return ok;
}

bool portableStreaming(const std::wstring& path, std::string& digestText) {
    const FileHandle file = openInput(path);
    if (!file) return false;
    Sha256Stream stream;
    sha256Begin(stream, Sha256Engine::Portable);
    if (!readAll(file, [&](std::uint8_t* data, DWORD size) {
            sha256Feed(stream, data, size);
            return true;
        })) {
        return false;
    }
    std::uint8_t digest[32];
    sha256Finish(stream, digest);
    digestText = digestToHex(digest, sizeof digest);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"wait") {
        while (std::fgetc(stdin) != EOF) {}
        return 0;
    }
    if (argc != 3) {
        std::fputs("usage: hash_engines hashfile|cng|portable FILE\n", stderr);
        return 2;
    }
    const std::string mode = wideToUtf8(argv[1]);
    const std::wstring path = argv[2];
    std::string digest;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    bool ok = false;
    if (mode == "hashfile") {
        ok = hashFile(std::filesystem::path(path), digest, &error);
    } else if (mode == "cng") {
        ok = cngStreaming(path, digest);
    } else if (mode == "portable") {
        ok = portableStreaming(path, digest);
    } else {
        std::fputs("unknown mode\n", stderr);
        return 2;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "failed %s\n", error.c_str());
        return 1;
    }
    std::printf("%s %.6f\n", digest.c_str(), seconds);
    return 0;
}

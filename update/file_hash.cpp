#include "update/file_hash.h"

#include "base/handles.h"
#include "base/utf8_paths.h"
#include "base/whole_file.h"
#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <memory>
#include <new>

namespace {

constexpr DWORD kReadChunk = 65536;

// A file opened for sequential reading. Other processes may still read,
// write, rename or delete it: a launcher checking files must never block
// the game or an installer.
FileHandle openForReading(const std::filesystem::path& path) {
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// False on a read error; `got` is 0 at end of file.
bool readChunk(const FileHandle& file, void* buffer, DWORD size, DWORD& got) {
    got = 0;
    return ReadFile(file.get(), buffer, size, &got, nullptr) != FALSE;
}

}  // namespace

namespace {

bool hashOpenFile(const FileHandle& file, const std::filesystem::path& path, std::string& digestText,
                  std::string* error) {
    if (!file) {
        if (error) *error = "Could not open file for hashing: " + pathToUtf8(path);
        return false;
    }

    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kReadChunk]);
    Sha256Stream stream;
    sha256Begin(stream);
    bool readFailed = buffer == nullptr;
    while (!readFailed) {
        DWORD got = 0;
        if (!readChunk(file, buffer.get(), kReadChunk, got)) {
            readFailed = true;
            break;
        }
        if (got == 0) break;
        sha256Feed(stream, buffer.get(), got);
    }
    if (readFailed) {
        if (error) *error = "Failed while hashing file: " + pathToUtf8(path);
        return false;
    }

    std::uint8_t digest[32];
    sha256Finish(stream, digest);
    digestText = digestToHex(digest, sizeof digest);
    if (error) error->clear();
    return true;
}

}  // namespace

bool hashFile(const std::filesystem::path& path, std::string& digestText, std::string* error) {
    return hashOpenFile(openForReading(path), path, digestText, error);
}

bool hashFileWithIdentity(const std::filesystem::path& path, std::string& digestText,
                          std::optional<FileIdentity>& identity, std::string* error) {
    identity.reset();
    const FileHandle file = openForReading(path);
    FileIdentity before;
    const bool known = readFileIdentity(file, before);
    if (!hashOpenFile(file, path, digestText, error)) return false;
    FileIdentity after;
    if (known && readFileIdentity(file, after) && after == before) identity = after;
    return true;
}

bool sha256Digest(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& digest) {
    digest.assign(32, 0);
    CngAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        (void)algorithm.release();  // a failed call leaves nothing to close
        return false;
    }
    CngHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) {
        (void)hash.release();  // a failed call leaves nothing to close
        return false;
    }

    // BCryptHashData takes a 32-bit length; larger buffers go in pieces.
    const std::uint8_t* next = data.data();
    std::size_t remaining = data.size();
    while (remaining > 0) {
        const ULONG piece = remaining > 0x40000000u ? 0x40000000u : static_cast<ULONG>(remaining);
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), const_cast<PUCHAR>(next), piece, 0))) return false;
        next += piece;
        remaining -= piece;
    }
    return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
    // A file that cannot be read whole is no file to digest.
    std::vector<std::uint8_t> bytes;
    if (readBounded(path, kNoReadLimit, bytes) != BoundedRead::Read) return {};
    return bytes;
}

std::string sha256FileHex(const std::filesystem::path& path) {
    std::vector<std::uint8_t> digest;
    if (!sha256Digest(readFileBytes(path), digest)) return {};
    return digestToHex(digest.data(), digest.size());
}

std::string digestToHex(const std::uint8_t* digest, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 0x0f]);
    }
    return text;
}

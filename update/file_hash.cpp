#include "update/file_hash.h"

#include "base/utf8_paths.h"
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
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::filesystem::path& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
    ~ReadOnlyFile() {
        if (isOpen()) CloseHandle(handle_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    // False on a read error; `got` is 0 at end of file.
    bool read(void* buffer, DWORD size, DWORD& got) {
        got = 0;
        return ReadFile(handle_, buffer, size, &got, nullptr) != FALSE;
    }

    std::uint64_t sizeHint() const {
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(handle_, &size) || size.QuadPart < 0) return 0;
        return static_cast<std::uint64_t>(size.QuadPart);
    }

private:
    HANDLE handle_;
};

class CngAlgorithm {
public:
    CngAlgorithm() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            handle_ = nullptr;
        }
    }
    ~CngAlgorithm() {
        if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    CngAlgorithm(const CngAlgorithm&) = delete;
    CngAlgorithm& operator=(const CngAlgorithm&) = delete;

    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class CngHash {
public:
    explicit CngHash(BCRYPT_ALG_HANDLE algorithm) {
        if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &handle_, nullptr, 0, nullptr, 0, 0))) handle_ = nullptr;
    }
    ~CngHash() {
        if (handle_ != nullptr) BCryptDestroyHash(handle_);
    }
    CngHash(const CngHash&) = delete;
    CngHash& operator=(const CngHash&) = delete;

    BCRYPT_HASH_HANDLE get() const { return handle_; }

private:
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

bool hashFile(const std::filesystem::path& path, std::string& digestText, std::string* error) {
    ReadOnlyFile file(path);
    if (!file.isOpen()) {
        if (error) *error = "Could not open file for hashing: " + pathToUtf8(path);
        return false;
    }

    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kReadChunk]);
    Sha256Stream stream;
    sha256Begin(stream);
    bool readFailed = buffer == nullptr;
    while (!readFailed) {
        DWORD got = 0;
        if (!file.read(buffer.get(), kReadChunk, got)) {
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

bool sha256Digest(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& digest) {
    digest.assign(32, 0);
    CngAlgorithm algorithm;
    if (algorithm.get() == nullptr) return false;
    CngHash hash(algorithm.get());
    if (hash.get() == nullptr) return false;

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
    ReadOnlyFile file(path);
    if (!file.isOpen()) return {};
    try {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(file.sizeHint()));
        for (;;) {
            const std::size_t used = bytes.size();
            bytes.resize(used + kReadChunk);
            DWORD got = 0;
            // A file that cannot be read whole is no file to digest.
            if (!file.read(bytes.data() + used, kReadChunk, got)) return {};
            bytes.resize(used + got);
            if (got == 0) return bytes;
        }
    } catch (const std::exception&) {
        return {};
    }
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

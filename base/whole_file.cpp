#include "base/whole_file.h"

#include "base/handles.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace {

// Pieces of at most this size: ReadFile and WriteFile take 32-bit lengths.
constexpr std::size_t kPiece = 1u << 24;

template <typename Bytes>
BoundedRead readOpenFile(HANDLE file, std::uint64_t limit, Bytes& bytes) {
    bytes.clear();
    try {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
            if (static_cast<std::uint64_t>(size.QuadPart) > limit) return BoundedRead::TooLarge;
            bytes.reserve(static_cast<std::size_t>(size.QuadPart));
        }
        // Read to the end rather than trusting the size: the file may grow.
        char buffer[64 * 1024];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) return BoundedRead::Unopened;
            if (got == 0) return BoundedRead::Read;
            if (bytes.size() + static_cast<std::uint64_t>(got) > limit) return BoundedRead::TooLarge;
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
    } catch (const std::bad_alloc&) {
        return BoundedRead::TooLarge;
    } catch (const std::length_error&) {
        return BoundedRead::TooLarge;
    }
}

template <typename Bytes>
BoundedRead readPath(const std::filesystem::path& path, std::uint64_t limit, Bytes& bytes) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return BoundedRead::Unopened;
    return readOpenFile(file.get(), limit, bytes);
}

bool failed(WriteFailure* failure, WriteFailure::Step step, DWORD code) {
    if (failure != nullptr) *failure = {step, code};
    return false;
}

bool writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD want = static_cast<DWORD>(std::min(bytes.size(), kPiece));
        DWORD done = 0;
        if (!WriteFile(file, bytes.data(), want, &done, nullptr) || done == 0) return false;
        bytes.remove_prefix(done);
    }
    return true;
}

}  // namespace

BoundedRead readBounded(HANDLE file, std::uint64_t limit, std::string& bytes) {
    return readOpenFile(file, limit, bytes);
}

BoundedRead readBounded(HANDLE file, std::uint64_t limit, std::vector<std::uint8_t>& bytes) {
    return readOpenFile(file, limit, bytes);
}

BoundedRead readBounded(const std::filesystem::path& path, std::uint64_t limit, std::string& bytes) {
    return readPath(path, limit, bytes);
}

BoundedRead readBounded(const std::filesystem::path& path, std::uint64_t limit, std::vector<std::uint8_t>& bytes) {
    return readPath(path, limit, bytes);
}

bool writeWholeFile(const std::filesystem::path& path, WriteParts parts, WriteFailure* failure) {
    DWORD code = ERROR_SUCCESS;
    {
        const FileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return failed(failure, WriteFailure::Step::Create, GetLastError());
        for (const std::string_view part : parts) {
            if (writeAll(file.get(), part)) continue;
            code = GetLastError();
            if (code == ERROR_SUCCESS) code = ERROR_WRITE_FAULT;
            break;
        }
    }
    if (code == ERROR_SUCCESS) return true;
    DeleteFileW(path.c_str());
    return failed(failure, WriteFailure::Step::Write, code);
}

bool replaceWholeFile(const std::filesystem::path& target, const std::filesystem::path& temporary, WriteParts parts,
                      bool writeThrough, WriteFailure* failure) {
    if (!writeWholeFile(temporary, parts, failure)) return false;
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (writeThrough ? MOVEFILE_WRITE_THROUGH : 0);
    if (MoveFileExW(temporary.c_str(), target.c_str(), flags)) return true;
    const DWORD code = GetLastError();
    DeleteFileW(temporary.c_str());
    return failed(failure, WriteFailure::Step::Move, code);
}

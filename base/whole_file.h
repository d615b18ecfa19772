#pragma once
// Whole files in one call: a read that never holds more than a limit, and a
// write that creates a file complete or not at all, directly or through a
// temporary renamed over the target in one step.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

enum class BoundedRead {
    Read,
    Unopened,  // could not be opened or read
    TooLarge,  // more than the limit, or more than memory holds
};

// No limit but memory.
inline constexpr std::uint64_t kNoReadLimit = UINT64_MAX;

// The rest of an open file, to its end (a file that grows while it is read
// is read as far as it grew), but never more than `limit` bytes held.
BoundedRead readBounded(HANDLE file, std::uint64_t limit, std::string& bytes);
BoundedRead readBounded(HANDLE file, std::uint64_t limit, std::vector<std::uint8_t>& bytes);

// The same for the file at `path`, opened for sequential reading that lets
// others read, write, rename and delete it meanwhile: a reader never blocks
// the game, an installer or another launcher.
BoundedRead readBounded(const std::filesystem::path& path, std::uint64_t limit, std::string& bytes);
BoundedRead readBounded(const std::filesystem::path& path, std::uint64_t limit, std::vector<std::uint8_t>& bytes);

// Bytes to write, one view a piece, written one after another.
using WriteParts = std::initializer_list<std::string_view>;
inline std::string_view bytesOf(const void* data, std::size_t size) { return {static_cast<const char*>(data), size}; }
inline std::string_view bytesOf(const std::vector<std::uint8_t>& bytes) { return bytesOf(bytes.data(), bytes.size()); }

// Which step of a whole-file write failed, with its Windows error code.
struct WriteFailure {
    enum class Step { Create, Write, Move } step = Step::Create;
    DWORD code = ERROR_SUCCESS;
};

// Creates `path` (replacing a file there; nobody else may open it while it
// is written) and writes `parts` into it. A file this call created but could
// not write whole is deleted; one it could not create is not its to delete.
[[nodiscard]] bool writeWholeFile(const std::filesystem::path& path, WriteParts parts, WriteFailure* failure = nullptr);

// writeWholeFile into `temporary`, beside `target`, then one rename over
// `target`, which keeps the previous copy whole when anything fails;
// `writeThrough` asks that the rename reach the disk before it returns. The
// temporary never survives a failure.
[[nodiscard]] bool replaceWholeFile(const std::filesystem::path& target, const std::filesystem::path& temporary,
                                    WriteParts parts, bool writeThrough, WriteFailure* failure = nullptr);

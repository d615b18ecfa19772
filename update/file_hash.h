#pragma once
// SHA-256 digests of files and buffers. Digest text is 64 lower-case
// hexadecimal characters; every comparison in the system compares such texts.

#include "update/file_identity.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Streaming digest of a file in constant memory (64 KiB reads); uses the
// CPU's SHA extensions when present.
[[nodiscard]] bool hashFile(const std::filesystem::path& path, std::string& digestText, std::string* error = nullptr);

// hashFile that also tells which content it read: `identity` is the file's
// identity through the same handle, read before and after reading the bytes,
// and set only when both reads succeed and agree.
[[nodiscard]] bool hashFileWithIdentity(const std::filesystem::path& path, std::string& digestText,
                                        std::optional<FileIdentity>& identity, std::string* error = nullptr);

// One-shot digest through CNG. `digest` is resized to 32 zero bytes first.
[[nodiscard]] bool sha256Digest(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& digest);

// The whole file; empty when it cannot be opened. For small files only.
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);

// Digest text of a whole (small) file through CNG; the digest of zero bytes
// for a file that cannot be opened, empty text when hashing failed.
std::string sha256FileHex(const std::filesystem::path& path);

// 32 digest bytes as lower-case hexadecimal text.
std::string digestToHex(const std::uint8_t* digest, std::size_t size);

#pragma once
// Detached ECDSA P-256 / SHA-256 signatures over the exact bytes of a
// published "update_manifest.json". The signature file holds either the
// Base64 of the raw 64-byte r||s signature, or one line per signing key:
// "<key id> <Base64 r||s>", the key id being the first 16 hex digits of the
// SHA-256 of the 65-byte public key.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The publisher's public keys built into the program, one to four, each
// 0x04, X, Y (big-endian). Chosen at build time (the CMake list
// RELEASE_SIGNING_KEY_HEX). A release signed with any of them is accepted, so
// a publisher can move to a new key without a time when releases fail.
inline constexpr std::size_t releaseSigningKeySize = 65;
inline constexpr std::size_t maxReleaseSigningKeys = 4;
using ReleaseSigningKey = std::array<std::uint8_t, releaseSigningKeySize>;
std::span<const ReleaseSigningKey> releaseSigningKeys();

// The first 16 lower-case hex digits of the SHA-256 of the key's bytes; empty
// when the digest cannot be computed.
std::string releaseKeyId(const ReleaseSigningKey& key);

// Standard and URL-safe Base64, even mixed. "=", space, tab, CR and LF are
// ignored wherever they stand; any other character outside the alphabet
// yields an empty result. Leftover bits (fewer than 8) are dropped.
std::vector<std::uint8_t> decodeBase64(std::string_view text);

// True only when CNG verifies the 64-byte raw signature of the 32-byte digest
// with the 65-byte uncompressed key. Every malformed input and every failing
// platform call yields false.
bool verifyP256Signature(const std::uint8_t* publicKey, std::size_t publicKeyLength,
                         const std::vector<std::uint8_t>& digest, const std::vector<std::uint8_t>& signature);

// Verifies the manifest's bytes against the Base64 signature text. The
// caller goes on with these same bytes: a file read again could have been
// replaced in between. On failure `error` receives "Could not check the
// release list." or "The release list is not signed by Tinderhallow. Nothing
// was installed."; on success it is left as it was.
[[nodiscard]] bool verifyReleaseBytes(const std::vector<std::uint8_t>& manifestBytes, std::string_view signatureText,
                                      const std::uint8_t* publicKey, std::size_t publicKeyLength,
                                      std::string* error = nullptr);

// The same for a manifest whose SHA-256 digest the caller already has.
[[nodiscard]] bool verifyReleaseDigest(const std::vector<std::uint8_t>& manifestDigest, std::string_view signatureText,
                                       const std::uint8_t* publicKey, std::size_t publicKeyLength,
                                       std::string* error = nullptr);

// The same with any of `keys`: a one-signature text is tried with each key, a
// line "<key id> <signature>" with the key of that id (lines of other keys
// are passed over).
[[nodiscard]] bool verifyReleaseDigest(const std::vector<std::uint8_t>& manifestDigest, std::string_view signatureText,
                                       std::span<const ReleaseSigningKey> keys, std::string* error = nullptr);

// The same for a manifest file, read once (for tools that check a file).
[[nodiscard]] bool verifyReleaseSignature(const std::filesystem::path& manifestPath, std::string_view signatureText,
                                          const std::uint8_t* publicKey, std::size_t publicKeyLength,
                                          std::string* error = nullptr);
[[nodiscard]] bool verifyReleaseSignature(const std::filesystem::path& manifestPath, std::string_view signatureText,
                                          std::span<const ReleaseSigningKey> keys, std::string* error = nullptr);

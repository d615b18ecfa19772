#pragma once
// Streaming SHA-256 (FIPS 180-4). The compression runs on the CPU's SHA
// extensions when it has them and on portable code otherwise; both always
// give the same digest.

#include <cstddef>
#include <cstdint>

enum class Sha256Engine { Portable, Accelerated };

// True when the CPU has the SHA extensions with SSSE3 and SSE4.1 (checked
// once with cpuid).
bool cpuHasShaExtensions();

// Accelerated when the CPU supports it, Portable otherwise.
Sha256Engine bestSha256Engine();

// One digest in progress. Plain value; copying it forks the digest.
struct Sha256Stream {
    std::uint32_t chain[8];
    std::uint8_t block[64];
    std::size_t blockUsed;
    std::uint64_t totalBytes;
    Sha256Engine engine;
};

// `engine` Accelerated on a CPU without the extensions falls back to Portable.
void sha256Begin(Sha256Stream& stream, Sha256Engine engine = bestSha256Engine());
void sha256Feed(Sha256Stream& stream, const void* data, std::size_t size);
void sha256Finish(Sha256Stream& stream, std::uint8_t digest[32]);

// One-shot digests through one fixed engine, for tests and benchmarks.
// sha256Accelerated returns false (digest untouched) on a CPU without the
// extensions.
void sha256Portable(const void* data, std::size_t size, std::uint8_t digest[32]);
[[nodiscard]] bool sha256Accelerated(const void* data, std::size_t size, std::uint8_t digest[32]);

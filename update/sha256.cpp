#include "update/sha256.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

namespace {

constexpr std::uint32_t kInitialChain[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Aligned so the accelerated rounds can load four constants at once.
alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t loadBigEndian32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
}

void compressPortable(std::uint32_t chain[8], const std::uint8_t* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) w[t] = loadBigEndian32(data + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
        std::uint32_t e = chain[4], f = chain[5], g = chain[6], h = chain[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t choose = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + choose + kRound[t] + w[t];
            const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        chain[0] += a;
        chain[1] += b;
        chain[2] += c;
        chain[3] += d;
        chain[4] += e;
        chain[5] += f;
        chain[6] += g;
        chain[7] += h;
    }
}

// SHA-NI compression. Only these functions are built for the extensions, so
// the rest of the program stays baseline x86-64 and runs on any CPU.
// The state lives in two registers as ABEF and CDGH, the order the round
// instruction expects; each sha256rnds2 does two rounds.
#define SHA_EXTENSIONS __attribute__((target("sha,sse4.1")))

SHA_EXTENSIONS inline __attribute__((always_inline)) void fourRounds(__m128i& abef, __m128i& cdgh, __m128i message,
                                                                     int group) {
    __m128i sum = _mm_add_epi32(message, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound) + group));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sum);
    sum = _mm_shuffle_epi32(sum, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, sum);
}

// W[t..t+3] from the four previous message quads, oldest first.
SHA_EXTENSIONS inline __attribute__((always_inline)) __m128i nextQuad(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
    return _mm_sha256msg2_epu32(partial, w3);
}

SHA_EXTENSIONS void compressAccelerated(std::uint32_t chain[8], const std::uint8_t* data, std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&chain[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&chain[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;

        const auto* in = reinterpret_cast<const __m128i*>(data);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byteSwap);
        fourRounds(abef, cdgh, m0, 0);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byteSwap);
        fourRounds(abef, cdgh, m1, 1);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byteSwap);
        fourRounds(abef, cdgh, m2, 2);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byteSwap);
        fourRounds(abef, cdgh, m3, 3);
        for (int group = 4; group < 16; group += 4) {
            m0 = nextQuad(m0, m1, m2, m3);
            fourRounds(abef, cdgh, m0, group);
            m1 = nextQuad(m1, m2, m3, m0);
            fourRounds(abef, cdgh, m1, group + 1);
            m2 = nextQuad(m2, m3, m0, m1);
            fourRounds(abef, cdgh, m2, group + 2);
            m3 = nextQuad(m3, m0, m1, m2);
            fourRounds(abef, cdgh, m3, group + 3);
        }

        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&chain[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&chain[4]), hgfe);
}

bool detectShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!ssse3 || !sse41) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & (1u << 29)) != 0;
}

void compress(Sha256Stream& stream, const std::uint8_t* data, std::size_t blocks) {
    if (stream.engine == Sha256Engine::Accelerated) {
        compressAccelerated(stream.chain, data, blocks);
    } else {
        compressPortable(stream.chain, data, blocks);
    }
}

}  // namespace

bool cpuHasShaExtensions() {
    static const bool present = detectShaExtensions();
    return present;
}

Sha256Engine bestSha256Engine() { return cpuHasShaExtensions() ? Sha256Engine::Accelerated : Sha256Engine::Portable; }

void sha256Begin(Sha256Stream& stream, Sha256Engine engine) {
    std::memcpy(stream.chain, kInitialChain, sizeof stream.chain);
    std::memset(stream.block, 0, sizeof stream.block);
    stream.blockUsed = 0;
    stream.totalBytes = 0;
    stream.engine = (engine == Sha256Engine::Accelerated && cpuHasShaExtensions()) ? Sha256Engine::Accelerated
                                                                                   : Sha256Engine::Portable;
}

void sha256Feed(Sha256Stream& stream, const void* data, std::size_t size) {
    if (size == 0) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    stream.totalBytes += size;
    if (stream.blockUsed > 0) {
        const std::size_t take = size < 64 - stream.blockUsed ? size : 64 - stream.blockUsed;
        std::memcpy(stream.block + stream.blockUsed, bytes, take);
        stream.blockUsed += take;
        bytes += take;
        size -= take;
        if (stream.blockUsed < 64) return;
        compress(stream, stream.block, 1);
        stream.blockUsed = 0;
    }
    // Whole blocks straight from the caller's buffer: the accelerated path
    // keeps its state in registers across them.
    const std::size_t blocks = size / 64;
    if (blocks > 0) {
        compress(stream, bytes, blocks);
        bytes += blocks * 64;
        size -= blocks * 64;
    }
    if (size > 0) {
        std::memcpy(stream.block, bytes, size);
        stream.blockUsed = size;
    }
}

void sha256Finish(Sha256Stream& stream, std::uint8_t digest[32]) {
    const std::uint64_t bitLength = stream.totalBytes * 8;
    stream.block[stream.blockUsed++] = 0x80;
    if (stream.blockUsed > 56) {
        std::memset(stream.block + stream.blockUsed, 0, 64 - stream.blockUsed);
        compress(stream, stream.block, 1);
        stream.blockUsed = 0;
    }
    std::memset(stream.block + stream.blockUsed, 0, 56 - stream.blockUsed);
    for (int i = 0; i < 8; ++i) stream.block[56 + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
    compress(stream, stream.block, 1);
    stream.blockUsed = 0;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i + 0] = static_cast<std::uint8_t>(stream.chain[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(stream.chain[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(stream.chain[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(stream.chain[i]);
    }
}

void sha256Portable(const void* data, std::size_t size, std::uint8_t digest[32]) {
    Sha256Stream stream;
    sha256Begin(stream, Sha256Engine::Portable);
    sha256Feed(stream, data, size);
    sha256Finish(stream, digest);
}

bool sha256Accelerated(const void* data, std::size_t size, std::uint8_t digest[32]) {
    if (!cpuHasShaExtensions()) return false;
    Sha256Stream stream;
    sha256Begin(stream, Sha256Engine::Accelerated);
    sha256Feed(stream, data, size);
    sha256Finish(stream, digest);
    return true;
}

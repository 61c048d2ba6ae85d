// The unsigned byte sum of a buffer, wrapping modulo 2^32: the sum the
// table record keeps of each image. Summing image sets is most of the work
// of the programs that check them, so the bytes are added in wide steps and
// the last ones singly. Header only: the boot-set manager stays one program
// with no library of the project.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace fwsum {

#if defined(__SSE2__)
// x86: one instruction adds sixteen bytes (thirty-two with AVX2) into 64-bit
// lanes, which cannot overflow; independent accumulators keep the adds
// apart. Where the processor has AVX2 the sum costs about half as much.
inline uint32_t laneSum(__m128i lanes) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(lanes)) +
           static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(lanes, 8)));
}

constexpr uint32_t SUM_STEP = 64;

inline uint32_t sse2Sum(const unsigned char* bytes, uint32_t steps) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, b = zero, c = zero, d = zero;
    auto sad = [&](const unsigned char* at) {
        return _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), zero);
    };
    for (; steps > 0; --steps, bytes += SUM_STEP) {
        a = _mm_add_epi64(a, sad(bytes));
        b = _mm_add_epi64(b, sad(bytes + 16));
        c = _mm_add_epi64(c, sad(bytes + 32));
        d = _mm_add_epi64(d, sad(bytes + 48));
    }
    return laneSum(_mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(c, d)));
}

__attribute__((target("avx2"))) inline uint32_t avx2Sum(const unsigned char* bytes, uint32_t steps) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i a = zero, b = zero;
    auto sad = [&](const unsigned char* at) __attribute__((target("avx2"))) {
        return _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), zero);
    };
    for (; steps > 0; --steps, bytes += SUM_STEP) {
        a = _mm256_add_epi64(a, sad(bytes));
        b = _mm256_add_epi64(b, sad(bytes + 32));
    }
    const __m256i both = _mm256_add_epi64(a, b);
    return laneSum(_mm_add_epi64(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1)));
}

inline uint32_t wideSum(const unsigned char* bytes, uint32_t count, uint32_t* done) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    const uint32_t steps = count / SUM_STEP;
    *done = steps * SUM_STEP;
    return avx2 ? avx2Sum(bytes, steps) : sse2Sum(bytes, steps);
}
#else
// Elsewhere a word at a time: the even and the odd bytes of a 32-bit word
// are added in two 16-bit lanes, folded after each step (128 words * 2 *
// 255 < 65536). The words are loaded from aligned addresses, the bytes
// before the first one summed singly: a processor without unaligned loads
// (the ARMv5 board) would otherwise copy each word through a call to memcpy.
inline uint32_t wideSum(const unsigned char* bytes, uint32_t count, uint32_t* done) {
    const uint32_t WORD = 4, STEP = 512, LANES = 0x00FF00FFu;
    uint32_t sum = 0, i = 0;
    for (; i < count && reinterpret_cast<uintptr_t>(bytes + i) % WORD != 0; ++i)
        sum += bytes[i];
    for (; count - i >= STEP; i += STEP) {
        const auto* step = static_cast<const unsigned char*>(__builtin_assume_aligned(bytes + i, WORD));
        uint32_t lanes = 0;
        for (uint32_t w = 0; w < STEP; w += WORD) {
            uint32_t word;
            memcpy(&word, step + w, sizeof word);
            lanes += (word & LANES) + ((word >> 8) & LANES);
        }
        sum += (lanes & 0xFFFFu) + (lanes >> 16);
    }
    *done = i;
    return sum;
}
#endif

inline uint32_t byteSum(const unsigned char* bytes, uint32_t count) {
    uint32_t i = 0;
    uint32_t sum = wideSum(bytes, count, &i);
    for (; i < count; ++i)
        sum += bytes[i];
    return sum;
}

}  // namespace fwsum

// storage_bitshuffle.cpp - the bitshuffle filter (12): bits of equal
// significance grouped together, per block of elements, so that a
// compressor after it sees long runs of equal bits in smooth data.
//
// Stored format (client data: element size, block elements; both are
// filled in from the dataset's type when the dataset is created):
// - the chunk holds n = nbytes / size whole elements; they are cut into
//   blocks of B elements (B a multiple of 8), then one last block of the
//   remaining elements rounded down to a multiple of 8;
// - a block of K elements becomes size * 8 rows of K / 8 bytes: row
//   (b * 8 + j) holds bit j of byte b of every element, element i at bit
//   (i % 8) of byte (i / 8) of the row (least significant bit first);
// - the elements left over (fewer than 8) and the bytes past the last
//   whole element are copied unchanged at the end.
// The output has the input's size.
//
// Contracts: the forward and reverse passes replace *buf with a block from
// Q7allocate_memory; 0 with a record on failure.  The reverse pass fails
// when its output (the input's size) passes `limit`.  Three kernels do the
// bit transposition (portable, SSE2, AVX2, chosen once at run time from
// what the processor has); they give identical bytes.  No SQL here.
#include "storage_internal.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define Q7_BITSHUFFLE_X86 1
#endif

namespace q7::storage {

namespace {

// ---- bit transposition of one row of K bytes (K a multiple of 8) -------
// fwd: in holds K bytes; out gets 8 rows of K / 8 bytes.
// rev: the other way round.

uint64_t transpose8(uint64_t x) {
    uint64_t t;
    t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    x = x ^ t ^ (t << 28);
    return x;
}

void bits_fwd_portable(const unsigned char *in, size_t k, unsigned char *out, size_t from) {
    const size_t row = k / 8;
    for (size_t e = from; e < k; e += 8) {
        uint64_t x = 0;
        for (int t = 0; t < 8; ++t) x |= (uint64_t)in[e + t] << (8 * t);
        x = transpose8(x);
        for (int j = 0; j < 8; ++j) out[j * row + e / 8] = (unsigned char)(x >> (8 * j));
    }
}

void bits_rev_portable(const unsigned char *in, size_t k, unsigned char *out, size_t from) {
    const size_t row = k / 8;
    for (size_t e = from; e < k; e += 8) {
        uint64_t x = 0;
        for (int j = 0; j < 8; ++j) x |= (uint64_t)in[j * row + e / 8] << (8 * j);
        x = transpose8(x);
        for (int t = 0; t < 8; ++t) out[e + t] = (unsigned char)(x >> (8 * t));
    }
}

#ifdef Q7_BITSHUFFLE_X86
__attribute__((target("sse2"))) size_t bits_fwd_sse2(const unsigned char *in, size_t k, unsigned char *out,
                                                     size_t from) {
    const size_t row = k / 8;
    size_t e = from;
    for (; e + 16 <= k; e += 16) {
        __m128i x = _mm_loadu_si128((const __m128i *)(in + e));
        for (int j = 7; j >= 0; --j) {
            uint16_t m = (uint16_t)_mm_movemask_epi8(x);
            memcpy(out + j * row + e / 8, &m, 2);
            x = _mm_add_epi8(x, x);
        }
    }
    return e;
}

__attribute__((target("sse2"))) size_t bits_rev_sse2(const unsigned char *in, size_t k, unsigned char *out,
                                                     size_t from) {
    const size_t row = k / 8;
    const __m128i mask = _mm_set_epi8((char)128, 64, 32, 16, 8, 4, 2, 1, (char)128, 64, 32, 16, 8, 4, 2, 1);
    size_t e = from;
    for (; e + 16 <= k; e += 16) {
        __m128i o = _mm_setzero_si128();
        for (int j = 0; j < 8; ++j) {
            const unsigned char *p = in + j * row + e / 8;
            __m128i b = _mm_unpacklo_epi64(_mm_set1_epi8((char)p[0]), _mm_set1_epi8((char)p[1]));
            __m128i c = _mm_cmpeq_epi8(_mm_and_si128(b, mask), mask);
            o = _mm_or_si128(o, _mm_and_si128(c, _mm_set1_epi8((char)(1 << j))));
        }
        _mm_storeu_si128((__m128i *)(out + e), o);
    }
    return e;
}

__attribute__((target("avx2"))) size_t bits_fwd_avx2(const unsigned char *in, size_t k, unsigned char *out) {
    const size_t row = k / 8;
    size_t e = 0;
    for (; e + 32 <= k; e += 32) {
        __m256i x = _mm256_loadu_si256((const __m256i *)(in + e));
        for (int j = 7; j >= 0; --j) {
            uint32_t m = (uint32_t)_mm256_movemask_epi8(x);
            memcpy(out + j * row + e / 8, &m, 4);
            x = _mm256_add_epi8(x, x);
        }
    }
    return e;
}

__attribute__((target("avx2"))) size_t bits_rev_avx2(const unsigned char *in, size_t k, unsigned char *out) {
    const size_t row = k / 8;
    const __m256i mask = _mm256_set_epi8((char)128, 64, 32, 16, 8, 4, 2, 1, (char)128, 64, 32, 16, 8, 4, 2, 1,
                                         (char)128, 64, 32, 16, 8, 4, 2, 1, (char)128, 64, 32, 16, 8, 4, 2, 1);
    // Byte t / 8 of the 32-bit word spread over lanes 8 * (t / 8) .. + 7.
    const __m256i spread = _mm256_set_epi8(3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1,
                                           0, 0, 0, 0, 0, 0, 0, 0);
    size_t e = 0;
    for (; e + 32 <= k; e += 32) {
        __m256i o = _mm256_setzero_si256();
        for (int j = 0; j < 8; ++j) {
            uint32_t v;
            memcpy(&v, in + j * row + e / 8, 4);
            __m256i b = _mm256_shuffle_epi8(_mm256_set1_epi32((int)v), spread);
            __m256i c = _mm256_cmpeq_epi8(_mm256_and_si256(b, mask), mask);
            o = _mm256_or_si256(o, _mm256_and_si256(c, _mm256_set1_epi8((char)(1 << j))));
        }
        _mm256_storeu_si256((__m256i *)(out + e), o);
    }
    return e;
}
#endif

bool kernel_available(int kernel) {
    if (kernel == 0) return true;
#ifdef Q7_BITSHUFFLE_X86
    if (kernel == 1) return __builtin_cpu_supports("sse2");
    if (kernel == 2) return __builtin_cpu_supports("avx2");
#endif
    return false;
}

int best_kernel() {
    static const int best = kernel_available(2) ? 2 : kernel_available(1) ? 1 : 0;
    return best;
}

void bits_row(int kernel, bool reverse, const unsigned char *in, size_t k, unsigned char *out) {
    size_t done = 0;
#ifdef Q7_BITSHUFFLE_X86
    if (kernel == 2) done = reverse ? bits_rev_avx2(in, k, out) : bits_fwd_avx2(in, k, out);
    if (kernel >= 1) done = reverse ? bits_rev_sse2(in, k, out, done) : bits_fwd_sse2(in, k, out, done);
#else
    (void)kernel;
#endif
    if (reverse)
        bits_rev_portable(in, k, out, done);
    else
        bits_fwd_portable(in, k, out, done);
}

// One block of `count` elements (a multiple of 8); scratch holds
// size * count bytes.
void block(int kernel, bool reverse, const unsigned char *in, unsigned char *out, size_t size, size_t count,
           unsigned char *scratch) {
    if (!reverse) {
        byte_transpose(in, scratch, size, count, false);
        for (size_t b = 0; b < size; ++b) bits_row(kernel, false, scratch + b * count, count, out + b * count);
    } else {
        for (size_t b = 0; b < size; ++b) bits_row(kernel, true, in + b * count, count, scratch + b * count);
        byte_transpose(scratch, out, size, count, true);
    }
}

template <size_t S>
void transpose_fixed(const unsigned char *in, unsigned char *out, size_t n, bool reverse) {
    if (!reverse) {
        for (size_t e = 0; e < n; ++e)
            for (size_t b = 0; b < S; ++b) out[b * n + e] = in[e * S + b];
    } else {
        for (size_t e = 0; e < n; ++e)
            for (size_t b = 0; b < S; ++b) out[e * S + b] = in[b * n + e];
    }
}

constexpr uint64_t kMaxElem = 1u << 20;     // bytes of one element
constexpr uint64_t kMaxBlock = 1u << 28;    // bytes of one block

} // namespace

void byte_transpose(const unsigned char *in, unsigned char *out, size_t size, size_t n, bool reverse) {
    switch (size) {
    case 1: memcpy(out, in, n); return;
    case 2: transpose_fixed<2>(in, out, n, reverse); return;
    case 4: transpose_fixed<4>(in, out, n, reverse); return;
    case 8: transpose_fixed<8>(in, out, n, reverse); return;
    default: break;
    }
    // Other sizes: runs of 64 elements, so that reads and writes both stay
    // within a few cache lines per byte position.
    for (size_t e0 = 0; e0 < n; e0 += 64) {
        const size_t e1 = e0 + 64 < n ? e0 + 64 : n;
        for (size_t b = 0; b < size; ++b)
            for (size_t e = e0; e < e1; ++e) {
                if (!reverse)
                    out[b * n + e] = in[e * size + b];
                else
                    out[e * size + b] = in[b * n + e];
            }
    }
}

unsigned bitshuffle_default_block(unsigned elem_size) {
    unsigned n = elem_size ? (8192u / elem_size) & ~7u : 8;
    return n < 8 ? 8 : n;
}

bool bitshuffle_kernel(int kernel, bool reverse, const unsigned char *in, unsigned char *out, size_t elem_size,
                       size_t count, unsigned char *scratch) {
    if (!kernel_available(kernel) || count % 8) return false;
    block(kernel, reverse, in, out, elem_size, count, scratch);
    return true;
}

uint64_t bitshuffle_run(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                        void **buf, uint64_t limit) {
    const bool reverse = (flags & Q7Z_FLAG_REVERSE) != 0;
    uint64_t size = ncd > 0 ? cd[0] : 1;
    uint64_t per = ncd > 1 ? cd[1] : bitshuffle_default_block((unsigned)(size > UINT32_MAX ? 0 : size));
    if (size == 0 || size > kMaxElem || per == 0 || per % 8 || per * size > kMaxBlock) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "bitshuffle: element size %llu with blocks of %llu elements is not usable",
                (unsigned long long)size, (unsigned long long)per);
        return 0;
    }
    if (reverse && nbytes > limit) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "bitshuffle: the chunk decodes to more than the %llu bytes it may hold",
                (unsigned long long)limit);
        return 0;
    }
    const uint64_t n = nbytes / size;
    auto *out = (unsigned char *)Q7allocate_memory(nbytes ? nbytes : 1, 0);
    if (!out) return 0;
    uint64_t scratch_elems = n < per ? n : per;
    auto *scratch = (unsigned char *)Q7allocate_memory(scratch_elems ? scratch_elems * size : 1, 0);
    if (!scratch) {
        Q7free_memory(out);
        return 0;
    }
    const auto *in = (const unsigned char *)*buf;
    const int kernel = best_kernel();
    uint64_t e = 0;
    for (; e + per <= n; e += per) block(kernel, reverse, in + e * size, out + e * size, size, per, scratch);
    uint64_t last = (n - e) & ~(uint64_t)7;
    if (last) block(kernel, reverse, in + e * size, out + e * size, size, last, scratch);
    e += last;
    memcpy(out + e * size, in + e * size, nbytes - e * size);
    Q7free_memory(scratch);
    Q7free_memory(*buf);
    *buf = out;
    *buf_size = nbytes ? nbytes : 1;
    return nbytes;
}

} // namespace q7::storage

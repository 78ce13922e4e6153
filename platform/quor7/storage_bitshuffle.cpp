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
// when its output (the input's size) passes `limit`.  Four kernels do the
// transposition (portable, SSE2, AVX2, AVX2 with GFNI, chosen once at run
// time from what the processor has); they give identical bytes.  No SQL
// here.
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

// The 8 x 8 bit transpose of a 64-bit word (byte j, bit t to byte t, bit
// j) as three swaps of bit groups: shift, and the mask of the bits moved.
struct SwapStep {
    int shift;
    long long mask;
};
constexpr SwapStep kTranspose8[3] = {{7, 0x00AA00AA00AA00AALL}, {14, 0x0000CCCC0000CCCCLL}, {28, 0x00000000F0F0F0F0LL}};

uint64_t transpose8(uint64_t x) {
    for (const SwapStep &s : kTranspose8) {
        uint64_t t = (x ^ (x >> s.shift)) & (uint64_t)s.mask;
        x = x ^ t ^ (t << s.shift);
    }
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
// The vector kernels work on 16 columns at a time (32 with AVX2): 16
// elements of 2, 4 or 8 bytes for the byte transposition, or 16 groups of
// 8 bytes (one byte of each of the 8 bit rows) for the bit transposition.
// Both come down to the same two byte networks:
// - split: registers of 16 interleaved elements become one register per
//   byte position (rounds of taking even and odd bytes, one per doubling
//   of the element size);
// - merge: the other way round (rounds of unpacking).
// The bit kernels then transpose the 8 x 8 bits of each 64-bit lane.  A
// 256-bit register runs the same network on its two 128-bit lanes apart.
// The networks are macros so that each kernel inlines them under its own
// instruction-set target.
#define Q7_SSE2 __attribute__((target("sse2")))
#define Q7_AVX2 __attribute__((target("avx2")))
#define Q7_GFNI __attribute__((target("avx2,gfni")))
// The small loops over registers must unroll, or the registers live on
// the stack (GCC at -O2 leaves them rolled).
#define Q7_UNROLL _Pragma("GCC unroll 8")

struct Sse2 {
    using V = __m128i;
    Q7_SSE2 static V even(V a, V b) {
        const V m = _mm_set1_epi16(0xff);
        return _mm_packus_epi16(_mm_and_si128(a, m), _mm_and_si128(b, m));
    }
    Q7_SSE2 static V odd(V a, V b) { return _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)); }
    Q7_SSE2 static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    Q7_SSE2 static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    Q7_SSE2 static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
    Q7_SSE2 static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
    Q7_SSE2 static V lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
    Q7_SSE2 static V hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
    // transpose8 on each 64-bit lane.
    Q7_SSE2 static V step(V x, int s, long long m) {
        V t = _mm_and_si128(_mm_xor_si128(x, _mm_srli_epi64(x, s)), _mm_set1_epi64x(m));
        return _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi64(t, s)));
    }
    Q7_SSE2 static V bits8(V x) {
        Q7_UNROLL for (const SwapStep &s : kTranspose8) x = step(x, s.shift, s.mask);
        return x;
    }
    // A run of 16 columns: elements of `size` bytes from p, or one row.
    static constexpr size_t kRun = 16;
    Q7_SSE2 static V load_run(const unsigned char *p, size_t) { return _mm_loadu_si128((const __m128i *)p); }
    Q7_SSE2 static void store_run(unsigned char *p, size_t, V v) { _mm_storeu_si128((__m128i *)p, v); }
    Q7_SSE2 static V load_row(const unsigned char *p) { return _mm_loadu_si128((const __m128i *)p); }
    Q7_SSE2 static void store_row(unsigned char *p, V v) { _mm_storeu_si128((__m128i *)p, v); }
};

struct Avx2 {
    using V = __m256i;
    Q7_AVX2 static V even(V a, V b) {
        const V m = _mm256_set1_epi16(0xff);
        return _mm256_packus_epi16(_mm256_and_si256(a, m), _mm256_and_si256(b, m));
    }
    Q7_AVX2 static V odd(V a, V b) { return _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8)); }
    Q7_AVX2 static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
    Q7_AVX2 static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
    Q7_AVX2 static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
    Q7_AVX2 static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
    Q7_AVX2 static V lo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
    Q7_AVX2 static V hi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
    Q7_AVX2 static V step(V x, int s, long long m) {
        V t = _mm256_and_si256(_mm256_xor_si256(x, _mm256_srli_epi64(x, s)), _mm256_set1_epi64x(m));
        return _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, s)));
    }
    Q7_AVX2 static V bits8(V x) {
        Q7_UNROLL for (const SwapStep &s : kTranspose8) x = step(x, s.shift, s.mask);
        return x;
    }
    // 32 columns: lane 0 takes the first 16 (from p), lane 1 the 16 after
    // them (16 elements of `size` bytes further on).
    static constexpr size_t kRun = 32;
    Q7_AVX2 static V load_run(const unsigned char *p, size_t size) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p)),
                                       _mm_loadu_si128((const __m128i *)(p + 16 * size)), 1);
    }
    Q7_AVX2 static void store_run(unsigned char *p, size_t size, V v) {
        _mm_storeu_si128((__m128i *)p, _mm256_castsi256_si128(v));
        _mm_storeu_si128((__m128i *)(p + 16 * size), _mm256_extracti128_si256(v, 1));
    }
    Q7_AVX2 static V load_row(const unsigned char *p) { return _mm256_loadu_si256((const __m256i *)p); }
    Q7_AVX2 static void store_row(unsigned char *p, V v) { _mm256_storeu_si256((__m256i *)p, v); }
};

// With GFNI one affine instruction transposes the bits of each 64-bit
// lane: byte i, bit b of the result is the parity of (matrix byte 7 - b
// AND byte i of the other operand).  With the lane's bytes reversed as the
// matrix and the unit bytes 1 << i as the operand, that is bit i of byte b.
struct Gfni : Avx2 {
    Q7_GFNI static V bits8(V x) {
        const V reversed = _mm256_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                           13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
        const V unit = _mm256_set1_epi64x(0x8040201008040201LL);
        return _mm256_gf2p8affine_epi64_epi8(unit, _mm256_shuffle_epi8(x, reversed), 0);
    }
};

// x[i] holds elements 2i, 2i + 1 (8 bytes each); p[b] gets byte b of all 16.
#define Q7_SPLIT8(S, x, p)                                                                                            \
    do {                                                                                                              \
        S::V e_[4], o_[4]; /* bytes 0,2,4,6 and 1,3,5,7 of elements 4q .. 4q + 3 */                                   \
        Q7_UNROLL for (int q_ = 0; q_ < 4; ++q_) {                                                                    \
            e_[q_] = S::even(x[2 * q_], x[2 * q_ + 1]);                                                               \
            o_[q_] = S::odd(x[2 * q_], x[2 * q_ + 1]);                                                                \
        }                                                                                                             \
        Q7_UNROLL for (int h_ = 0; h_ < 2; ++h_) { /* elements 8h .. 8h + 7: bytes 0,4 / 2,6 / 1,5 / 3,7 */           \
            S::V ee = S::even(e_[2 * h_], e_[2 * h_ + 1]), eo = S::odd(e_[2 * h_], e_[2 * h_ + 1]);                   \
            S::V oe = S::even(o_[2 * h_], o_[2 * h_ + 1]), oo = S::odd(o_[2 * h_], o_[2 * h_ + 1]);                   \
            x[h_] = ee, x[2 + h_] = eo, x[4 + h_] = oe, x[6 + h_] = oo;                                               \
        }                                                                                                             \
        p[0] = S::even(x[0], x[1]), p[4] = S::odd(x[0], x[1]), p[2] = S::even(x[2], x[3]);                            \
        p[6] = S::odd(x[2], x[3]), p[1] = S::even(x[4], x[5]), p[5] = S::odd(x[4], x[5]);                             \
        p[3] = S::even(x[6], x[7]), p[7] = S::odd(x[6], x[7]);                                                        \
    } while (0)

// The inverse: p[b] holds byte b of 16 elements; x[i] gets elements 2i, 2i + 1.
#define Q7_MERGE8(S, p, x)                                                                                            \
    do {                                                                                                              \
        S::V a_[8], b_[8];                                                                                            \
        Q7_UNROLL for (int m_ = 0; m_ < 4; ++m_) { /* bytes 2m, 2m+1 of elements 0..7, then 8..15 */                  \
            a_[2 * m_] = S::lo8(p[2 * m_], p[2 * m_ + 1]);                                                            \
            a_[2 * m_ + 1] = S::hi8(p[2 * m_], p[2 * m_ + 1]);                                                        \
        }                                                                                                             \
        Q7_UNROLL for (int m_ = 0; m_ < 2; ++m_) /* bytes 4m .. 4m + 3 of elements 4q .. 4q + 3 */                    \
            Q7_UNROLL for (int h_ = 0; h_ < 2; ++h_) {                                                                \
                b_[4 * m_ + 2 * h_] = S::lo16(a_[4 * m_ + h_], a_[4 * m_ + 2 + h_]);                                  \
                b_[4 * m_ + 2 * h_ + 1] = S::hi16(a_[4 * m_ + h_], a_[4 * m_ + 2 + h_]);                              \
            }                                                                                                         \
        Q7_UNROLL for (int q_ = 0; q_ < 4; ++q_) {                                                                    \
            x[2 * q_] = S::lo32(b_[q_], b_[4 + q_]);                                                                  \
            x[2 * q_ + 1] = S::hi32(b_[q_], b_[4 + q_]);                                                              \
        }                                                                                                             \
    } while (0)

// Byte transposition of a run of columns at a time for the common sizes
// 2, 4 and 8, from element `from`; returns the elements done.
#define Q7_BYTES_RUNS(S)                                                                                              \
    {                                                                                                                 \
        size_t e = from;                                                                                              \
        for (; e + S::kRun <= n; e += S::kRun) {                                                                      \
            S::V x[8], p[8];                                                                                          \
            if (!reverse) {                                                                                           \
                Q7_UNROLL for (size_t i = 0; i < Size; ++i) x[i] = S::load_run(in + e * Size + 16 * i, Size);         \
                if constexpr (Size == 2) {                                                                            \
                    p[0] = S::even(x[0], x[1]), p[1] = S::odd(x[0], x[1]);                                            \
                } else if constexpr (Size == 4) {                                                                     \
                    S::V e0 = S::even(x[0], x[1]), o0 = S::odd(x[0], x[1]);                                           \
                    S::V e1 = S::even(x[2], x[3]), o1 = S::odd(x[2], x[3]);                                           \
                    p[0] = S::even(e0, e1), p[2] = S::odd(e0, e1), p[1] = S::even(o0, o1), p[3] = S::odd(o0, o1);     \
                } else {                                                                                              \
                    Q7_SPLIT8(S, x, p);                                                                               \
                }                                                                                                     \
                Q7_UNROLL for (size_t b = 0; b < Size; ++b) S::store_row(out + b * n + e, p[b]);                      \
            } else {                                                                                                  \
                Q7_UNROLL for (size_t b = 0; b < Size; ++b) p[b] = S::load_row(in + b * n + e);                       \
                if constexpr (Size == 2) {                                                                            \
                    x[0] = S::lo8(p[0], p[1]), x[1] = S::hi8(p[0], p[1]);                                             \
                } else if constexpr (Size == 4) {                                                                     \
                    S::V al = S::lo8(p[0], p[1]), ah = S::hi8(p[0], p[1]);                                            \
                    S::V bl = S::lo8(p[2], p[3]), bh = S::hi8(p[2], p[3]);                                            \
                    x[0] = S::lo16(al, bl), x[1] = S::hi16(al, bl);                                                   \
                    x[2] = S::lo16(ah, bh), x[3] = S::hi16(ah, bh);                                                   \
                } else {                                                                                              \
                    Q7_MERGE8(S, p, x);                                                                               \
                }                                                                                                     \
                Q7_UNROLL for (size_t i = 0; i < Size; ++i) S::store_run(out + e * Size + 16 * i, Size, x[i]);        \
            }                                                                                                         \
        }                                                                                                             \
        return e;                                                                                                     \
    }

template <size_t Size>
Q7_SSE2 size_t bytes_sse2(const unsigned char *in, unsigned char *out, size_t n, size_t from,
                          bool reverse) Q7_BYTES_RUNS(Sse2)
template <size_t Size>
Q7_AVX2 size_t bytes_avx2(const unsigned char *in, unsigned char *out, size_t n, size_t from,
                          bool reverse) Q7_BYTES_RUNS(Avx2)

// Bit rows: a run of columns (8 elements each) at a time, from element
// `from` (a multiple of 8); returns the elements done.  S is Sse2, Avx2 or
// Gfni.
#define Q7_BITS_RUNS(S)                                                                                               \
    {                                                                                                                 \
        const size_t row = k / 8;                                                                                     \
        size_t c = from / 8;                                                                                          \
        for (; c + S::kRun <= row; c += S::kRun) {                                                                    \
            S::V x[8], p[8];                                                                                          \
            if (!reverse) {                                                                                           \
                Q7_UNROLL for (int i = 0; i < 8; ++i) x[i] = S::bits8(S::load_run(in + 8 * c + 16 * i, 8));           \
                Q7_SPLIT8(S, x, p);                                                                                   \
                Q7_UNROLL for (int j = 0; j < 8; ++j) S::store_row(out + j * row + c, p[j]);                          \
            } else {                                                                                                  \
                Q7_UNROLL for (int j = 0; j < 8; ++j) p[j] = S::load_row(in + j * row + c);                           \
                Q7_MERGE8(S, p, x);                                                                                   \
                Q7_UNROLL for (int i = 0; i < 8; ++i) S::store_run(out + 8 * c + 16 * i, 8, S::bits8(x[i]));          \
            }                                                                                                         \
        }                                                                                                             \
        return c * 8;                                                                                                 \
    }

Q7_SSE2 size_t bits_sse2(bool reverse, const unsigned char *in, size_t k, unsigned char *out,
                         size_t from) Q7_BITS_RUNS(Sse2)
Q7_AVX2 size_t bits_avx2(bool reverse, const unsigned char *in, size_t k, unsigned char *out,
                         size_t from) Q7_BITS_RUNS(Avx2)
Q7_GFNI size_t bits_gfni(bool reverse, const unsigned char *in, size_t k, unsigned char *out,
                         size_t from) Q7_BITS_RUNS(Gfni)
#endif

bool kernel_available(int kernel) {
    if (kernel == 0) return true;
#ifdef Q7_BITSHUFFLE_X86
    if (kernel == 1) return __builtin_cpu_supports("sse2");
    if (kernel == 2) return __builtin_cpu_supports("avx2");
    if (kernel == 3) return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("gfni");
#endif
    return false;
}

int best_kernel() {
    static const int best = kernel_available(3) ? 3 : kernel_available(2) ? 2 : kernel_available(1) ? 1 : 0;
    return best;
}

void bits_row(int kernel, bool reverse, const unsigned char *in, size_t k, unsigned char *out) {
    size_t done = 0;
#ifdef Q7_BITSHUFFLE_X86
    if (kernel == 3) done = bits_gfni(reverse, in, k, out, 0);
    if (kernel == 2) done = bits_avx2(reverse, in, k, out, 0);
    if (kernel >= 1) done = bits_sse2(reverse, in, k, out, done);
#else
    (void)kernel;
#endif
    if (reverse)
        bits_rev_portable(in, k, out, done);
    else
        bits_fwd_portable(in, k, out, done);
}

template <size_t S>
void transpose_fixed(const unsigned char *in, unsigned char *out, size_t n, size_t from, bool reverse) {
    if (!reverse) {
        for (size_t e = from; e < n; ++e)
            for (size_t b = 0; b < S; ++b) out[b * n + e] = in[e * S + b];
    } else {
        for (size_t e = from; e < n; ++e)
            for (size_t b = 0; b < S; ++b) out[e * S + b] = in[b * n + e];
    }
}

// byte_transpose with a chosen kernel (the vector paths cover sizes 2, 4
// and 8: AVX2 from kernel 2 on, then SSE2, then the portable loop for the
// elements left).
void bytes_with(int kernel, const unsigned char *in, unsigned char *out, size_t size, size_t n, bool reverse) {
    size_t done = 0;
#ifdef Q7_BITSHUFFLE_X86
    if (kernel >= 2) {
        if (size == 2) done = bytes_avx2<2>(in, out, n, 0, reverse);
        if (size == 4) done = bytes_avx2<4>(in, out, n, 0, reverse);
        if (size == 8) done = bytes_avx2<8>(in, out, n, 0, reverse);
    }
    if (kernel >= 1) {
        if (size == 2) done = bytes_sse2<2>(in, out, n, done, reverse);
        if (size == 4) done = bytes_sse2<4>(in, out, n, done, reverse);
        if (size == 8) done = bytes_sse2<8>(in, out, n, done, reverse);
    }
#else
    (void)kernel;
#endif
    switch (size) {
    case 1: memcpy(out, in, n); return;
    case 2: transpose_fixed<2>(in, out, n, done, reverse); return;
    case 4: transpose_fixed<4>(in, out, n, done, reverse); return;
    case 8: transpose_fixed<8>(in, out, n, done, reverse); return;
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

// One block of `count` elements (a multiple of 8); scratch holds
// size * count bytes.
void block(int kernel, bool reverse, const unsigned char *in, unsigned char *out, size_t size, size_t count,
           unsigned char *scratch) {
    if (!reverse) {
        bytes_with(kernel, in, scratch, size, count, false);
        for (size_t b = 0; b < size; ++b) bits_row(kernel, false, scratch + b * count, count, out + b * count);
    } else {
        for (size_t b = 0; b < size; ++b) bits_row(kernel, true, in + b * count, count, scratch + b * count);
        bytes_with(kernel, scratch, out, size, count, true);
    }
}

constexpr uint64_t kMaxElem = 1u << 20;     // bytes of one element
constexpr uint64_t kMaxBlock = 1u << 28;    // bytes of one block

} // namespace

// Shuffle transposes whole chunks, far larger than the L1 cache: there the
// 16-byte path measured as fast as the 32-byte one or faster (1 MiB chunks:
// 13-25 GB/s against 11-24), while bitshuffle's blocks, which stay in the
// L1 cache, gain from AVX2 (25-50 GB/s against 15-46).
void byte_transpose(const unsigned char *in, unsigned char *out, size_t size, size_t n, bool reverse) {
    bytes_with(best_kernel() >= 1 ? 1 : 0, in, out, size, n, reverse);
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

namespace {

// Element size and elements per block from the client data; false when
// they are not usable.
bool layout(uint64_t ncd, const uint32_t *cd, uint64_t &size, uint64_t &per) {
    size = ncd > 0 ? cd[0] : 1;
    per = ncd > 1 ? cd[1] : bitshuffle_default_block((unsigned)(size > UINT32_MAX ? 0 : size));
    return !(size == 0 || size > kMaxElem || per == 0 || per % 8 || per * size > kMaxBlock);
}

// The same, with a record when they are not usable.
bool usable_layout(uint64_t ncd, const uint32_t *cd, uint64_t &size, uint64_t &per) {
    if (layout(ncd, cd, size, per)) return true;
    Q7_PUSH(Q7E_PLINE_g, Q7E_BADVALUE_g, "bitshuffle: element size %llu with blocks of %llu elements is not usable",
            (unsigned long long)size, (unsigned long long)per);
    return false;
}

// Transposes nbytes from `in` to `out` in blocks of `per` elements; the
// elements past the last multiple of 8, and the bytes past the last
// whole element, are copied.  False when no memory was left (a record).
bool transpose_all(bool reverse, const unsigned char *in, unsigned char *out, uint64_t nbytes, uint64_t size,
                   uint64_t per) {
    const uint64_t n = nbytes / size;
    uint64_t scratch_elems = n < per ? n : per;
    auto *scratch = (unsigned char *)Q7allocate_memory(scratch_elems ? scratch_elems * size : 1, 0);
    if (!scratch) return false;
    const int kernel = best_kernel();
    uint64_t e = 0;
    for (; e + per <= n; e += per) block(kernel, reverse, in + e * size, out + e * size, size, per, scratch);
    uint64_t last = (n - e) & ~(uint64_t)7;
    if (last) block(kernel, reverse, in + e * size, out + e * size, size, last, scratch);
    e += last;
    memcpy(out + e * size, in + e * size, nbytes - e * size);
    Q7free_memory(scratch);
    return true;
}

// `in` transposed into a new buffer of max(nbytes, 1) bytes; null when no
// memory was left (a record).
unsigned char *transposed(bool reverse, const void *in, uint64_t nbytes, uint64_t size, uint64_t per) {
    auto *out = (unsigned char *)Q7allocate_memory(nbytes ? nbytes : 1, 0);
    if (out && !transpose_all(reverse, (const unsigned char *)in, out, nbytes, size, per)) {
        Q7free_memory(out);
        return nullptr;
    }
    return out;
}

} // namespace

uint64_t bitshuffle_run(uint32_t flags, uint64_t ncd, const uint32_t *cd, uint64_t nbytes, uint64_t *buf_size,
                        void **buf, uint64_t limit) {
    const bool reverse = (flags & Q7Z_FLAG_REVERSE) != 0;
    uint64_t size = 0, per = 0;
    if (!usable_layout(ncd, cd, size, per)) return 0;
    if (reverse && nbytes > limit) {
        Q7_PUSH(Q7E_PLINE_g, Q7E_CANTFILTER_g, "bitshuffle: the chunk decodes to more than the %llu bytes it may hold",
                (unsigned long long)limit);
        return 0;
    }
    unsigned char *out = transposed(reverse, *buf, nbytes, size, per);
    if (!out) return 0;
    Q7free_memory(*buf);
    *buf = out;
    *buf_size = nbytes ? nbytes : 1;
    return nbytes;
}

uint64_t bitshuffle_from(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, uint64_t *out_size,
                         void **out) {
    uint64_t size = 0, per = 0;
    if (!usable_layout(ncd, cd, size, per)) return 0;
    unsigned char *to = transposed(false, in, nbytes, size, per);
    if (!to) return 0;
    *out = to;
    *out_size = nbytes ? nbytes : 1;
    return nbytes;
}

uint64_t bitshuffle_into(uint64_t ncd, const uint32_t *cd, const void *in, uint64_t nbytes, void *out,
                         uint64_t room) {
    uint64_t size = 0, per = 0;
    if (nbytes != room || !layout(ncd, cd, size, per)) return kDeclined;
    return transpose_all(true, (const unsigned char *)in, (unsigned char *)out, nbytes, size, per) ? nbytes : 0;
}

} // namespace q7::storage

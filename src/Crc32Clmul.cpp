// The folding path of the CRC-32 on x86 processors with carry-less multiplication (PCLMULQDQ):
// 64 bytes at a time in four 128-bit lanes. Only the folding routine is compiled for those
// instructions; the rest of the program runs on any x86.
#include "Crc32.h"

#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>

namespace {

// The lane's 128 bits, in the reflected bit order, are H * x^64 + L with H in the low half.
// Moving a lane n bits on multiplies H by x^(64 + n) and L by x^n modulo the polynomial; the
// constants are those powers reduced, bit-reflected into the high half of 64 bits, one power
// lower since the reflected product comes out shifted by one bit.
const long long kFold512H = 0x653D982200000000ll;             // x^575 mod P
const long long kFold512L = (long long)0xCAD38E8F00000000ull; // x^511 mod P
const long long kFold128H = 0x65673B4600000000ll;             // x^191 mod P
const long long kFold128L = (long long)0x9BA54C6F00000000ull; // x^127 mod P

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11)),
        next);
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load(const BYTE* p) {
    return _mm_loadu_si128((const __m128i*)p);
}

} // namespace

bool Crc32FoldAvailable() {
    // CPUID and its leaf 1 exist on every processor that this program runs on.
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    // Processors with the instruction have SSE2, which the routine uses beside it.
    return (c & bit_PCLMUL) != 0;
}

// A 32-bit Windows thread's stack is 4-byte aligned, while this compiler keeps 16-byte values
// there on the assumption of 16: the routine aligns its own frame.
__attribute__((target("pclmul,sse2"), force_align_arg_pointer)) size_t
Crc32Fold(uint32_t state, const BYTE* data, size_t size, BYTE remainder[16]) {
    const __m128i k512 = _mm_set_epi64x(kFold512L, kFold512H);
    const __m128i k128 = _mm_set_epi64x(kFold128L, kFold128H);
    // The running register is added to the first four bytes, as a byte-wise CRC adds it.
    __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128((int)state));
    __m128i x1 = Load(data + 16), x2 = Load(data + 32), x3 = Load(data + 48);
    const BYTE* p = data + 64;
    size_t left = size - 64;
    for (; left >= 64; left -= 64, p += 64) {
        x0 = Fold(x0, k512, Load(p));
        x1 = Fold(x1, k512, Load(p + 16));
        x2 = Fold(x2, k512, Load(p + 32));
        x3 = Fold(x3, k512, Load(p + 48));
    }
    x1 = Fold(x0, k128, x1);
    x2 = Fold(x1, k128, x2);
    x3 = Fold(x2, k128, x3);
    for (; left >= 16; left -= 16, p += 16)
        x3 = Fold(x3, k128, Load(p));
    _mm_storeu_si128((__m128i*)remainder, x3);
    return size - left;
}

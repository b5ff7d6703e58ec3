#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Crc32.h"

namespace {

// The CRC-32 by its definition, one bit at a time.
uint32_t BitwiseCrc(const BYTE* p, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

} // namespace

// Both paths at every length across the folding path's steps (64 bytes, then 16) and the
// 8-byte slices, from every start within 16 bytes, whole and continued from a running CRC;
// the definition itself held to zlib's values.
TEST(Crc32, EveryLengthAndStartOnBothPaths) {
    std::printf("[ CRC path ] %s\n", Crc32Accelerated() ? "carry-less multiplication folding"
                                                        : "portable slicing by eight");
    std::vector<BYTE> data(1 << 16);
    uint32_t seed = 1;
    for (BYTE& b : data)
        b = (BYTE)((seed = seed * 1103515245u + 12345u) >> 16);
    // zlib.crc32 of data[offset:offset + length], from python3.
    const struct {
        size_t offset, length;
        uint32_t crc;
    } zlib[] = {{0, 0, 0}, {0, 64, 0x3C04B8ABu}, {3, 129, 0x462E6461u}, {1, 65535, 0xA3C941A4u}};
    uint32_t (*const paths[])(uint32_t, const void*, size_t) = {Crc32Update, Crc32UpdatePortable};
    for (auto crc : paths) {
        SCOPED_TRACE(crc == Crc32Update ? "Crc32Update" : "Crc32UpdatePortable");
        for (const auto& z : zlib) {
            EXPECT_EQ(crc(0, data.data() + z.offset, z.length), z.crc) << z.length;
            EXPECT_EQ(BitwiseCrc(data.data() + z.offset, z.length), z.crc) << z.length;
        }
        int failures = 0;
        for (size_t offset = 0; offset < 16; offset++) {
            for (size_t length = 0; length <= 400 && failures < 5; length++) {
                const BYTE* p = data.data() + offset;
                size_t split = length / 3;
                uint32_t expected = BitwiseCrc(p, length), whole = crc(0, p, length),
                         continued = crc(crc(0, p, split), p + split, length - split);
                EXPECT_EQ(whole, expected) << offset << ", " << length;
                EXPECT_EQ(continued, expected) << offset << ", " << length << ", split";
                failures += (whole != expected) + (continued != expected);
            }
        }
    }
}

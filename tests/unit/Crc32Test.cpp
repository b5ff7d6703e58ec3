#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Crc32.h"

namespace {

// The test data: bytes of a linear congruential sequence, the same as the expected values below
// were computed over.
std::vector<BYTE> Pattern() {
    std::vector<BYTE> data(1 << 16);
    uint32_t seed = 1;
    for (BYTE& b : data) {
        seed = seed * 1103515245u + 12345u;
        b = (BYTE)(seed >> 16);
    }
    return data;
}

// The CRC-32 by its definition, one bit at a time.
uint32_t BitwiseCrc(uint32_t crc, const BYTE* p, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

typedef uint32_t (*CrcFunction)(uint32_t, const void*, size_t);
const struct {
    const char* name;
    CrcFunction crc;
} kPaths[] = {{"fastest", Crc32Update}, {"portable", Crc32UpdatePortable}};

} // namespace

TEST(Crc32, ZlibValues) {
    std::printf("[ CRC path ] %s\n", Crc32Accelerated() ? "carry-less multiplication folding"
                                                        : "portable slicing by eight");
    std::vector<BYTE> data = Pattern();
    // zlib.crc32 of data[offset:offset + length], from python3.
    const struct {
        size_t offset, length;
        uint32_t crc;
    } cases[] = {
        {0, 0, 0x00000000u},   {0, 1, 0xA0058808u},   {0, 8, 0xED114279u},
        {0, 63, 0x08360A34u},  {0, 64, 0x3C04B8ABu},  {0, 65, 0xD4885E2Au},
        {3, 129, 0x462E6461u}, {7, 400, 0x79BBE811u}, {1, 65535, 0xA3C941A4u},
    };
    for (const auto& path : kPaths) {
        EXPECT_EQ(path.crc(0, "123456789", 9), 0xCBF43926u) << path.name;
        for (const auto& c : cases) {
            EXPECT_EQ(path.crc(0, data.data() + c.offset, c.length), c.crc)
                << path.name << " at " << c.offset << ", " << c.length << " bytes";
            EXPECT_EQ(BitwiseCrc(0, data.data() + c.offset, c.length), c.crc);
        }
    }
}

// Every length across the folding path's thresholds (64 bytes, 16-byte steps, the 8-byte
// slices), from every start within 16 bytes, whole and continued from a running CRC.
TEST(Crc32, EveryLengthAndStartOnBothPaths) {
    std::vector<BYTE> data = Pattern();
    for (const auto& path : kPaths) {
        int failures = 0;
        for (size_t offset = 0; offset < 16; offset++) {
            for (size_t length = 0; length <= 400 && failures < 5; length++) {
                const BYTE* p = data.data() + offset;
                uint32_t expected = BitwiseCrc(0, p, length);
                size_t split = length / 3;
                uint32_t whole = path.crc(0, p, length);
                uint32_t continued = path.crc(path.crc(0, p, split), p + split, length - split);
                EXPECT_EQ(whole, expected) << path.name << " at " << offset << ", " << length;
                EXPECT_EQ(continued, expected)
                    << path.name << " at " << offset << ", " << length << " split at " << split;
                failures += (whole != expected) + (continued != expected);
            }
        }
    }
}

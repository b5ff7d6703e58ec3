#include "Crc32.h"

#include "File.h"

namespace {

// Slicing by eight: table k gives the register contribution of a byte followed by k zero bytes.
// Built at the first use rather than stored, so that the launcher's file stays small.
uint32_t tables[8][256];
bool tablesBuilt = false;
bool foldAvailable = false;

// The tables, and whether the processor can fold.
void Prepare() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][i] = c;
    }
    for (int k = 1; k < 8; k++)
        for (int i = 0; i < 256; i++)
            tables[k][i] = tables[k - 1][i] >> 8 ^ tables[0][tables[k - 1][i] & 0xFF];
    foldAvailable = Crc32FoldAvailable();
    tablesBuilt = true;
}

// The register after size more bytes, eight at a time.
uint32_t Slice8(uint32_t state, const BYTE* p, size_t size) {
    if (!tablesBuilt) Prepare();
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t one = state ^ DecodeUINT(p), two = DecodeUINT(p + 4);
        state = tables[7][one & 0xFF] ^ tables[6][one >> 8 & 0xFF] ^ tables[5][one >> 16 & 0xFF] ^
                tables[4][one >> 24] ^ tables[3][two & 0xFF] ^ tables[2][two >> 8 & 0xFF] ^
                tables[1][two >> 16 & 0xFF] ^ tables[0][two >> 24];
    }
    for (; size; size--, p++)
        state = tables[0][(state ^ *p) & 0xFF] ^ state >> 8;
    return state;
}

} // namespace

uint32_t Crc32UpdatePortable(uint32_t crc, const void* data, size_t size) {
    return ~Slice8(~crc, (const BYTE*)data, size);
}

bool Crc32Accelerated() {
    if (!tablesBuilt) Prepare();
    return foldAvailable;
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
    const BYTE* p = (const BYTE*)data;
    uint32_t state = ~crc;
    if (size >= 64 && Crc32Accelerated()) {
        BYTE remainder[16];
        size_t taken = Crc32Fold(state, p, size, remainder);
        state = Slice8(0, remainder, sizeof remainder);
        p += taken;
        size -= taken;
    }
    return ~Slice8(state, p, size);
}

// Processors without the folding path: the CRC-32 takes the portable one.
#include "Crc32.h"

bool Crc32FoldAvailable() {
    return false;
}

size_t Crc32Fold(uint32_t, const BYTE*, size_t, BYTE*) {
    return 0;
}

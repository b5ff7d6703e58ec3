// CRC-32 as zlib computes it (the IEEE polynomial, reflected, initial and final value
// 0xFFFFFFFF): the check value of the payload, shared by the launcher and the pack tool.
#pragma once

#include "OS.h"

// Continues a running CRC over size more bytes; start with crc 0. Takes the processor's
// carry-less multiplication where it has one.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);
// The same on the portable path alone, whatever the processor offers.
uint32_t Crc32UpdatePortable(uint32_t crc, const void* data, size_t size);
// True when Crc32Update folds with carry-less multiplication on this processor.
bool Crc32Accelerated();

// The folding path, in a unit of its own that the build chooses for the processor (the
// instructions it needs are compiled for that routine only).
// True when the processor can run Crc32Fold.
bool Crc32FoldAvailable();
// Folds the bytes of data, size at least 64, with the running register state (the CRC's
// inverted value) into 16 bytes whose CRC from a zero register is the register after them;
// returns how many bytes it took: size rounded down to a multiple of 16.
size_t Crc32Fold(uint32_t state, const BYTE* data, size_t size, BYTE remainder[16]);

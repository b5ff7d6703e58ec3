// CRC-32 as zlib computes it (IEEE polynomial, reflected, initial and final value 0xFFFFFFFF).
#pragma once

#include <cstddef>
#include <cstdint>

// Continues a running CRC over size more bytes; start with crc 0.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

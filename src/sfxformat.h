// The records of the payload appended behind the launcher's image. Every integer is an unsigned
// 32-bit little-endian value; nothing is aligned.
//
//   H + 0        Signature (19 bytes) and Version (1 byte)
//   H + 20       numberOfFiles N
//   H + 24       ExecutionInfo: Flags, ExecutableStringId, ArgsStringId
//   H + 36       N x FileInformation: Size, NameStringId
//   H + 36 + 8N  required-files count R, then R entry ids
//   S            N + 2 strings, each a length and its bytes: names 0..N-1, then autorun path/args
//   D            the entries' data in table order
//   D + sum      SFXFooter: PackageSize (bytes from H to the footer), CRC32
#pragma once

#include "OS.h"

const UINT SIGNATURE_LENGTH = 19;
extern const char SIGNATURE[20];
const BYTE SFX_MAX_VERSION = 1;
const UINT SFX_FOOTER_SIZE = 8;
const UINT SFX_HEADER_SIZE = 24;
const UINT SFX_EXECUTION_INFO_SIZE = 12;
const UINT SFX_FILE_INFORMATION_SIZE = 8;
// Offsets and sizes are 32-bit and seeks take signed 32-bit distances: a launcher file stays
// below 2 GiB.
const UINT SFX_MAX_FILE_SIZE = 0x7FFFFFFF;

// Autorun flags.
const UINT SFX_FLAG_JAVA = 1;
const UINT SFX_FLAG_JAVAX = 2;

struct SFXFooter {
    UINT PackageSize;
    UINT CRC32;
};

struct SFXHeader {
    char Signature[19];
    BYTE Version;
    UINT numberOfFiles;
};

struct ExecutionInfo {
    UINT Flags;
    UINT ExecutableStringId;
    UINT ArgsStringId;
};

struct FileInformation {
    UINT Size;
    UINT NameStringId;
};

// The wrapper of one platform file handle: the launcher's only way to touch files.
#pragma once

#include "OS.h"

// A 32-bit value stored little-endian, whatever the host's byte order.
inline UINT DecodeUINT(const BYTE* b) {
    return (UINT)b[0] | (UINT)b[1] << 8 | (UINT)b[2] << 16 | (UINT)b[3] << 24;
}

class File {
  public:
    File(const char* filePath, bool read);
    ~File();

    static File* Open(const char* filePath);
    static File* Create(const char* filePath);

    bool Seek(File* file, int32_t position, int origin);
    bool Write(File* file, const BYTE* buffer, UINT bytesToWrite);
    BOOL Close(File* file);
    UINT Read(File* file, BYTE* buffer, UINT bytesToRead);
    UINT GetCurentPos(File* file);
    // 0xFFFFFFFF also when fewer than 4 bytes could be read.
    UINT ReadUINT(File* file);
    // The same, telling a short read apart from a stored 0xFFFFFFFF.
    bool ReadUINT(File* file, UINT* value);
    bool Skip(File* file, int32_t bytesToSkip);
    UINT GetSize();

    static bool CreateDirectoryA(const char* name);

    bool _closed;
    OS::Handle _file;
};

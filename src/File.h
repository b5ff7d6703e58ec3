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
    // makeFolder false: the caller has made sure that the file's folder exists.
    static File* Create(const char* filePath, bool makeFolder = true);

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

    // A file opened for reading (the launcher's own) keeps what its handle is known to hold, so
    // that calls which would change nothing are left out: the size is asked once, and a seek is
    // made only before a read that does not continue where the last one ended.
    bool _readOnly;
    bool _positionKnown;
    bool _sizeKnown;
    UINT _size;
    // Where the next read starts, and where the platform's file position stands.
    UINT _position;
    UINT _platformPosition;

  private:
    void Opened(bool readOnly);
    bool PlatformSeek(int32_t position, int origin);
};

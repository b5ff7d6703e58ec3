#include "File.h"

#include "Path.h"
#include "System.h"

File::File(const char* filePath, bool read) : _closed(false), _file(OS::kInvalidHandle) {
    char* folder = Path::GetFileFolder(filePath);
    if (folder) OS::CreateFolderTree(folder);
    System::SafeFreeMemory(folder);
    _file = OS::FileOpen(filePath, read ? OS::kReadExisting : OS::kWriteExisting);
}

File::~File() {
    if (!_closed) OS::FileClose(_file);
}

File* File::Open(const char* filePath) {
    if (!filePath) return 0;
    File* file = (File*)System::SafeAllocMemory(sizeof(File));
    if (!file) return 0;
    file->_closed = false;
    file->_file = OS::FileOpen(filePath, OS::kReadExisting);
    if (file->_file == OS::kInvalidHandle) {
        System::SafeFreeMemory(file);
        return 0;
    }
    return file;
}

File* File::Create(const char* filePath) {
    if (!filePath) return 0;
    char* folder = Path::GetFileFolder(filePath);
    File* file = (File*)System::SafeAllocMemory(sizeof(File));
    if (folder) CreateDirectoryA(folder);
    System::SafeFreeMemory(folder);
    if (!file) return 0;
    file->_closed = false;
    file->_file = OS::FileOpen(filePath, OS::kCreateAlways);
    if (file->_file == OS::kInvalidHandle) {
        file->_closed = true;
        System::SafeFreeMemory(file);
        return 0;
    }
    return file;
}

bool File::Seek(File* file, int32_t position, int origin) {
    if (file->_file == OS::kNullHandle || file->_closed) return false;
    UINT newPosition;
    return OS::FileSeek(file->_file, position, origin, &newPosition);
}

bool File::Write(File* file, const BYTE* buffer, UINT bytesToWrite) {
    if (file->_file == OS::kNullHandle || file->_closed) return false;
    if (bytesToWrite == 0) return true;
    UINT written = 0;
    OS::FileWrite(file->_file, buffer, bytesToWrite, &written);
    return written == bytesToWrite;
}

BOOL File::Close(File* file) {
    if (file->_closed) return FALSE;
    BOOL result = OS::FileClose(file->_file) ? TRUE : FALSE;
    file->_file = OS::kNullHandle;
    file->_closed = true;
    return result;
}

UINT File::Read(File* file, BYTE* buffer, UINT bytesToRead) {
    if (bytesToRead == 0) return 0;
    if (!buffer) return bytesToRead + 1;
    if (file->_file == OS::kNullHandle || file->_closed) return bytesToRead + 2;
    UINT done = 0;
    if (!OS::FileRead(file->_file, buffer, bytesToRead, &done)) return 0;
    return done;
}

UINT File::GetCurentPos(File* file) {
    if (file->_file == OS::kNullHandle || file->_closed) return 0xFFFFFFFF;
    UINT position;
    return OS::FileSeek(file->_file, 0, 1, &position) ? position : 0xFFFFFFFF;
}

bool File::ReadUINT(File* file, UINT* value) {
    *value = 0xFFFFFFFF;
    if (file->_file == OS::kNullHandle || file->_closed) return false;
    BYTE bytes[4];
    if (Read(file, bytes, 4) != 4) return false;
    *value = DecodeUINT(bytes);
    return true;
}

UINT File::ReadUINT(File* file) {
    UINT value;
    ReadUINT(file, &value);
    return value;
}

bool File::Skip(File* file, int32_t bytesToSkip) {
    return Seek(file, bytesToSkip, 1);
}

UINT File::GetSize() {
    UINT size;
    return OS::FileSize(_file, &size) ? size : 0xFFFFFFFF;
}

bool File::CreateDirectoryA(const char* name) {
    return OS::CreateFolderTree(name) != OS::kFolderFailed;
}

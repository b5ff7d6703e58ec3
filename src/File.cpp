#include "File.h"

#include "Path.h"
#include "System.h"

// The furthest position that a seek from the start reaches on every platform of the format.
const UINT kMaxSeekTarget = 0x7FFFFFFF;

File::File(const char* filePath, bool read) : _closed(false), _file(OS::kInvalidHandle) {
    char* folder = Path::GetFileFolder(filePath);
    if (folder) OS::CreateFolderTree(folder);
    System::SafeFreeMemory(folder);
    _file = OS::FileOpen(filePath, read ? OS::kReadExisting : OS::kWriteExisting);
    Opened(read);
}

void File::Opened(bool readOnly) {
    _readOnly = readOnly;
    _sizeKnown = false;
    _size = 0;
    // A new handle stands at the start; a failed open knows nothing, so its calls still fail.
    _positionKnown = readOnly && _file != OS::kInvalidHandle;
    _position = _platformPosition = 0;
}

bool File::PlatformSeek(int32_t position, int origin) {
    UINT newPosition;
    if (!OS::FileSeek(_file, position, origin, &newPosition)) return false;
    _position = _platformPosition = newPosition;
    _positionKnown = _readOnly;
    return true;
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
    file->Opened(true);
    return file;
}

File* File::Create(const char* filePath, bool makeFolder) {
    if (!filePath) return 0;
    char* folder = makeFolder ? Path::GetFileFolder(filePath) : 0;
    File* file = (File*)System::SafeAllocMemory(sizeof(File));
    if (folder) CreateDirectoryA(folder);
    System::SafeFreeMemory(folder);
    if (!file) return 0;
    file->_closed = false;
    file->_file = OS::FileOpen(filePath, OS::kCreateAlways);
    file->Opened(false);
    if (file->_file == OS::kInvalidHandle) {
        file->_closed = true;
        System::SafeFreeMemory(file);
        return 0;
    }
    return file;
}

bool File::Seek(File* file, int32_t position, int origin) {
    if (file->_file == OS::kNullHandle || file->_closed) return false;
    if (file->_positionKnown && origin != 2) {
        // A target in reach from the start cannot fail on an open handle: it is taken as the
        // next read's start, and the platform is asked only if that read needs it.
        int64_t target = origin == 0 ? position : (int64_t)file->_position + position;
        if (target < 0) return false;
        if (target <= kMaxSeekTarget) {
            file->_position = (UINT)target;
            return true;
        }
        if (origin == 1 && file->_position != file->_platformPosition &&
            !file->PlatformSeek((int32_t)file->_position, 0))
            return false;
    }
    return file->PlatformSeek(position, origin);
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
    file->_positionKnown = file->_sizeKnown = false;
    file->_file = OS::kNullHandle;
    file->_closed = true;
    return result;
}

UINT File::Read(File* file, BYTE* buffer, UINT bytesToRead) {
    if (bytesToRead == 0) return 0;
    if (!buffer) return bytesToRead + 1;
    if (file->_file == OS::kNullHandle || file->_closed) return bytesToRead + 2;
    if (file->_positionKnown && file->_position != file->_platformPosition &&
        !file->PlatformSeek((int32_t)file->_position, 0))
        return 0;
    UINT done = 0;
    bool ok = OS::FileRead(file->_file, buffer, bytesToRead, &done);
    if (file->_positionKnown) {
        // After a failed read, or beyond 32 bits, the platform is asked again.
        uint64_t next = (uint64_t)file->_position + done;
        file->_positionKnown = ok && next <= 0xFFFFFFFEu;
        file->_position = file->_platformPosition = (UINT)next;
    }
    return ok ? done : 0;
}

UINT File::GetCurentPos(File* file) {
    if (file->_file == OS::kNullHandle || file->_closed) return 0xFFFFFFFF;
    if (file->_positionKnown) return file->_position;
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
    if (_sizeKnown) return _size;
    UINT size;
    if (!OS::FileSize(_file, &size)) return 0xFFFFFFFF;
    // A file that this launcher only reads keeps its size while the launcher runs.
    _sizeKnown = _readOnly;
    _size = size;
    return size;
}

bool File::CreateDirectoryA(const char* name) {
    return OS::CreateFolderTree(name) != OS::kFolderFailed;
}

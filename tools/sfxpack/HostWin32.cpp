#include "Host.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace sfxpack {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

FileIdentity IdentityOfHandle(HANDLE handle) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info)) {
        identity.volume = info.dwVolumeSerialNumber;
        identity.index = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
        identity.known = true;
    }
    return identity;
}

std::string ErrorText(DWORD code) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  code, 0, text, sizeof text, NULL);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' '))
        length--;
    if (length == 0) return "system error " + std::to_string(code);
    return std::string(text, length);
}

} // namespace

OutputFile::~OutputFile() {
    if (handle != -1) CloseHandle((HANDLE)handle);
    if (!temporaryPath.empty()) DeleteFileA(temporaryPath.c_str());
}

void Host::BinaryStandardOutput() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

std::string Host::ArgumentText(const std::string& argument) {
    int wide = MultiByteToWideChar(CP_ACP, 0, argument.data(), (int)argument.size(), nullptr, 0);
    std::wstring text(wide, L'\0');
    MultiByteToWideChar(CP_ACP, 0, argument.data(), (int)argument.size(), &text[0], wide);
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

std::string Host::LastError() {
    return ErrorText(GetLastError());
}

std::string Host::Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (IsSeparator(folder.back()) || (folder.size() == 2 && folder[1] == ':'))
        return folder + name;
    return folder + "\\" + name;
}

std::string Host::FolderOf(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) {
        // "C:setup.exe" lies in the current folder of drive C.
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    }
    // The root of a drive or of the current drive keeps its separator.
    if (separator == 0 || (separator == 2 && path[1] == ':')) return path.substr(0, separator + 1);
    return path.substr(0, separator);
}

bool Host::IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Host::Kind(const std::string& path, EntryKind* kind, uint64_t* size, std::string* error) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        *error = LastError();
        return false;
    }
    bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *kind = folder ? EntryKind::kFolder : EntryKind::kFile;
    *size = folder ? 0 : (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
    return true;
}

bool Host::ListFolder(const std::string& folder, std::vector<FolderEntry>* entries,
                      std::string* error) {
    entries->clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(Join(folder, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        *error = folder + ": " + LastError();
        return false;
    }
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        FolderEntry entry;
        entry.name = name;
        bool linked = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.kind = linked ? EntryKind::kLinkedFolder : EntryKind::kFolder;
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
            entry.kind = EntryKind::kOther;
        } else {
            entry.kind = EntryKind::kFile;
            entry.size = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
        }
        entries->push_back(entry);
    } while (FindNextFileA(search, &found));
    DWORD code = GetLastError();
    FindClose(search);
    if (code != ERROR_NO_MORE_FILES) {
        *error = folder + ": " + ErrorText(code);
        return false;
    }
    return true;
}

FileIdentity Host::IdentityOf(const std::string& path) {
    HANDLE handle =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    FileIdentity identity = IdentityOfHandle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return identity;
}

FileIdentity Host::IdentityOf(const OutputFile& file) {
    return file.handle == -1 ? FileIdentity() : IdentityOfHandle((HANDLE)file.handle);
}

bool Host::CreateOutput(const std::string& target, OutputFile* file, std::string* error) {
    std::string folder = FolderOf(target);
    size_t separator = target.find_last_of("\\/:");
    std::string base = separator == std::string::npos ? target : target.substr(separator + 1);
    DWORD process = GetCurrentProcessId();
    for (unsigned attempt = 0; attempt < 100; attempt++) {
        char suffix[40];
        snprintf(suffix, sizeof suffix, ".%lu-%u.tmp", (unsigned long)process,
                 (unsigned)(GetTickCount() + attempt));
        std::string path = Join(folder, "." + base + suffix);
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        if (handle != INVALID_HANDLE_VALUE) {
            file->handle = (intptr_t)handle;
            file->temporaryPath = path;
            file->target = target;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    *error = target + ": cannot create a file in '" + folder + "': " + LastError();
    return false;
}

bool Host::Write(OutputFile* file, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD piece = size > (1u << 30) ? (1u << 30) : (DWORD)size, done = 0;
        if (!WriteFile((HANDLE)file->handle, bytes, piece, &done, NULL) || done == 0) return false;
        bytes += done;
        size -= done;
    }
    return true;
}

bool Host::CommitOutput(OutputFile* file, const std::string&, std::string* error) {
    // Windows keeps no permission bits that the launcher's file would carry over.
    HANDLE handle = (HANDLE)file->handle;
    bool flushed = FlushFileBuffers(handle) != 0;
    file->handle = -1;
    if (!CloseHandle(handle) || !flushed) {
        *error = file->target + ": cannot be written: " + LastError();
        return false;
    }
    if (!MoveFileExA(file->temporaryPath.c_str(), file->target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = file->target + ": cannot be replaced: " + LastError();
        return false;
    }
    file->temporaryPath.clear();
    return true;
}

} // namespace sfxpack

// The path forms of the Win32 platform layer (see Win32Path.h).
#include "Win32Path.h"

namespace OS {
namespace Win32 {

namespace {

bool IsExtended(const WCHAR* path) {
    return path[0] == '\\' && path[1] == '\\' && (path[2] == '?' || path[2] == '.') &&
           path[3] == '\\';
}

// The size in bytes, NUL included, of the ANSI form of text; 0 when the code page cannot hold it
// exactly (no best-fit substitutes either: "ş" would become another folder's "s").
UINT ExactAnsiSize(const WCHAR* text) {
    // A UTF-8 code page holds every text and takes neither the flag nor the question.
    if (GetACP() == CP_UTF8) return (UINT)WideCharToMultiByte(CP_UTF8, 0, text, -1, 0, 0, 0, 0);
    BOOL usedDefault = FALSE;
    int size =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, NULL, 0, NULL, &usedDefault);
    return usedDefault ? 0 : (UINT)size;
}

// The short form of an existing path as a new heap text, or null.
WCHAR* ShortPath(const WCHAR* path) {
    DWORD needed = GetShortPathNameW(path, NULL, 0);
    WCHAR* shortForm = needed ? static_cast<WCHAR*>(Alloc(needed * sizeof(WCHAR))) : NULL;
    DWORD written = shortForm ? GetShortPathNameW(path, shortForm, needed) : 0;
    if (shortForm != NULL && (written == 0 || written >= needed)) {
        Free(shortForm);
        return NULL;
    }
    return shortForm;
}

// How many folder levels the removal descends: a bound on its stack.
const UINT kRemovalDepth = 500;

// Deletes the entries of the folder in path[0, length) whose paths, in the ordinary form (the
// \\?\ form less extra characters), reach kLongPath characters, with everything below them.
void RemoveLongEntries(WCHAR* path, UINT length, UINT extra, UINT depth) {
    if (depth == 0 || length + 3 > kWidePathMax) return;
    lstrcpyW(path + length, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    path[length] = 0;
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const WCHAR* name = found.cFileName;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        UINT end = length + 1 + (UINT)lstrlenW(name);
        if (end + 3 > kWidePathMax) continue;
        path[length] = '\\';
        lstrcpyW(path + length + 1, name);
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && !link) RemoveLongEntries(path, end, extra, depth - 1);
        if (end - extra < kLongPath) continue;
        if (folder) {
            RemoveDirectoryW(path);
        } else {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    path[length] = 0;
}

} // namespace

WCHAR* WidePath(const char* path, bool extended) {
    int length = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
    WCHAR* wide = length > 0 ? static_cast<WCHAR*>(Alloc((UINT)length * sizeof(WCHAR))) : NULL;
    if (wide == NULL) return NULL;
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide, length);
    if ((!extended && (UINT)length - 1 < kLongPath) || IsExtended(wide)) return wide;

    // The full path is written behind room for the prefix, then moved up to it.
    const UINT room = 8;
    DWORD needed = GetFullPathNameW(wide, 0, NULL, NULL);
    WCHAR* full = needed ? static_cast<WCHAR*>(Alloc((needed + room) * sizeof(WCHAR))) : NULL;
    DWORD written = full ? GetFullPathNameW(wide, needed, full + room, NULL) : 0;
    Free(wide);
    if (written == 0 || written >= needed) {
        Free(full);
        return NULL;
    }
    // "\\?\UNC" takes the place of the first "\" of a network path's "\\".
    const WCHAR* source = full + room;
    bool network = !IsExtended(source) && source[0] == '\\' && source[1] == '\\';
    const WCHAR* prefix = IsExtended(source) ? L"" : network ? L"\\\\?\\UNC" : L"\\\\?\\";
    if (network) source++;
    WCHAR* to = full;
    for (const WCHAR* c = prefix; *c; c++)
        *to++ = *c;
    // The copy runs forwards to a place before its source.
    do {
        *to++ = *source;
    } while (*source++);
    return full;
}

char* AnsiForm(const WCHAR* path) {
    UINT size = ExactAnsiSize(path);
    WCHAR* shortForm = NULL;
    if (size == 0) {
        shortForm = ShortPath(path);
        path = shortForm;
        size = shortForm ? ExactAnsiSize(shortForm) : 0;
    }
    char* ansi = size ? static_cast<char*>(Alloc(size)) : NULL;
    if (ansi != NULL) WideCharToMultiByte(CP_ACP, 0, path, -1, ansi, (int)size, NULL, NULL);
    Free(shortForm);
    return ansi;
}

char* CommandLineWithAnsiProgram(const char* ansi, const WCHAR* wide) {
    UINT quote = wide[0] == '"' ? 1 : 0;
    UINT wideEnd = ProgramPathEnd(wide), ansiEnd = ProgramPathEnd(ansi);
    WCHAR* program = static_cast<WCHAR*>(Alloc((wideEnd + 1) * sizeof(WCHAR)));
    if (program == NULL) return NULL;
    lstrcpynW(program, wide + quote, (int)(wideEnd - quote + 1));
    char* form = ExactAnsiSize(program) == 0 ? AnsiForm(program) : NULL;
    Free(program);
    if (form == NULL) return NULL;
    UINT size = quote + (UINT)lstrlenA(form) + (UINT)lstrlenA(ansi + ansiEnd) + 1;
    char* line = static_cast<char*>(Alloc(size));
    if (line != NULL) {
        lstrcpyA(line, quote ? "\"" : "");
        lstrcatA(line, form);
        lstrcatA(line, ansi + ansiEnd);
    }
    Free(form);
    return line;
}

void RemoveLongParts(const char* folder) {
    WCHAR* extended = WidePath(folder, true);
    WCHAR* path = extended ? static_cast<WCHAR*>(Alloc(kWidePathMax * sizeof(WCHAR))) : NULL;
    UINT length = extended ? (UINT)lstrlenW(extended) : 0;
    if (path != NULL && length < kWidePathMax) {
        lstrcpyW(path, extended);
        // Without its closing separator the folder's entries are appended after one.
        if (length > 0 && path[length - 1] == '\\') path[--length] = 0;
        // The ordinary form of \\?\C:\ is C:\, that of \\?\UNC\server is \\server.
        UINT extra = path[4] == 'U' && path[5] == 'N' && path[6] == 'C' ? 6 : 4;
        RemoveLongEntries(path, length, extra, kRemovalDepth);
    }
    Free(path);
    Free(extended);
}

} // namespace Win32
} // namespace OS

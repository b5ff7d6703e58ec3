#include "Path.h"

#include "String.h"
#include "System.h"

void Replace(char* str, char oldValue, char newValue) {
    UINT length = String::StrLen(str);
    for (UINT i = 0; i < length; i++)
        if (str[i] == oldValue) str[i] = newValue;
}

char* Path::Combine(const char* path1, const char* path2) {
    UINT path1Length = String::StrLen(path1), path2Length = String::StrLen(path2);
    // An empty folder adds nothing: the name stays relative to the current directory.
    bool appendPathSeparator = path1Length > 0 && path1[path1Length - 1] != OS::kSeparator;
    char* result = (char*)System::SafeAllocMemory(path1Length + path2Length + 2);
    if (!result) return 0;
    String::StrCpy(result, path1);
    if (appendPathSeparator) result[path1Length] = OS::kSeparator;
    char* tmpPath2 = String::StrDup(path2);
    if (!tmpPath2) {
        System::SafeFreeMemory(result);
        return 0;
    }
    // Stored names may use either separator; the platform's own is the one that counts.
    Replace(tmpPath2, '/', OS::kSeparator);
    Replace(tmpPath2, '\\', OS::kSeparator);
    String::StrCat(result, tmpPath2);
    System::SafeFreeMemory(tmpPath2);
    return result;
}

char* Path::GetFileFolder(const char* filePath) {
    int len = (int)String::StrLen(filePath);
    for (int p = len - 2; p >= 0; p--) {
        if (filePath[p] != OS::kSeparator) continue;
        char* result = (char*)System::SafeAllocMemory((UINT)p + 2);
        if (result) String::StrNCpy(result, filePath, (UINT)p + 1);
        return result;
    }
    return 0;
}

bool Path::IsDirectory(const char* path) {
    UINT length = String::StrLen(path);
    return length > 0 && path[length - 1] == OS::kSeparator;
}

namespace {
// "..", and what Windows trims to it: a component of dots and blanks with two dots or more.
bool IsParentComponent(const char* begin, const char* end) {
    int dots = 0;
    for (const char* c = begin; c < end; c++) {
        if (*c == '.')
            dots++;
        else if (*c != ' ')
            return false;
    }
    return dots >= 2;
}
} // namespace

bool Path::StaysInside(const char* name) {
    if (!name || name[0] == '\\' || name[0] == '/') return false;
    const char* component = name;
    for (const char* c = name;; c++) {
        // A drive or a stream where the separator is the backslash; a plain character elsewhere.
        if (*c == ':' && OS::kSeparator == '\\') return false;
        if (*c == '\\' || *c == '/' || *c == 0) {
            if (IsParentComponent(component, c)) return false;
            if (*c == 0) return true;
            component = c + 1;
        }
    }
}

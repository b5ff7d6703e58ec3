/* versionprobe: what Windows' own resource functions read from an executable, for the identity
 * tests. Prints one line per fact to standard output:
 *   fixed=FILE-VERSION PRODUCT-VERSION     (a.b.c.d each, from VS_FIXEDFILEINFO)
 *   translation=LANGUAGE CODEPAGE          (hex)
 *   string.KEY=VALUE                       (UTF-8, for each KEY on the command line)
 *   group.ID=COUNT BYTES                   (the icon group resource, found by id)
 *   icon.ID=WIDTHxHEIGHT                   (the icon that Windows builds from that group)
 *   manifest=BYTES
 * versionprobe FILE.exe KEY... ; exit status 1 when the version information cannot be read. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static void PrintUtf8(const wchar_t* text) {
    char utf8[4096];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    fputs(utf8, stdout);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(argv[1], &ignored);
    void* info = size ? malloc(size) : NULL;
    if (!info || !GetFileVersionInfoW(argv[1], 0, size, info)) {
        printf("no version information (%lu)\n", GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (VerQueryValueW(info, L"\\", (void**)&fixed, &length) && length >= sizeof *fixed)
        printf("fixed=%lu.%lu.%lu.%lu %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
               fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
               fixed->dwFileVersionLS & 0xFFFF, fixed->dwProductVersionMS >> 16,
               fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
               fixed->dwProductVersionLS & 0xFFFF);
    WORD* translation = NULL;
    if (VerQueryValueW(info, L"\\VarFileInfo\\Translation", (void**)&translation, &length) &&
        length >= 4)
        printf("translation=%04x %04x\n", translation[0], translation[1]);
    for (int i = 2; i < argc; i++) {
        wchar_t query[512];
        wchar_t* value = NULL;
        _snwprintf(query, 512, L"\\StringFileInfo\\040904b0\\%ls", argv[i]);
        query[511] = 0;
        fputs("string.", stdout);
        PrintUtf8(argv[i]);
        fputs("=", stdout);
        if (VerQueryValueW(info, query, (void**)&value, &length))
            PrintUtf8(value);
        else
            fputs("(none)", stdout);
        fputs("\n", stdout);
    }

    HMODULE module = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    static const int kGroups[] = {121, 401};
    for (int g = 0; module && g < 2; g++) {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kGroups[g]), (LPCWSTR)RT_GROUP_ICON);
        BYTE* group = found ? (BYTE*)LockResource(LoadResource(module, found)) : NULL;
        if (!group) {
            printf("group.%d=(none)\n", kGroups[g]);
            continue;
        }
        printf("group.%d=%u %lu\n", kGroups[g], *(WORD*)(group + 4), SizeofResource(module, found));
        int id = LookupIconIdFromDirectoryEx(group, TRUE, 32, 32, LR_DEFAULTCOLOR);
        HRSRC image = id ? FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_ICON) : NULL;
        HICON icon =
            image ? CreateIconFromResourceEx((BYTE*)LockResource(LoadResource(module, image)),
                                             SizeofResource(module, image), TRUE, 0x00030000, 0, 0,
                                             LR_DEFAULTCOLOR)
                  : NULL;
        ICONINFO details;
        BITMAP bitmap;
        if (icon && GetIconInfo(icon, &details) &&
            GetObjectW(details.hbmColor ? details.hbmColor : details.hbmMask, sizeof bitmap,
                       &bitmap))
            printf("icon.%d=%ldx%ld\n", kGroups[g], bitmap.bmWidth, bitmap.bmHeight);
        else
            printf("icon.%d=(none)\n", kGroups[g]);
    }
    HRSRC manifest =
        module ? FindResourceW(module, MAKEINTRESOURCEW(1), (LPCWSTR)RT_MANIFEST) : NULL;
    printf("manifest=%lu\n", manifest ? SizeofResource(module, manifest) : 0);
    return 0;
}

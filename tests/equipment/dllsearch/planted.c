/* planted: a library that stands for one planted beside an installer. When a process loads it,
 * it leaves "<its own path>.loaded" beside itself, holding the loading program's path. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 8], program[MAX_PATH];
        DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
        DWORD programLength = GetModuleFileNameA(NULL, program, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcpyA(path + length, ".loaded");
            HANDLE marker =
                CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
            if (marker != INVALID_HANDLE_VALUE) {
                DWORD written;
                WriteFile(marker, program, programLength, &written, NULL);
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}

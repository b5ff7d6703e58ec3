/* sfxlauncher.h: what a program started by the installer launcher needs of it, for C and C++,
 * on Windows and POSIX. One header, no dependencies beyond the system's; copy it into your
 * sources.
 *
 *   char launcher[1024];
 *   if (sfx_launcher_path(launcher, sizeof launcher)) {       the installer's own path
 *       sfx_close_splash();                                  take the splash off the screen
 *       if (!sfx_fetch(launcher, "plugins\\extra.zip", "C:\\work"))  C:\work\plugins\extra.zip
 *           ... not extracted ...
 *   }
 *
 * Windows: include it before <windows.h> (it includes <winsock2.h>, which must come first) or
 * define WIN32_LEAN_AND_MEAN, and link with ws2_32 (MSVC: done by the pragma below).
 * POSIX: with a strict C standard (-std=c99) define _POSIX_C_SOURCE as 200809L before any
 * include; the GNU dialects (the compilers' defaults) need nothing.
 * Every function is static: include the header in as many files as you like.
 */
#ifndef SFXLAUNCHER_H
#define SFXLAUNCHER_H

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
#define SFX_SEPARATOR '\\'
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#define SFX_SEPARATOR '/'
extern char** environ;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The port whose first connection closes the splash window. */
#define SFX_CLOSE_PORT 12345
/* The line that the launcher appends to the ini file beside the program that it starts. */
#define SFX_LOCATION_KEY "-DextractorLoc="

/* The launcher's path from an ini file: the value of its last line that starts with
 * "-DextractorLoc=" (the launcher appends its line to what the file held). Returns 1 and the
 * path in out, or 0 when the file has no such line or the path does not fit size bytes. */
static inline int sfx_launcher_path_from_ini(const char* ini, char* out, size_t size) {
    FILE* file = fopen(ini, "rb");
    char line[4096];
    size_t keyLength = strlen(SFX_LOCATION_KEY);
    int found = 0;
    if (!file || !size) {
        if (file) fclose(file);
        return 0;
    }
    while (fgets(line, sizeof line, file)) {
        size_t length = strcspn(line, "\r\n");
        int whole = line[length] != 0 || feof(file);
        line[length] = 0;
        if (whole && strncmp(line, SFX_LOCATION_KEY, keyLength) == 0) {
            if (length - keyLength < size) {
                memcpy(out, line + keyLength, length - keyLength + 1);
                found = 1;
            } else {
                found = 0;
            }
        }
        /* The rest of a line longer than the buffer is no line of its own. */
        while (!whole && fgets(line, sizeof line, file)) {
            length = strcspn(line, "\r\n");
            whole = line[length] != 0 || feof(file);
        }
    }
    fclose(file);
    return found;
}

/* The launcher's path from the ini file beside this program, the file that the launcher writes
 * to: on Windows the program's path with its last three characters replaced by "ini"
 * (setup.exe: setup.ini), on Linux with its extension replaced by ".ini", or ".ini" appended to
 * a name without one (bin/setup: bin/setup.ini). Returns 1 and the path in out, or 0. */
static inline int sfx_launcher_path(char* out, size_t size) {
    char self[4096];
    size_t length;
#ifdef _WIN32
    DWORD got = GetModuleFileNameA(NULL, self, sizeof self);
    if (got == 0 || got >= sizeof self) return 0;
    length = got;
#else
    ssize_t got = readlink("/proc/self/exe", self, sizeof self - 1);
    if (got <= 0) return 0;
    length = (size_t)got;
#endif
    self[length] = 0;
#ifdef _WIN32
    if (length < 3) return 0;
    memcpy(self + length - 3, "ini", 4);
#else
    {
        /* The extension begins at the name's last dot, unless that dot begins the name. */
        size_t stem = length, i;
        for (i = length; i > 1 && self[i - 1] != '/'; i--)
            if (self[i - 1] == '.' && self[i - 2] != '/') {
                stem = i - 1;
                break;
            }
        if (stem + 5 > sizeof self) return 0;
        memcpy(self + stem, ".ini", 5);
    }
#endif
    return sfx_launcher_path_from_ini(self, out, size);
}

/* Closes the splash window: one TCP connection to 127.0.0.1:12345, closed at once. Returns 1
 * when the launcher accepted it, 0 when nobody listens (no splash, or it is closed already). */
static inline int sfx_close_splash(void) {
    struct sockaddr_in address;
    int connected;
#ifdef _WIN32
    WSADATA data;
    SOCKET s;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return 0;
    s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return 0;
    }
#else
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
#endif
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(SFX_CLOSE_PORT);
    connected = connect(s, (struct sockaddr*)&address, sizeof address) == 0;
#ifdef _WIN32
    closesocket(s);
    WSACleanup();
#else
    close(s);
#endif
    return connected;
}

/* Runs the launcher in its extraction mode, "-extract=NAME@FOLDER", and waits for its end. The
 * launcher writes the first entry whose stored name ends with NAME below FOLDER, at the entry's
 * full stored path. '/' in NAME is given as '\', the separator of stored names. On Windows the
 * switch is quoted whole when it holds a blank, as the launcher expects. Returns the launcher's
 * exit status (0: extracted, 1: not), or -1 when it could not be started. */
static inline int sfx_run_extract(const char* launcher, const char* name, const char* folder) {
    size_t nameLength = strlen(name), folderLength = strlen(folder);
    /* "-extract=" NAME "@" FOLDER, quotes, the launcher's quoted path and a blank. */
    size_t size = strlen(launcher) + nameLength + folderLength + 32;
    char* command = (char*)malloc(size);
    char *at, *sw;
    int result = -1;
    if (!command) return -1;
#ifdef _WIN32
    /* "LAUNCHER" "-extract=NAME@FOLDER" */
    at = command;
    *at++ = '"';
    memcpy(at, launcher, strlen(launcher));
    at += strlen(launcher);
    *at++ = '"';
    *at++ = ' ';
    sw = at;
#else
    sw = at = command;
#endif
    memcpy(at, "-extract=", 9);
    at += 9;
    for (size_t i = 0; i < nameLength; i++)
        *at++ = name[i] == '/' ? '\\' : name[i];
    *at++ = '@';
    memcpy(at, folder, folderLength);
    at += folderLength;
    *at = 0;
#ifdef _WIN32
    if (strchr(sw, ' ')) {
        memmove(sw + 1, sw, (size_t)(at - sw) + 1);
        sw[0] = '"';
        at[1] = '"';
        at[2] = 0;
    }
    {
        STARTUPINFOA si;
        PROCESS_INFORMATION pi;
        DWORD code = 0;
        memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
            if (WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(pi.hProcess, &code))
                result = (int)code;
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
#else
    {
        /* An argument vector: the POSIX launcher takes the switch as one word. */
        char* argv[3];
        pid_t pid;
        int status = 0;
        argv[0] = (char*)launcher;
        argv[1] = sw;
        argv[2] = NULL;
        if (posix_spawn(&pid, launcher, NULL, NULL, argv, environ) == 0) {
            pid_t done;
            do
                done = waitpid(pid, &status, 0);
            while (done < 0 && errno == EINTR);
            if (done == pid && WIFEXITED(status)) result = WEXITSTATUS(status);
            /* A failed exec of the spawned child is no extraction either. */
            if (result == 127) result = -1;
        }
    }
#endif
    free(command);
    return result;
}

/* Fetches an entry into a folder: sfx_run_extract, then whether FOLDER/NAME is there, NAME
 * being the entry's full stored name (such as plugins\extra.zip; sfxpack list shows them).
 * Returns 1 when the launcher reported success and the file or folder has arrived, else 0. */
static inline int sfx_fetch(const char* launcher, const char* name, const char* folder) {
    size_t folderLength = strlen(folder), nameLength = strlen(name);
    char* target;
    int arrived;
    if (sfx_run_extract(launcher, name, folder) != 0) return 0;
    target = (char*)malloc(folderLength + nameLength + 2);
    if (!target) return 0;
    memcpy(target, folder, folderLength);
    if (folderLength && folder[folderLength - 1] != '/' && folder[folderLength - 1] != '\\')
        target[folderLength++] = SFX_SEPARATOR;
    for (size_t i = 0; i < nameLength; i++)
        target[folderLength + i] = name[i] == '/' || name[i] == '\\' ? SFX_SEPARATOR : name[i];
    target[folderLength + nameLength] = 0;
#ifdef _WIN32
    arrived = GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES;
#else
    {
        struct stat st;
        arrived = stat(target, &st) == 0;
    }
#endif
    free(target);
    return arrived;
}

#ifdef __cplusplus
}
#endif

#endif /* SFXLAUNCHER_H */

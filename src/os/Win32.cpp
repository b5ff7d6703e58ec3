// The platform layer on Win32: heap, files, folders, processes, the debug console, threads and
// the listening socket. The splash window's part is in Win32Splash.cpp.
#include <winsock2.h>
#include <windows.h>

#include "OS.h"
#include "Win32Path.h"

namespace OS {

const char kSeparator = '\\';

static HANDLE AsHandle(Handle file) {
    return reinterpret_cast<HANDLE>(file);
}

// ---- memory -------------------------------------------------------------------------------

void* Alloc(UINT size) {
    if (size == 0) return NULL;
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

bool Free(void* block) {
    if (block == NULL) return false;
    return HeapFree(GetProcessHeap(), 0, block) != 0;
}

// ---- files --------------------------------------------------------------------------------

Handle FileOpen(const char* path, FileAccess access) {
    DWORD desiredAccess = GENERIC_WRITE;
    DWORD shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if (access == kReadExisting) {
        desiredAccess = GENERIC_READ;
        shareMode = FILE_SHARE_READ;
    } else if (access == kCreateAlways) {
        disposition = CREATE_ALWAYS;
    } else if (access == kCreateNew) {
        disposition = CREATE_NEW;
    }
    WCHAR* wide = Win32::WidePath(path, false);
    HANDLE file = wide ? CreateFileW(wide, desiredAccess, shareMode, NULL, disposition, 0, NULL)
                       : INVALID_HANDLE_VALUE;
    Free(wide);
    return reinterpret_cast<Handle>(file);
}

bool FileRead(Handle file, void* buffer, UINT size, UINT* done) {
    DWORD count = 0;
    BOOL ok = ReadFile(AsHandle(file), buffer, size, &count, NULL);
    *done = count;
    return ok != FALSE;
}

bool FileWrite(Handle file, const void* buffer, UINT size, UINT* done) {
    DWORD count = 0;
    BOOL ok = WriteFile(AsHandle(file), buffer, size, &count, NULL);
    *done = count;
    return ok != FALSE;
}

bool FileSeek(Handle file, int32_t distance, int origin, UINT* newPosition) {
    // Without a high part the call reports failure through the position value alone.
    DWORD position = SetFilePointer(AsHandle(file), distance, NULL, (DWORD)origin);
    if (position == INVALID_SET_FILE_POINTER) return false;
    if (newPosition != NULL) *newPosition = position;
    return true;
}

bool FileSize(Handle file, UINT* size) {
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(AsHandle(file), &fileSize)) return false;
    if (fileSize.QuadPart < 0 || fileSize.QuadPart > (LONGLONG)0xFFFFFFFFu) return false;
    *size = (UINT)fileSize.QuadPart;
    return true;
}

bool FileClose(Handle file) {
    return CloseHandle(AsHandle(file)) != FALSE;
}

// CreateDirectoryW's outcome as a folder result.
static FolderResult CreateFolder(const WCHAR* path) {
    if (CreateDirectoryW(path, NULL)) return kFolderCreated;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? kFolderExisted
                                                                       : kFolderFailed;
}

FolderResult CreateFolderTree(const char* path) {
    if (path == NULL || path[0] == '\0') return kFolderFailed;
    WCHAR* wide = Win32::WidePath(path, false);
    if (wide == NULL) return kFolderFailed;
    UINT length = (UINT)lstrlenW(wide);
    // A closing separator goes, except after a drive or a root.
    while (length > 1 && wide[length - 1] == '\\' && wide[length - 2] != ':' &&
           wide[length - 2] != '\\')
        wide[--length] = 0;
    FolderResult result = CreateFolder(wide);
    if (result == kFolderFailed && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // Parents are missing: each folder along the path, from the top, then the folder itself.
        // A part that cannot be made (a drive, a share, an existing folder) is passed over.
        UINT from = wide[0] == '\\' && wide[1] == '\\' && wide[2] == '?' ? 4 : 1;
        for (UINT i = from; i < length; i++) {
            if (wide[i] != '\\') continue;
            wide[i] = 0;
            CreateDirectoryW(wide, NULL);
            wide[i] = '\\';
        }
        result = CreateFolder(wide);
    }
    Free(wide);
    return result;
}

FolderResult CreateFolderOnce(const char* path) {
    WCHAR* wide = Win32::WidePath(path, false);
    FolderResult result = wide ? CreateFolder(wide) : kFolderFailed;
    Free(wide);
    return result;
}

// The well-known SIDs of SYSTEM (S-1-5-18) and of the Administrators group (S-1-5-32-544).
static const struct {
    BYTE revision, count;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD subAuthority[2];
} kSystemSid = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID, 0}},
  kAdministratorsSid = {SID_REVISION,
                        2,
                        {SECURITY_NT_AUTHORITY},
                        {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
// The private folder's protected descriptor; its DACL is made for each folder.
static SECURITY_DESCRIPTOR privateDescriptor = {
    SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT | SE_DACL_PROTECTED, NULL, NULL, NULL, NULL};
static SECURITY_ATTRIBUTES privateAttributes = {sizeof privateAttributes, &privateDescriptor,
                                                FALSE};

FolderResult CreatePrivateFolder(const char* path) {
    // Full access for the token's user, or for Administrators when the token is elevated, so
    // that a process of the same user that is not elevated cannot reach what an elevated run
    // starts; and for SYSTEM. Protected: nothing is inherited from the temporary folder.
    HANDLE token;
    TOKEN_ELEVATION elevation = {0};
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    DWORD size, aclBytes[32];
    ACL* acl = privateDescriptor.Dacl = reinterpret_cast<ACL*>(aclBytes);
    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return kFolderFailed;
    BOOL known = GetTokenInformation(token, TokenUser, &user, sizeof user, &size);
    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    PSID owner = elevation.TokenIsElevated ? (PSID)&kAdministratorsSid : user.user.User.Sid;
    if (!known || !InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, owner) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, (PSID)&kSystemSid))
        return kFolderFailed;
    WCHAR* wide = Win32::WidePath(path, false);
    FolderResult result = kFolderFailed;
    // CreateDirectoryW fails for any name that exists: a folder, a file, a link, a junction.
    if (wide && CreateDirectoryW(wide, &privateAttributes))
        result = kFolderCreated;
    else if (wide && GetLastError() == ERROR_ALREADY_EXISTS)
        result = kFolderExisted;
    Free(wide);
    return result;
}

bool ListFolder(const char* folder, FolderVisitor visit, void* context) {
    // The names that the launcher looks for are ASCII, in a folder of under MAX_PATH characters
    // (the temporary folder): the ANSI functions suffice.
    char pattern[MAX_PATH + 1];
    if (lstrlenA(folder) >= MAX_PATH) return false;
    lstrcpyA(pattern, folder);
    lstrcatA(pattern, "*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do
        visit(found.cFileName, context);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

int ReadOwnFile(const char* path, void* buffer, UINT size) {
    // The user's temporary folder is the user's own. A file that another process holds open
    // for writing (a live run's mark) does not open.
    Handle file = FileOpen(path, kReadExisting);
    UINT got = 0;
    bool read = file != kInvalidHandle && FileRead(file, buffer, size, &got);
    if (file != kInvalidHandle) FileClose(file);
    return read ? (int)got : -1;
}

bool RemoveFile(const char* path) {
    WCHAR* wide = Win32::WidePath(path, false);
    bool removed = wide != NULL && DeleteFileW(wide) != FALSE;
    Free(wide);
    return removed;
}

bool PathExists(const char* path) {
    WCHAR* wide = Win32::WidePath(path, false);
    bool exists = wide != NULL && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
    Free(wide);
    return exists;
}

bool SetCurrentDir(const char* path) {
    WCHAR* wide = Win32::WidePath(path, false);
    bool set = wide != NULL && SetCurrentDirectoryW(wide) != FALSE;
    Free(wide);
    return set;
}

// ---- process ------------------------------------------------------------------------------

// The executable's load configuration. The GNU linker does not name it in the PE header;
// cmake/pe_load_config.py does after the link. Its DependentLoadFlags extend the system-folder
// rule to the libraries that the imported system libraries load for themselves. Only the fields
// up to the security cookie are given: Size tells the loader where the record ends.
struct LoadConfiguration {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    ULONG_PTR DeCommitFreeBlockThreshold;
    ULONG_PTR DeCommitTotalFreeThreshold;
    ULONG_PTR LockPrefixTable;
    ULONG_PTR MaximumAllocationSize;
    ULONG_PTR VirtualMemoryThreshold;
#ifdef _WIN64
    ULONG_PTR ProcessAffinityMask;
    DWORD ProcessHeapFlags;
#else
    DWORD ProcessHeapFlags;
    ULONG_PTR ProcessAffinityMask;
#endif
    WORD CSDVersion;
    WORD DependentLoadFlags;
    ULONG_PTR EditList;
    ULONG_PTR SecurityCookie;
};
static_assert(sizeof(LoadConfiguration) == (sizeof(void*) == 8 ? 0x60 : 0x40),
              "the load configuration's layout");

// The system-folder flag of SetDefaultDllDirectories and of DependentLoadFlags.
static const DWORD kSearchSystem32 = 0x00000800; // LOAD_LIBRARY_SEARCH_SYSTEM32

} // namespace OS

// The name by which the post-link step finds the record (the build keeps it from being
// discarded as unreferenced).
extern "C" const OS::LoadConfiguration _load_config_used = {
    sizeof(OS::LoadConfiguration), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    OS::kSearchSystem32,           0, 0};

// The start-up code asks for a handler of floating-point errors; the runtime's own prints them to
// standard error, which a windowed launcher that computes no floating point never has. This one
// keeps its printing code and texts out of the stub.
extern "C" int _matherr(void*) {
    return 0;
}

namespace OS {

// Not declared by every SDK, and missing on systems older than Windows 8 without update
// KB2533623: resolved at run time. WINAPI matters: the 32-bit call is __stdcall.
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD directoryFlags);

bool RestrictLibrarySearch() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn setDirectories =
        kernel == NULL ? NULL
                       : reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                             GetProcAddress(kernel, "SetDefaultDllDirectories")));
    return setDirectories != NULL && setDirectories(kSearchSystem32) != FALSE;
}

void SetArguments(int, char**) {}

// A buffer for a path that the system writes as a wide text, at any length; null without memory.
static WCHAR* WidePathBuffer() {
    return static_cast<WCHAR*>(Alloc(Win32::kWidePathMax * sizeof(WCHAR)));
}

// Copies into buffer the ANSI form of a wide path (Win32::AnsiForm) when there is one and it
// fits; its length, or 0, and then the caller asks the ANSI function as before.
static UINT CopyAnsiForm(const WCHAR* wide, char* buffer, UINT size) {
    char* ansi = wide ? Win32::AnsiForm(wide) : NULL;
    UINT length = ansi ? (UINT)lstrlenA(ansi) : 0;
    if (length >= size) length = 0;
    if (length > 0) lstrcpyA(buffer, ansi);
    Free(ansi);
    return length;
}

void ModulePath(char* buffer, UINT size) {
    if (buffer == NULL || size == 0) return;
    // Where the ANSI code page cannot hold the path, GetModuleFileNameA would give "?" for the
    // characters that it lacks: a file that does not exist.
    WCHAR* wide = WidePathBuffer();
    DWORD wideLength =
        wide ? GetModuleFileNameW(GetModuleHandleW(NULL), wide, Win32::kWidePathMax) : 0;
    UINT copied =
        wideLength > 0 && wideLength < Win32::kWidePathMax ? CopyAnsiForm(wide, buffer, size) : 0;
    Free(wide);
    if (copied > 0) return;
    DWORD length = GetModuleFileNameA(GetModuleHandleW(NULL), buffer, size);
    // Older systems leave a cut path without its NUL.
    if (length >= size) length = size - 1;
    buffer[length] = '\0';
}

const char* CommandLine() {
    // The program path in the same form as ModulePath's, so that the launcher finds itself in
    // its command line. Kept to the end of the process, as the system's own line is.
    static char* rewritten = NULL;
    if (rewritten == NULL)
        rewritten = Win32::CommandLineWithAnsiProgram(GetCommandLineA(), GetCommandLineW());
    return rewritten ? rewritten : GetCommandLineA();
}

UINT TickCount() {
    return GetTickCount();
}

// Declared by no header of every SDK: advapi32's generator of random bytes ("RtlGenRandom").
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

bool RandomValue(UINT* value) {
    return SystemFunction036(value, sizeof *value) != FALSE;
}

UINT TempPath(char* buffer, UINT size) {
    WCHAR* wide = WidePathBuffer();
    DWORD wideLength = wide ? GetTempPathW(Win32::kWidePathMax, wide) : 0;
    UINT copied = wideLength > 0 && wideLength < Win32::kWidePathMax && buffer != NULL
                      ? CopyAnsiForm(wide, buffer, size)
                      : 0;
    Free(wide);
    return copied > 0 ? copied : GetTempPathA(size, buffer);
}

Process StartProcess(const char* commandLine, const char* const*) {
    // CreateProcessA may write into the command line it is given.
    char* command = static_cast<char*>(Alloc((UINT)lstrlenA(commandLine) + 1));
    if (command == NULL) return kInvalidProcess;
    lstrcpyA(command, commandLine);

    // The program inherits the launcher's own start-up settings, such as how to show itself.
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    GetStartupInfoA(&si);
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));
    BOOL started = CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    Free(command);
    if (!started) return kInvalidProcess;
    CloseHandle(pi.hThread);
    return reinterpret_cast<Process>(pi.hProcess);
}

bool WaitProcess(Process process, UINT* exitCode) {
    HANDLE handle = reinterpret_cast<HANDLE>(process);
    DWORD waitResult = WaitForSingleObject(handle, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(handle, &code) && exitCode != NULL) *exitCode = code;
    CloseHandle(handle);
    return waitResult != WAIT_FAILED;
}

bool MarkExecutable(const char*) {
    return true;
}

bool ProcessStampOf(Process process, ProcessStamp* stamp) {
    HANDLE handle =
        process == kSelfProcess ? GetCurrentProcess() : reinterpret_cast<HANDLE>(process);
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(handle, &created, &exited, &kernel, &user)) return false;
    stamp->id = GetProcessId(handle);
    stamp->reserved = 0;
    stamp->started = (uint64_t)created.dwHighDateTime << 32 | created.dwLowDateTime;
    return stamp->id != 0;
}

bool ProcessRuns(const ProcessStamp* stamp) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, stamp->id);
    // No such process; any other refusal (access denied) leaves it running, as far as known.
    if (process == NULL) return GetLastError() != ERROR_INVALID_PARAMETER;
    FILETIME created, exited, kernel, user;
    DWORD code = STILL_ACTIVE;
    bool known = GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return !known || (code == STILL_ACTIVE && ((uint64_t)created.dwHighDateTime << 32 |
                                               created.dwLowDateTime) == stamp->started);
}

bool RemoveTree(const char* folder, const char* mark, bool) {
    // A link or junction at the top is left alone: the removal command would empty its target.
    WCHAR* wide = Win32::WidePath(folder, false);
    DWORD attributes = wide ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    Free(wide);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // The removal command stops at paths of MAX_PATH characters (Wine's takes no \\?\ form, and
    // empties its own current folder instead): the deep parts go first, whoever made them, and
    // the command takes the rest; the mark goes once the folder has. Both paths are a temporary
    // folder of under 260 characters and a name of at most 23, so the command fits the buffer
    // (wsprintfA cuts at 1024 in any case); it is formed on the stack: the heap's exhaustion
    // may be what ended the run.
    Win32::RemoveLongParts(folder);
    char command[1024];
    wsprintfA(command, "cmd /C rmdir /S /Q \"%s\"&if not exist \"%s\" del /Q \"%s\"", folder,
              folder, mark);
    return WinExec(command, SW_HIDE) > 31;
}

// ---- user interface -----------------------------------------------------------------------

static HANDLE consoleOut = NULL;
static bool errorBoxToStandardError = false;

void ErrorBox(const char* caption, const char* text) {
    if (!errorBoxToStandardError) {
        MessageBoxA(NULL, text, caption, MB_ICONERROR);
        return;
    }
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    DWORD done;
    // Lines end as the C runtime ends them on a Windows console: with CR LF.
    const char* pieces[] = {caption, ": ", text ? text : "", "\r\n"};
    for (const char* piece : pieces)
        WriteFile(out, piece, lstrlenA(piece), &done, NULL);
}

void ErrorBoxToStandardError() {
    errorBoxToStandardError = true;
}

bool ConsoleOpen(const char* title) {
    if (!AllocConsole()) return false;
    if (!SetConsoleTitleA(title)) return false;
    consoleOut = GetStdHandle(STD_OUTPUT_HANDLE);
    return true;
}

void ConsoleWrite(const char* text, UINT length) {
    if (consoleOut == NULL || consoleOut == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteConsoleA(consoleOut, text, length, &written, NULL);
}

void ConsoleReadKey() {
    char key[1];
    DWORD read = 0;
    // Without a console the handle is not a console one and the read fails at once.
    ReadConsoleA(GetStdHandle(STD_INPUT_HANDLE), key, 1, &read, NULL);
}

char* LogFilePath() {
    static const char kLogPath[] = "C:\\quillane.log";
    char* path = static_cast<char*>(Alloc(sizeof(kLogPath)));
    if (path != NULL) lstrcpyA(path, kLogPath);
    return path;
}

// ---- threads ------------------------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadRoutine routine;
    void* param;
};
} // namespace

// Thread routines of the launcher do not use the platform's calling convention.
static DWORD WINAPI ThreadTrampoline(LPVOID start) {
    ThreadStart call = *static_cast<ThreadStart*>(start);
    Free(start);
    return call.routine(call.param);
}

bool StartThread(ThreadRoutine routine, void* param, UINT* threadId) {
    ThreadStart* start = static_cast<ThreadStart*>(Alloc(sizeof(ThreadStart)));
    if (start == NULL) return false;
    start->routine = routine;
    start->param = param;
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, ThreadTrampoline, start, 0, &id);
    if (thread == NULL) {
        Free(start);
        return false;
    }
    if (threadId != NULL) *threadId = id;
    // Nobody waits for the launcher's threads: the handle is not needed.
    CloseHandle(thread);
    return true;
}

// ---- sockets ------------------------------------------------------------------------------

bool NetStartup() {
    WSADATA wsaData;
    return WSAStartup(MAKEWORD(1, 1), &wsaData) == 0;
}

void NetCleanup() {
    WSACleanup();
}

Socket TcpListen(uint16_t port, int backlog) {
    SOCKET server = socket(AF_INET, SOCK_STREAM, 0);
    if (server == INVALID_SOCKET) return kInvalidSocket;
    sockaddr_in local;
    ZeroMemory(&local, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (bind(server, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        listen(server, backlog) != 0) {
        closesocket(server);
        return kInvalidSocket;
    }
    return static_cast<Socket>(server);
}

Socket TcpAccept(Socket server, char* peer, UINT peerSize) {
    if (peer != NULL && peerSize > 0) peer[0] = '\0';
    sockaddr_in from;
    ZeroMemory(&from, sizeof(from));
    int fromLength = sizeof(from);
    SOCKET client =
        accept(static_cast<SOCKET>(server), reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (client == INVALID_SOCKET) return kInvalidSocket;
    if (peer != NULL && peerSize > 0) {
        const char* address = inet_ntoa(from.sin_addr);
        if (address != NULL) lstrcpynA(peer, address, (int)peerSize);
    }
    return static_cast<Socket>(client);
}

void SocketClose(Socket socket) {
    closesocket(static_cast<SOCKET>(socket));
}

} // namespace OS

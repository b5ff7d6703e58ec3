// The POSIX implementation of the platform layer.
#include "../OS.h"
#include "FaultTable.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace OS {

const char kSeparator = '/';

namespace {

// Handles are descriptors plus one, so that descriptor 0 is never the null handle.
int Fd(Handle handle) {
    return (int)handle - 1;
}
Handle FromFd(int fd) {
    return fd < 0 ? kInvalidHandle : (Handle)fd + 1;
}

char* commandLine = 0;
bool consoleOpen = false;

// Appends text to a growing heap text; false when memory runs out.
bool Append(char** text, size_t* length, const char* piece, size_t pieceLength) {
    if (Fault::Fails(Fault::kAlloc)) return false;
    char* grown = (char*)realloc(*text, *length + pieceLength + 1);
    if (!grown) return false;
    memcpy(grown + *length, piece, pieceLength);
    *length += pieceLength;
    grown[*length] = 0;
    *text = grown;
    return true;
}

// Appends one argument as a Windows command line would carry it: quoted when it holds a blank.
bool AppendArgument(char** text, size_t* length, const char* argument) {
    bool quote = strchr(argument, ' ') != 0;
    return (!quote || Append(text, length, "\"", 1)) &&
           Append(text, length, argument, strlen(argument)) &&
           (!quote || Append(text, length, "\"", 1));
}

} // namespace

void* Alloc(UINT size) {
    if (Fault::Fails(Fault::kAlloc)) return 0;
    return size ? calloc(1, size) : 0;
}

bool Free(void* block) {
    if (!block) return false;
    free(block);
    return true;
}

Handle FileOpen(const char* path, FileAccess access) {
    int flags = access == kReadExisting    ? O_RDONLY
                : access == kWriteExisting ? O_WRONLY
                : access == kCreateAlways  ? O_WRONLY | O_CREAT | O_TRUNC
                                           : O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    if (!path) return kInvalidHandle;
    if (Fault::Fails(Fault::kFileOpen)) return kInvalidHandle;
    int fd = open(path, flags | O_CLOEXEC, access == kCreateNew ? 0600 : 0644);
    // A folder opens only for reading; writing one fails in open itself.
    if (fd >= 0 && access == kReadExisting) {
        struct stat st;
        if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            close(fd);
            return kInvalidHandle;
        }
    }
    return FromFd(fd);
}

bool FileRead(Handle file, void* buffer, UINT size, UINT* done) {
    *done = 0;
    if (Fault::Fails(Fault::kFileRead)) return false;
    ssize_t got;
    do
        got = read(Fd(file), buffer, size);
    while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    *done = (UINT)got;
    return true;
}

bool FileWrite(Handle file, const void* buffer, UINT size, UINT* done) {
    *done = 0;
    if (Fault::Fails(Fault::kFileWrite)) return false;
    const char* bytes = (const char*)buffer;
    while (*done < size) {
        ssize_t put = write(Fd(file), bytes + *done, size - *done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        *done += (UINT)put;
    }
    return true;
}

bool FileSeek(Handle file, int32_t distance, int origin, UINT* newPosition) {
    if (Fault::Fails(Fault::kFileSeek)) return false;
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    off_t position = lseek(Fd(file), (off_t)distance, whence);
    if (position < 0 || position > (off_t)0xFFFFFFFE) return false;
    *newPosition = (UINT)position;
    return true;
}

bool FileSize(Handle file, UINT* size) {
    if (Fault::Fails(Fault::kFileSize)) return false;
    struct stat st;
    if (fstat(Fd(file), &st) != 0 || st.st_size > (off_t)0xFFFFFFFE) return false;
    *size = (UINT)st.st_size;
    return true;
}

bool FileClose(Handle file) {
    return close(Fd(file)) == 0;
}

FolderResult CreateFolderOnce(const char* path) {
    if (Fault::Fails(Fault::kCreateFolder)) {
        errno = EIO;
        return kFolderFailed;
    }
    if (mkdir(path, 0755) == 0) return kFolderCreated;
    struct stat st;
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? kFolderExisted
                                                                          : kFolderFailed;
}

FolderResult CreatePrivateFolder(const char* path) {
    if (Fault::Fails(Fault::kCreateFolder)) return kFolderFailed;
    // mkdir neither follows nor reuses what has the name: a link, even a dangling one, is taken.
    if (mkdir(path, 0700) == 0) return kFolderCreated;
    return errno == EEXIST ? kFolderExisted : kFolderFailed;
}

namespace {

// How many folder levels a removal descends: a bound on its descriptors and its stack.
const UINT kRemovalDepth = 256;

// Empties the open folder fd (taken over) and every folder in it, through descriptors only:
// entries are unlinked relative to their folder, and a folder is entered with O_NOFOLLOW, so a
// link is removed itself and nothing outside is reached. Passes are repeated while they remove
// something: a listing need not show what was added or moved during it.
void EmptyFolder(int fd, UINT depth) {
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    for (bool removed = true; removed;) {
        removed = false;
        rewinddir(dir);
        while (struct dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
            if (unlinkat(dirfd(dir), name, 0) != 0) {
                int child = depth ? openat(dirfd(dir), name,
                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                  : -1;
                if (child < 0) continue;
                EmptyFolder(child, depth - 1);
                if (unlinkat(dirfd(dir), name, AT_REMOVEDIR) != 0) continue;
            }
            removed = true;
        }
    }
    closedir(dir);
}

// RemoveTree's work, in whichever process does it.
void RemoveTreeNow(const char* folder, const char* mark) {
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid()) {
        EmptyFolder(fd, kRemovalDepth);
        rmdir(folder);
    } else if (fd >= 0) {
        close(fd);
    }
    if (mark && lstat(folder, &st) != 0 && errno == ENOENT) unlink(mark);
}

} // namespace

bool RemoveTree(const char* folder, const char* mark, bool wait) {
    if (Fault::Fails(Fault::kRemoveTree)) return false;
    if (wait) {
        RemoveTreeNow(folder, mark);
        return true;
    }
    // Double fork: the grandchild is adopted by init, outlives the launcher and delays nothing,
    // not even a caller that reads the launcher's output to its end.
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            int null = open("/dev/null", O_RDWR);
            for (int fd = 0; null >= 0 && fd < 3; fd++)
                dup2(null, fd);
            RemoveTreeNow(folder, mark);
        }
        _exit(0);
    }
    int status;
    waitpid(child, &status, 0);
    return true;
}

bool ListFolder(const char* folder, FolderVisitor visit, void* context) {
    DIR* dir = Fault::Fails(Fault::kListFolder) ? 0 : opendir(folder);
    if (!dir) return false;
    while (struct dirent* entry = readdir(dir))
        visit(entry->d_name, context);
    closedir(dir);
    return true;
}

int ReadOwnFile(const char* path, void* buffer, UINT size) {
    // Not through a link, and a FIFO planted under the name does not block the open.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    ssize_t got = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
        do
            got = read(fd, buffer, size);
        while (got < 0 && errno == EINTR);
    }
    close(fd);
    return (int)got;
}

FolderResult CreateFolderTree(const char* path) {
    if (!path || !*path) return kFolderFailed;
    size_t length = strlen(path);
    char* folder = Fault::Fails(Fault::kAlloc) ? 0 : (char*)malloc(length + 1);
    if (!folder) return kFolderFailed;
    memcpy(folder, path, length + 1);
    while (length > 1 && folder[length - 1] == '/')
        folder[--length] = 0;
    // Most folders have their parent already: one call. Otherwise the parent first.
    FolderResult result = CreateFolderOnce(folder);
    if (result == kFolderFailed && errno == ENOENT) {
        char* slash = strrchr(folder, '/');
        if (slash && slash != folder) {
            *slash = 0;
            bool parentReady = CreateFolderTree(folder) != kFolderFailed;
            *slash = '/';
            if (parentReady) result = CreateFolderOnce(folder);
        }
    }
    free(folder);
    return result;
}

bool RemoveFile(const char* path) {
    return unlink(path) == 0;
}

bool PathExists(const char* path) {
    struct stat st;
    return path && !Fault::Fails(Fault::kPathExists) && lstat(path, &st) == 0;
}

bool SetCurrentDir(const char* path) {
    return path && !Fault::Fails(Fault::kSetCurrentDir) && chdir(path) == 0;
}

bool RestrictLibrarySearch() {
    // Shared objects are found through the loader's fixed paths, never the program's folder.
    return false;
}

void SetArguments(int argc, char** argv) {
    // Rebuilds the raw command line that a Windows launcher receives: the module path first,
    // then the arguments, each quoted where it holds a blank.
    char* text = 0;
    size_t length = 0;
    char module[4096];
    ModulePath(module, sizeof module);
    bool ok = AppendArgument(&text, &length, module);
    for (int i = 1; ok && i < argc; i++)
        ok = Append(&text, &length, " ", 1) && AppendArgument(&text, &length, argv[i]);
    if (!ok) {
        free(text);
        text = 0;
    }
    commandLine = text;
}

void ModulePath(char* buffer, UINT size) {
    if (size == 0) return;
    ssize_t length =
        Fault::Fails(Fault::kModulePath) ? -1 : readlink("/proc/self/exe", buffer, size - 1);
    buffer[length < 0 ? 0 : length] = 0;
}

const char* CommandLine() {
    return commandLine;
}

UINT TickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (UINT)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}

bool RandomValue(UINT* value) {
    if (Fault::Fails(Fault::kRandom)) return false;
    return getrandom(value, sizeof *value, 0) == (ssize_t)sizeof *value;
}

UINT TempPath(char* buffer, UINT size) {
    if (Fault::Fails(Fault::kTempPath)) return 0;
    const char* folder = getenv("TMPDIR");
    if (!folder || !*folder) folder = "/tmp";
    size_t length = strlen(folder);
    bool addSeparator = folder[length - 1] != '/';
    size_t needed = length + (addSeparator ? 1 : 0);
    if (needed + 1 > size) return (UINT)(needed + 1);
    memcpy(buffer, folder, length);
    if (addSeparator) buffer[length] = '/';
    buffer[needed] = 0;
    return (UINT)needed;
}

Process StartProcess(const char*, const char* const* argv) {
    if (!argv || !argv[0] || Fault::Fails(Fault::kStartProcess)) return kInvalidProcess;
    // posix_spawn reports a failed exec as its own result, so a program that cannot run is known
    // here. The program gets the signals' defaults, not the SIGPIPE that the listener ignores.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return kInvalidProcess;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* const* vector = const_cast<char* const*>(argv);
    pid_t pid = -1;
    int failed = strchr(argv[0], '/')
                     ? posix_spawn(&pid, argv[0], 0, &attributes, vector, environ)
                     : posix_spawnp(&pid, argv[0], 0, &attributes, vector, environ);
    posix_spawnattr_destroy(&attributes);
    return failed ? kInvalidProcess : (Process)pid;
}

bool WaitProcess(Process process, UINT* exitCode) {
    if (Fault::Fails(Fault::kWaitProcess)) return false;
    int status = 0;
    pid_t got;
    do
        got = waitpid((pid_t)process, &status, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    *exitCode = WIFEXITED(status) ? (UINT)WEXITSTATUS(status) : 128u + (UINT)WTERMSIG(status);
    return true;
}

bool MarkExecutable(const char* path) {
    struct stat st;
    return path && !Fault::Fails(Fault::kMarkExecutable) && stat(path, &st) == 0 &&
           S_ISREG(st.st_mode) && chmod(path, (st.st_mode & 07777) | S_IXUSR) == 0;
}

namespace {

// The state and the start time (clock ticks after boot) of a process, from /proc/<id>/stat;
// false when that cannot be read.
bool ReadProcessStat(uint32_t id, char* state, uint64_t* started) {
    char path[40], stat[512];
    snprintf(path, sizeof path, "/proc/%u/stat", id);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t got = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (got <= 0) return false;
    stat[got] = 0;
    // The name in parentheses may hold blanks and parentheses: the fields follow the last ')'.
    const char* field = strrchr(stat, ')');
    for (int i = 0; field && i < 20; i++)
        field = strchr(field + 1, ' ');
    if (!field) return false;
    *state = strrchr(stat, ')')[2];
    *started = strtoull(field + 1, 0, 10);
    return true;
}

} // namespace

bool ProcessStampOf(Process process, ProcessStamp* stamp) {
    char state;
    stamp->id = (uint32_t)(process == kSelfProcess ? getpid() : (pid_t)process);
    stamp->reserved = 0;
    // Without /proc the id alone is kept: a start time of 0 is compared with nothing.
    if (!ReadProcessStat(stamp->id, &state, &stamp->started)) stamp->started = 0;
    return true;
}

bool ProcessRuns(const ProcessStamp* stamp) {
    char state;
    uint64_t started;
    // An id that no process can have is taken as running: nothing is removed on its word.
    if ((pid_t)stamp->id <= 0) return true;
    if (kill((pid_t)stamp->id, 0) != 0 && errno == ESRCH) return false;
    // An id that came back for another process, or a process that has ended and waits for its
    // parent, is not the stamped one running.
    if (ReadProcessStat(stamp->id, &state, &started))
        return state != 'Z' && (stamp->started == 0 || started == stamp->started);
    return true;
}

void ErrorBox(const char* caption, const char* text) {
    Fault::Record(Fault::kErrorBox);
    fprintf(stderr, "%s: %s\n", caption, text ? text : "");
    fflush(stderr);
}

void ErrorBoxToStandardError() {}

bool ConsoleOpen(const char*) {
    consoleOpen = true;
    return true;
}

void ConsoleWrite(const char* text, UINT length) {
    if (!consoleOpen) return;
    UINT done;
    FileWrite(FromFd(2), text, length, &done);
}

void ConsoleReadKey() {
    int tty = open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (tty < 0) return;
    char key;
    ssize_t got;
    do
        got = read(tty, &key, 1);
    while (got < 0 && errno == EINTR);
    close(tty);
}

char* LogFilePath() {
    char folder[4096];
    UINT length = TempPath(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) return 0;
    static const char kName[] = "quillane.log";
    char* path = (char*)Alloc(length + sizeof kName);
    if (path) {
        memcpy(path, folder, length);
        memcpy(path + length, kName, sizeof kName);
    }
    return path;
}

namespace {
struct ThreadStart {
    ThreadRoutine routine;
    void* param;
};

void* ThreadMain(void* start) {
    ThreadStart copy = *(ThreadStart*)start;
    free(start);
    copy.routine(copy.param);
    return 0;
}
} // namespace

bool StartThread(ThreadRoutine routine, void* param, UINT* threadId) {
    static UINT nextId = 1;
    if (Fault::Fails(Fault::kStartThread)) return false;
    ThreadStart* start =
        Fault::Fails(Fault::kAlloc) ? 0 : (ThreadStart*)malloc(sizeof(ThreadStart));
    if (!start) return false;
    start->routine = routine;
    start->param = param;
    pthread_t thread;
    if (pthread_create(&thread, 0, ThreadMain, start) != 0) {
        free(start);
        return false;
    }
    pthread_detach(thread);
    *threadId = __atomic_fetch_add(&nextId, 1, __ATOMIC_SEQ_CST);
    return true;
}

bool NetStartup() {
    if (Fault::Fails(Fault::kNetStartup)) return false;
    // A peer that closes first must not end the launcher.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void NetCleanup() {}

Socket TcpListen(uint16_t port, int backlog) {
    if (Fault::Fails(Fault::kTcpListen)) return kInvalidSocket;
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) return kInvalidSocket;
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    // Lets the next launcher bind while an earlier connection lingers in TIME_WAIT, as a
    // Windows listener can; a port held by a live listener stays taken.
    int reuse = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (bind(server, (struct sockaddr*)&local, sizeof local) != 0 || listen(server, backlog) != 0) {
        close(server);
        return kInvalidSocket;
    }
    return (Socket)server;
}

Socket TcpAccept(Socket server, char* peer, UINT peerSize) {
    if (Fault::Fails(Fault::kTcpAccept)) return kInvalidSocket;
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    int client;
    do
        client = accept((int)server, (struct sockaddr*)&from, &fromlen);
    while (client < 0 && errno == EINTR);
    if (client < 0) return kInvalidSocket;
    if (peerSize) {
        if (!inet_ntop(AF_INET, &from.sin_addr, peer, peerSize)) peer[0] = 0;
    }
    return (Socket)client;
}

void SocketClose(Socket socket) {
    close((int)socket);
}

// No windows on this platform: the splash shows nothing, while its listener still runs.
Picture PictureLoad(const char*) {
    return 0;
}
void UiInit(const char*, int) {}
void UiSetPicture(Picture) {}
void UiCreateControls(UINT) {}
void UiWindowSize(int* width, int* height) {
    *width = *height = 0;
}
void UiScreenSize(int* width, int* height) {
    *width = *height = 0;
}
void UiMoveAndShow(int, int) {}
void UiPlaceLabel(int, int, int, int) {}
void UiPlaceBar(int, int, int, int) {}
void UiStartMarquee(UINT) {}
void UiSetLabelText(const char*) {}
void UiMessageLoop() {}
void UiPostQuit(UINT) {}

} // namespace OS

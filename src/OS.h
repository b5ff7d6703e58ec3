// The platform layer: the only interface through which the launcher touches the operating
// system. Each operation is implemented once for Win32 (os/Win32*.cpp) and once for POSIX
// (os/Posix*.cpp); the build picks one set. This header itself includes no platform header.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint32_t UINT;
typedef int BOOL;
typedef unsigned char BYTE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

namespace OS {

// The separator of folder names in paths of this platform.
extern const char kSeparator;

// Where the two platforms differ in what the launcher forms, known when it is compiled, so that
// each build carries only its own form.
//   kArgumentVector: a program receives its arguments as a vector of words (POSIX), not as one
//     command line that it splits itself (Win32). The launcher forms the one that the platform
//     takes: words are handed on as they are, never as a text to be parsed again.
//   kIniByExtension: the ini file beside a program is its path with the extension made ".ini",
//     or ".ini" appended to a name without one (POSIX), not the path with its last three
//     characters made "ini" (Win32, whose programs end in ".exe").
//   kExecuteBits: files carry an execute right, which payloads do not store (POSIX): a file
//     that begins as a program (a script's "#!", an ELF image) is made executable.
#ifdef _WIN32
const bool kArgumentVector = false;
const bool kIniByExtension = false;
const bool kExecuteBits = false;
#else
const bool kArgumentVector = true;
const bool kIniByExtension = true;
const bool kExecuteBits = true;
#endif

// ---- memory -------------------------------------------------------------------------------
// A zero-filled block of the process heap; null for 0 bytes or when the heap is exhausted.
void* Alloc(UINT size);
// Returns a block to the heap; false for null.
bool Free(void* block);

// ---- files --------------------------------------------------------------------------------
// A platform file handle. 0 is the null handle (a closed object); kInvalidHandle is what a
// failed open yields, and every operation on it fails.
typedef intptr_t Handle;
const Handle kNullHandle = 0;
const Handle kInvalidHandle = -1;

enum FileAccess {
    kReadExisting,  // read, share read, the file must exist
    kWriteExisting, // write, share read and write, the file must exist (never created)
    kCreateAlways,  // write, share read and write, created or emptied
    kCreateNew,     // write, share read and write, created anew (POSIX: mode 0600); fails when
                    // the name is taken by anything (a file, a folder, a link)
};

Handle FileOpen(const char* path, FileAccess access);
// One platform read; *done gets the count read (0 at the end of the file).
bool FileRead(Handle file, void* buffer, UINT size, UINT* done);
// One platform write; *done gets the count written.
bool FileWrite(Handle file, const void* buffer, UINT size, UINT* done);
// origin: 0 start, 1 current, 2 end. Fails for a target before the start of the file.
bool FileSeek(Handle file, int32_t distance, int origin, UINT* newPosition);
// Fails for a size of 4 GiB or more.
bool FileSize(Handle file, UINT* size);
bool FileClose(Handle file);

enum FolderResult { kFolderCreated, kFolderExisted, kFolderFailed };
// Creates the folder with every missing parent.
FolderResult CreateFolderTree(const char* path);
// Creates one folder whose parent exists; kFolderExisted when the name is taken already.
FolderResult CreateFolderOnce(const char* path);
// Creates one folder, whose parent exists, that only this user and the system can open (POSIX:
// mode 0700; Windows: a protected DACL of the user, or of Administrators when the process is
// elevated, and SYSTEM). kFolderExisted when anything at all has the name already: a folder, a
// file, a link, a junction; nothing there is followed or reused.
FolderResult CreatePrivateFolder(const char* path);
// Removes a folder (no closing separator) with everything in it, never following a link: a link
// at its top is left alone, links in it are removed, not what they point at (POSIX: only a folder
// of this user's). Then, when the folder is gone, the file `mark` too. POSIX removes in the
// calling process when wait is true, else in a detached one; Windows always starts the removal
// detached (the system's removal command, after the parts too deep for it). False when it could
// not be done or started.
bool RemoveTree(const char* folder, const char* mark, bool wait);
// Calls visit with the name of every entry of folder (a path that ends with the separator);
// false when the folder cannot be read.
typedef void (*FolderVisitor)(const char* name, void* context);
bool ListFolder(const char* folder, FolderVisitor visit, void* context);
// Reads up to size bytes of a small file that is this user's own (POSIX: a regular file owned by
// this user, not a link, opened without waiting); the count read, or -1 when it is no such file.
int ReadOwnFile(const char* path, void* buffer, UINT size);
// Deletes a file (POSIX: a link is deleted itself); false when it could not be.
bool RemoveFile(const char* path);
bool PathExists(const char* path);
bool SetCurrentDir(const char* path);

// ---- process ------------------------------------------------------------------------------
// Keeps libraries that are loaded at run time by bare name to the system folder, so that a DLL
// planted beside the launcher (a downloads folder) is never loaded into it. Called first thing.
// True when the restriction applied; false where the system lacks it (POSIX: nothing to do).
bool RestrictLibrarySearch();
// Gives the POSIX port its argument vector; the Win32 port reads its own raw command line.
void SetArguments(int argc, char** argv);
// Writes the module's full path into buffer (at most size - 1 characters and a NUL).
void ModulePath(char* buffer, UINT size);
// The raw command line, program path first; null when it could not be formed (POSIX: no memory).
const char* CommandLine();
// Milliseconds since an arbitrary start, wrapping at 32 bits.
UINT TickCount();
// A 32-bit value from the system's random source; false when there is none.
bool RandomValue(UINT* value);
// GetTempPathA's contract: the length written, 0 on failure, or the size needed when the
// path does not fit (nothing written then).
UINT TempPath(char* buffer, UINT size);

// A started program; kInvalidProcess when it could not be started.
typedef intptr_t Process;
const Process kInvalidProcess = -1;
// Starts a program in the current directory with the launcher's start-up settings. Win32 starts
// commandLine (CreateProcessA) and takes no vector; POSIX starts argv[0] with the vector argv
// (null-terminated), looked up on PATH when it holds no '/', and takes no command line. A
// program that cannot be executed (missing, no execute right, no interpreter, not a program for
// this machine) is a start that failed.
Process StartProcess(const char* commandLine, const char* const* argv);
// Waits for the program's end without a time limit, takes its exit code and releases it.
// False when the wait failed.
bool WaitProcess(Process process, UINT* exitCode);
// A process as the system knows it for as long as it runs: its id and its start time, which
// tells it from a later process that got the same id.
struct ProcessStamp {
    uint32_t id;
    uint32_t reserved;
    uint64_t started;
};
// The launcher's own process, for ProcessStampOf.
const Process kSelfProcess = 0;
// The stamp of a started process, or of kSelfProcess; false when it cannot be had.
bool ProcessStampOf(Process process, ProcessStamp* stamp);
// False only when the stamped process has certainly ended (or its id now names another one).
bool ProcessRuns(const ProcessStamp* stamp);
// Marks an extracted file executable for its owner (kExecuteBits). False when it could not be;
// Windows needs nothing (true).
bool MarkExecutable(const char* path);

// ---- user interface -----------------------------------------------------------------------
// A modal error box (POSIX: "caption: text" on standard error).
void ErrorBox(const char* caption, const char* text);
// From now on ErrorBox writes "caption: text" to standard error on every platform: for a console
// program, such as the pack tool, that reads installers with the launcher's units.
void ErrorBoxToStandardError();
// Opens the debug console and titles it; false when either fails.
bool ConsoleOpen(const char* title);
void ConsoleWrite(const char* text, UINT length);
// Reads and discards one character of console input; returns at once when there is none.
void ConsoleReadKey();
// The path of the debug log file, as a new heap text.
char* LogFilePath();

// ---- threads ------------------------------------------------------------------------------
typedef UINT (*ThreadRoutine)(void* param);
// Starts routine on a new thread at once; false when it could not be started.
bool StartThread(ThreadRoutine routine, void* param, UINT* threadId);

// ---- sockets ------------------------------------------------------------------------------
typedef intptr_t Socket;
const Socket kInvalidSocket = -1;
bool NetStartup();
void NetCleanup();
// A TCP socket listening on every IPv4 interface; kInvalidSocket when any step fails, with
// whatever was taken released.
Socket TcpListen(uint16_t port, int backlog);
// Blocks until a peer connects; writes its dotted address into peer. kInvalidSocket on failure.
Socket TcpAccept(Socket server, char* peer, UINT peerSize);
void SocketClose(Socket socket);

// ---- splash window ------------------------------------------------------------------------
// All Ui* operations act on the one splash window and are called on the splash thread, except
// UiSetLabelText and UiPostQuit. On a platform without windows they do nothing.
typedef void* Picture;
// Loads a bitmap file completely; null when it is missing or unreadable.
Picture PictureLoad(const char* path);
// Creates the hidden borderless picture window, sets its class icon and subclasses it.
void UiInit(const char* title, int iconId);
// Gives the window the picture; the window takes the picture's size.
void UiSetPicture(Picture picture);
// Creates the marquee bar and the label, with the default GUI font, in white on the picture.
void UiCreateControls(UINT textColour);
void UiWindowSize(int* width, int* height);
void UiScreenSize(int* width, int* height);
void UiMoveAndShow(int x, int y);
void UiPlaceLabel(int x, int y, int width, int height);
void UiPlaceBar(int x, int y, int width, int height);
void UiStartMarquee(UINT intervalMs);
// Replaces the label's text and repaints the picture under it; harmless without a label.
void UiSetLabelText(const char* text);
// Pumps the calling thread's messages until it is asked to quit.
void UiMessageLoop();
// Asks the thread to leave its message loop; harmless when it has none.
void UiPostQuit(UINT threadId);

} // namespace OS

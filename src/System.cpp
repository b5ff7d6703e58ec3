#include "System.h"

#include "File.h"
#include "String.h"

bool in_debug_mode = false;

namespace {
UINT lastExitCode = 0;
bool consoleOpen = false;
File* logFile = 0;
} // namespace

void* System::SafeAllocMemory(UINT size) {
    return size ? OS::Alloc(size) : 0;
}

BOOL System::SafeFreeMemory(void* memory) {
    return memory && OS::Free(memory) ? TRUE : FALSE;
}

void System::ShowErrorMessage(const char* message) {
    OS::ErrorBox("Extracting error", message);
}

BOOL System::ExecuteAndWait(const char* executablePath, const char* args, const char* const* argv,
                            void (*started)(OS::Process program, void* context), void* context) {
    char* fullCommand = 0;
    if (!OS::kArgumentVector) {
        // The whole command line is started: it is sized to fit, never cut.
        uint64_t size = (uint64_t)String::StrLen(executablePath) + String::StrLen(args) + 2;
        fullCommand = size < 0xFFFFFFFFu ? (char*)SafeAllocMemory((UINT)size) : 0;
        if (!fullCommand) {
            Trace("CreateProcess returned FALSE\n");
            return FALSE;
        }
        String::StrCpy(fullCommand, executablePath);
        String::StrCat(fullCommand, " ");
        String::StrCat(fullCommand, args);
    }
    OS::Process process = OS::StartProcess(fullCommand, argv);
    SafeFreeMemory(fullCommand);
    if (process == OS::kInvalidProcess) {
        Trace("CreateProcess returned FALSE\n");
        return FALSE;
    }
    Trace("CreateProcess Success\n");
    if (started) started(process, context);
    Trace("Waiting end of launched process\n");
    return OS::WaitProcess(process, &lastExitCode) ? TRUE : FALSE;
}

char* System::GetTemporaryFolder() {
    char* block = (char*)SafeAllocMemory(261);
    if (!block) return 0;
    UINT length = OS::TempPath(block, 260);
    if (length == 0) {
        SafeFreeMemory(block);
        return 0;
    }
    // A path that does not fit is not written: the block stays empty.
    if (length >= 260) block[0] = 0;
    return block;
}

int System::MemCmp(const BYTE* m1, const BYTE* m2, int len) {
    for (int i = 0; i < len; i++)
        if (m1[i] != m2[i]) return -1;
    return 0;
}

void System::MemCpy(BYTE* m1, const BYTE* m2, int count) {
    for (int i = count - 1; i >= 0; i--)
        m1[i] = m2[i];
}

void System::WriteLog(const char* value) {
    UINT length = String::StrLen(value);
    if (length == 0) return;
    if (consoleOpen) OS::ConsoleWrite(value, length);
    if (logFile) logFile->Write(logFile, (const BYTE*)value, length);
}

void System::Trace(const char* p1, const char* p2, const char* p3, const char* p4, const char* p5) {
    if (!in_debug_mode) return;
    const char* pieces[5] = {p1, p2, p3, p4, p5};
    for (int i = 0; i < 5; i++)
        WriteLog(pieces[i]);
}

BOOL System::AllocateConsole(const char* title) {
    BOOL result = OS::ConsoleOpen(title) ? TRUE : FALSE;
    consoleOpen = result != FALSE;
    char* logPath = OS::LogFilePath();
    logFile = File::Create(logPath);
    SafeFreeMemory(logPath);
    return result;
}

void System::WaitForAnyKey() {
    OS::ConsoleReadKey();
}

UINT System::GetLastProcessExitCode() {
    return lastExitCode;
}

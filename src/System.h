// Process-wide services: heap, error box, program start and wait, temporary folder, byte
// helpers and the debug console and log.
#pragma once

#include "OS.h"

// Set once by main, before any other thread exists.
extern bool in_debug_mode;

class System {
  public:
    static void* SafeAllocMemory(UINT size);
    static BOOL SafeFreeMemory(void* memory);
    static void ShowErrorMessage(const char* message);
    // Starts a program and waits for its end; TRUE when it ran, whatever its code. A platform
    // with argument vectors (OS::kArgumentVector) starts argv, the others the command line
    // "executablePath args". started, when given, is told of the program before the wait.
    static BOOL ExecuteAndWait(const char* executablePath, const char* args,
                               const char* const* argv = 0,
                               void (*started)(OS::Process program, void* context) = 0,
                               void* context = 0);
    static char* GetTemporaryFolder();
    static int MemCmp(const BYTE* m1, const BYTE* m2, int len);
    static void MemCpy(BYTE* m1, const BYTE* m2, int count);
    static void WriteLog(const char* value);
    // In debug mode only: each given piece through WriteLog, one call each.
    static void Trace(const char* p1, const char* p2 = 0, const char* p3 = 0, const char* p4 = 0,
                      const char* p5 = 0);
    static BOOL AllocateConsole(const char* title);
    static void WaitForAnyKey();
    static UINT GetLastProcessExitCode();
};

// Fault injection at the platform layer, compiled into the test builds only
// (LAUNCHER_FAULT_INJECTION). Each operation of the layer asks Fails() first; the table counts the
// calls per operation and answers true for the one call that a test has armed, which then fails
// as the system call would. A test arms a launcher that it starts through its environment:
//
//   LAUNCHER_FAULT=<operation>:<n>   the nth call (from 1) of that operation fails
//   LAUNCHER_FAULT_LOG=<file>        gets one line per call of the journaled operations as it
//                                    happens ("<operation>", "<operation> failed"), and at exit
//                                    "calls <operation> <count>" for every operation and
//                                    "fired <0|1>"
//
// Both are taken out of the environment at start, so that no started program inherits them. In
// every other build Fails() is a constant false and the checks are compiled away.
#pragma once

#include "../OS.h"

namespace OS {
namespace Fault {

enum Operation {
    // Operations that can be made to fail.
    kAlloc, // OS::Alloc and the layer's own heap use
    kFileOpen,
    kFileRead,
    kFileWrite,
    kFileSeek,
    kFileSize,
    kCreateFolder, // each folder that CreateFolderOnce, CreateFolderTree or CreatePrivateFolder
                   // makes
    kPathExists,
    kListFolder,
    kSetCurrentDir,
    kTempPath,
    kRandom,
    kModulePath,
    kMarkExecutable,
    kStartProcess, // journaled
    kWaitProcess,
    kRemoveTree, // journaled
    kStartThread,
    kNetStartup,
    kTcpListen,
    kTcpAccept,
    // Observed only: counted and journaled, never failed.
    kErrorBox,
    kOperationCount
};
// The operations before it can be made to fail.
const Operation kObservedOnly = kErrorBox;

#ifdef LAUNCHER_FAULT_INJECTION
// Counts a call of operation; true when it is the armed one, which is then to fail.
bool Fails(Operation operation);
// The operation's name, as LAUNCHER_FAULT and the log spell it.
const char* Name(Operation operation);
#else
inline bool Fails(Operation) {
    return false;
}
#endif

inline void Record(Operation operation) {
    Fails(operation);
}

} // namespace Fault
} // namespace OS

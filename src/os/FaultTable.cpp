// The fault table of the test builds (see FaultTable.h).
#include "FaultTable.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace OS {
namespace Fault {

namespace {

struct Entry {
    const char* name;
    bool journaled;
    UINT calls;
};

// In the order of Operation.
Entry table[] = {
    {"Alloc", false, 0},         {"FileOpen", false, 0},       {"FileRead", false, 0},
    {"FileWrite", false, 0},     {"FileSeek", false, 0},       {"FileSize", false, 0},
    {"CreateFolder", false, 0},  {"PathExists", false, 0},     {"ListFolder", false, 0},
    {"SetCurrentDir", false, 0}, {"TempPath", false, 0},       {"Random", false, 0},
    {"ModulePath", false, 0},    {"MarkExecutable", false, 0}, {"StartProcess", true, 0},
    {"WaitProcess", false, 0},   {"RemoveTree", true, 0},      {"StartThread", false, 0},
    {"NetStartup", false, 0},    {"TcpListen", false, 0},      {"TcpAccept", false, 0},
    {"ErrorBox", true, 0},
};
static_assert(sizeof table / sizeof table[0] == kOperationCount, "one entry per operation");

Operation armed = kOperationCount;
UINT armedCall = 0;
int fired = 0;
int logFile = -1;

void Log(const char* text) {
    size_t length = strlen(text);
    while (length > 0) {
        ssize_t done = write(logFile, text, length);
        if (done <= 0) return;
        text += done;
        length -= (size_t)done;
    }
}

// Reads the arming from the environment before main runs, and writes the counts at exit.
struct Setup {
    Setup() {
        const char* fault = getenv("LAUNCHER_FAULT");
        const char* colon = fault ? strchr(fault, ':') : 0;
        for (int i = 0; colon && i < kObservedOnly; i++) {
            if (strlen(table[i].name) == (size_t)(colon - fault) &&
                memcmp(table[i].name, fault, (size_t)(colon - fault)) == 0) {
                armed = (Operation)i;
                armedCall = (UINT)strtoul(colon + 1, 0, 10);
            }
        }
        const char* log = getenv("LAUNCHER_FAULT_LOG");
        if (log) logFile = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        unsetenv("LAUNCHER_FAULT");
        unsetenv("LAUNCHER_FAULT_LOG");
    }
    ~Setup() {
        if (logFile < 0) return;
        char line[64];
        for (int i = 0; i < kOperationCount; i++) {
            snprintf(line, sizeof line, "calls %s %u\n", table[i].name,
                     __atomic_load_n(&table[i].calls, __ATOMIC_SEQ_CST));
            Log(line);
        }
        Log(__atomic_load_n(&fired, __ATOMIC_SEQ_CST) ? "fired 1\n" : "fired 0\n");
        close(logFile);
        logFile = -1;
    }
} setup;

} // namespace

bool Fails(Operation operation) {
    Entry* entry = &table[operation];
    UINT call = __atomic_add_fetch(&entry->calls, 1, __ATOMIC_SEQ_CST);
    bool fail = operation == armed && call == armedCall;
    if (fail) __atomic_store_n(&fired, 1, __ATOMIC_SEQ_CST);
    if (entry->journaled && logFile >= 0) {
        char line[64];
        snprintf(line, sizeof line, fail ? "%s failed\n" : "%s\n", entry->name);
        Log(line);
    }
    return fail;
}

const char* Name(Operation operation) {
    return table[operation].name;
}

} // namespace Fault
} // namespace OS

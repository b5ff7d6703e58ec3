// The launcher: entry and command line, the install run, single-file extraction.
#pragma once

#include "OS.h"

// An ordered, growable list of separately allocated texts (the VM arguments).
struct ArgList {
    char** items;
    UINT count;
    UINT capacity;
};
bool ArgListAppend(ArgList* list, char* item);
void ArgListRelease(ArgList* list);

enum LaunchMode {
    kModeInstall, // no "-extract=" before "-vmargs"
    kModeExtract, // "-extract=NAME@DIR"
    kModeNone,    // "-extract=" without "@": nothing runs
};

struct ParsedCommandLine {
    bool debug;
    // The reduced argument text handed to the install run (owned).
    char* arguments;
    // "-DextractorLoc=<path>" first, then each word after "-vmargs".
    ArgList vmArgs;
    LaunchMode mode;
    // Point into arguments in extraction mode.
    char* fileToExtract;
    char* destPath;
};

// Analyses the raw command line: debug switch, the launcher's own names removed, the VM
// arguments, the mode. Pure: it writes no trace. False only when memory runs out (also for the
// command line itself: null).
bool AnalyzeCommandLine(const char* commandLine, const char* extractorFullName,
                        ParsedCommandLine* parsed);

char* GetExtractorFileName();

// The install run; 0 and the autorun program's exit code in *exitCode when it ran, -1 on failure.
int install(const char* extractorFullName, const char* providedArguments, ArgList* vmArgsList,
            UINT* exitCode);
// Extracts the first entry whose name ends with toExtract below destPath; true when extracted.
bool extractSingleFile(const char* archivePath, const char* toExtract, const char* destPath);

// "sfx<value>.tmp" and the separator, as a new text; null without memory.
char* CreateTempFolder(UINT uniqueValue);
// The value of the first "Bundle-Version: " line that follows a CR LF, up to its CR LF; or null.
char* readVersionFromFile(const char* fileName);
// Appends the VM arguments, one and "\r\n" a line, to the ini file beside the program (its path
// with the last three characters made "ini") when that file exists; a last line without its
// line end gets "\r\n" first.
void WriteVmArguments(const char* executionString, const ArgList* vmArgsList);

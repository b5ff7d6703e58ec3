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
    // Point into arguments in extraction mode; the name with '\' for the platform's separator.
    char* fileToExtract;
    char* destPath;
};

// Analyses the raw command line: debug switch, the launcher's own names removed, the VM
// arguments, the mode. Pure: it writes no trace. False only when memory runs out (also for the
// command line itself: null).
bool AnalyzeCommandLine(const char* commandLine, const char* extractorFullName,
                        ParsedCommandLine* parsed);

char* GetExtractorFileName();

// Appends the words of text to list, each a new text: blanks (space, tab) separate words, double
// quotes group (and are dropped), and inside them a backslash makes the next '"' or '\' plain.
// Every marker inside a word is replaced by value (none when marker is null), so that a value
// with blanks or quotes stays within its word. False when memory runs out.
bool SplitWords(const char* text, const char* marker, const char* value, ArgList* list);
// Appends the user's arguments, argv[1] on, as the started program is to get them: as given,
// less the launcher's switches, which the command line's analysis reads as it does (" -debug"
// taken out, the first "-vmargs" that something follows and everything after it), each a new
// text. False when memory runs out.
bool UserArguments(int argc, char** argv, ArgList* list);

// The install run; 0 and the autorun program's exit code in *exitCode when it ran, -1 on failure.
// userArguments (UserArguments) are those that a platform with argument vectors hands on in
// place of providedArguments; null when they could not be listed.
int install(const char* extractorFullName, const char* providedArguments, ArgList* vmArgsList,
            const ArgList* userArguments, UINT* exitCode);
// Extracts the first entry whose name ends with toExtract below destPath; true when extracted.
bool extractSingleFile(const char* archivePath, const char* toExtract, const char* destPath);

// "sfx<value>.tmp" and the separator, as a new text; null without memory.
char* CreateTempFolder(UINT uniqueValue);
// The value of the first "Bundle-Version: " line that follows a CR LF, up to its CR LF; or null.
char* readVersionFromFile(const char* fileName);
// The ini file beside a program, as a new text: its path with the extension made ".ini", or
// ".ini" appended to a name without one; or the path with its last three characters made "ini".
char* IniFileByExtension(const char* program);
char* IniFileByLastThree(const char* program);
inline char* IniFileName(const char* program, bool byExtension) {
    return byExtension ? IniFileByExtension(program) : IniFileByLastThree(program);
}
// Appends the VM arguments, one and "\r\n" a line, to the ini file beside the program (the
// platform's IniFileName) when that file exists; a last line without its line end gets "\r\n"
// first.
void WriteVmArguments(const char* executionString, const ArgList* vmArgsList);

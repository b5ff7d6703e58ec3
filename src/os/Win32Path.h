// The path forms of the Win32 platform layer. The launcher's units hold paths as ANSI texts; the
// system gives some paths that the ANSI code page cannot hold, and the ANSI file functions stop
// at MAX_PATH. Used by Win32.cpp and by its unit tests.
#pragma once

#include <windows.h>

#include "OS.h"

namespace OS {
namespace Win32 {

// Paths of this many characters or more go to the file functions in the \\?\ form: the shortest
// limit of the ordinary form is that of a folder, which must leave room for an 8.3 file name.
const UINT kLongPath = MAX_PATH - 12;
// The longest path that the wide functions take, with its NUL.
const UINT kWidePathMax = 32768;

// The wide form of an ANSI path for the wide file functions, as a new heap text (OS::Free), or
// null: converted from the ANSI code page, and from kLongPath characters on (or always, with
// extended) the full path in the \\?\ form, \\?\UNC\ for a network path. That form takes no
// "." or ".." parts and no "/": the full path has none.
WCHAR* WidePath(const char* path, bool extended);

// An ANSI form of a path that the system gave as a wide text, as a new heap text (OS::Free): the
// path itself where the ANSI code page holds it exactly, else its short (8.3) form where that
// one is exact; null when there is no such form (short names switched off, no such file).
char* AnsiForm(const WCHAR* path);

// The end of the program path at the start of a raw command line: the closing quote of a quoted
// path (or the end of the line), else the first blank or tab.
template <typename Char> UINT ProgramPathEnd(const Char* line) {
    UINT end = line[0] == '"' ? 1 : 0;
    while (line[end] && (line[0] == '"' ? line[end] != '"' : line[end] != ' ' && line[end] != '\t'))
        end++;
    return end;
}

// The ANSI command line with its program path replaced by the ANSI form (AnsiForm) of the wide
// line's one, the rest as it is, as a new heap text; null when that path is exact or has no such
// form, so that the line stays as the system gives it.
char* CommandLineWithAnsiProgram(const char* ansi, const WCHAR* wide);

// Deletes what lies below folder at kLongPath characters or more, deepest first: the removal
// command stops at such paths. Folder links are removed, not followed.
void RemoveLongParts(const char* folder);

} // namespace Win32
} // namespace OS

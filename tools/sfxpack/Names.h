// The rules for the texts that an installer stores: entry names, the autorun path and its
// arguments. The launcher hands them to the platform's narrow-character functions unchanged.
#pragma once

#include <string>

namespace sfxpack {

// Why one folder or file name (no separators) cannot be an entry name component; empty when
// it can. Refused: control characters, bytes of 0x80 and above (their meaning depends on the
// code page of the machine that runs the installer), the characters that Windows file
// functions refuse (< > : " | ? * and the backslash, which is the separator), names that
// Windows trims (a trailing blank or dot), "." and "..", and device names (CON, NUL, COM1, ...).
std::string ComponentProblem(const std::string& component);

// The same for a whole stored name, whose components are separated by '\' (or '/'); a folder
// name ends with its separator. Also refuses an empty name and an empty component.
std::string EntryNameProblem(const std::string& name);

// Why a text that is passed on a command line (autorun arguments, a java-mode autorun) cannot be
// stored; empty when it can: control characters and bytes of 0x80 and above.
std::string CommandTextProblem(const std::string& text);

// Wildcard match of a whole name: '*' matches any run of characters, separators included, '?'
// any one character; everything else matches itself. '/' in the pattern stands for '\'.
bool GlobMatch(const std::string& pattern, const std::string& name);

// Forward slashes turned into the stored separator.
std::string ToStoredSeparators(std::string name);

// A text quoted for a message, with bytes that would not print shown as \xNN.
std::string Quoted(const std::string& text);

} // namespace sfxpack

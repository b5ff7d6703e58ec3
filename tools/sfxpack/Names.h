// The rules for the texts that an installer stores: entry names, the autorun path and its
// arguments. The launcher hands them to the platform's narrow-character functions unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sfxpack {

// The first bytes of an ELF image: a Linux program, and the Linux launcher.
const char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};

// The naming rules of the platform whose launcher runs the installer.
enum class NameRules { kWindows, kLinux };

// Why one folder or file name (no separators) cannot be an entry name component; empty when
// it can. Refused on both: "." and "..", and the backslash (the stored separator); on Linux also
// NUL and names of dots and blanks, which the launcher reads as "..". On Windows also: control
// characters, bytes of 0x80 and above (their meaning depends on the code page of the machine
// that runs the installer), the characters that Windows file functions refuse (< > : " | ? *),
// names that Windows trims (a trailing blank or dot), and device names (CON, NUL, COM1, ...).
std::string ComponentProblem(const std::string& component, NameRules rules = NameRules::kWindows);

// The same for a whole stored name, whose components are separated by '\' (or '/'); a folder
// name ends with its separator. Also refuses an empty name and an empty component.
std::string EntryNameProblem(const std::string& name, NameRules rules = NameRules::kWindows);

// The name that a refused one most likely means: "." and empty components left out, ".."
// taken back within the name; empty when there is none (the name leaves its folder, or
// nothing changes).
std::string SuggestedName(const std::string& name);

// Why a text that is passed on a command line (autorun arguments, a java-mode autorun) cannot be
// stored; empty when it can: control characters, and on Windows bytes of 0x80 and above.
std::string CommandTextProblem(const std::string& text, NameRules rules = NameRules::kWindows);

// The length of a typical extraction folder: the temporary folder of a user whose name has 20
// characters (the longest that Windows accepts), with the longest folder name that the launcher
// forms in it. Computed once from such a path.
const size_t kTypicalExtractionFolderLength =
    sizeof("C:\\Users\\12345678901234567890\\AppData\\Local\\Temp\\sfx4294967295.tmp\\") - 1;
// The longest path that a program without long-path support can open (MAX_PATH less its NUL).
const size_t kMaxPathLength = 259;

// The warning, without its prefix, about the entry whose path below a typical extraction folder
// is the longest, when that path has more than kMaxPathLength characters; empty when none has.
// The launcher copes with such paths, but many started programs do not.
std::string DeepPathWarning(const std::vector<std::string>& names);

// Wildcard match of a whole name: '*' matches any run of characters, separators included, '?'
// any one character; everything else matches itself. '/' in the pattern stands for '\'.
bool GlobMatch(const std::string& pattern, const std::string& name);

// Forward slashes turned into the stored separator.
std::string ToStoredSeparators(std::string name);

// A text quoted for a message, with bytes that would not print shown as \xNN.
std::string Quoted(const std::string& text);

} // namespace sfxpack

#include "Names.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace sfxpack {

namespace {

std::string ByteName(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", c);
    return text;
}

std::string Upper(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return result;
}

// Windows opens these as devices wherever they appear, with or without an extension.
bool IsDeviceName(const std::string& component) {
    std::string stem = Upper(component.substr(0, component.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (stem == device) return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

} // namespace

std::string ComponentProblem(const std::string& component, NameRules rules) {
    if (component.empty()) return "it has an empty folder name";
    if (component == "." || component == "..") return "it holds a '" + component + "' component";
    if (rules == NameRules::kLinux) {
        if (component.find_first_not_of(". ") == std::string::npos)
            return "it holds '" + component + "', which the launcher reads as '..'";
        if (component.find('\0') != std::string::npos) return "it holds a NUL byte";
        if (component.find('\\') != std::string::npos)
            return "it holds a backslash, which the launcher reads as a separator";
        return "";
    }
    for (unsigned char c : component) {
        if (c < 0x20 || c == 0x7F) return "it holds the control character " + ByteName(c);
        if (c >= 0x80)
            return "it holds the byte " + ByteName(c) +
                   ", whose meaning depends on the code page of the machine that runs the "
                   "installer";
        if (std::strchr("<>:\"|?*", c))
            return std::string("it holds '") + (char)c + "', which Windows file functions refuse";
        if (c == '\\') return "it holds a backslash, which the launcher reads as a separator";
    }
    char last = component.back();
    if (last == ' ' || last == '.')
        return std::string("it ends with ") + (last == ' ' ? "a blank" : "a dot") +
               ", which Windows removes";
    if (IsDeviceName(component)) return "it is a device name on Windows";
    return "";
}

std::string EntryNameProblem(const std::string& name, NameRules rules) {
    if (name.empty()) return "it is empty";
    if (name[0] == '\\' || name[0] == '/') return "it is absolute";
    size_t start = 0;
    while (start < name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string::npos) end = name.size();
        std::string problem = ComponentProblem(name.substr(start, end - start), rules);
        if (!problem.empty()) return problem;
        start = end + 1;
    }
    return "";
}

std::string SuggestedName(const std::string& name) {
    std::vector<std::string> kept;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string::npos) end = name.size();
        std::string component = name.substr(start, end - start);
        if (component == "..") {
            if (kept.empty()) return "";
            kept.pop_back();
        } else if (!component.empty() && component != ".") {
            kept.push_back(component);
        }
        start = end + 1;
    }
    // Written with the separator that the name was written with.
    char separator =
        name.find('\\') != std::string::npos && name.find('/') == std::string::npos ? '\\' : '/';
    std::string suggestion;
    for (const std::string& component : kept)
        suggestion += (suggestion.empty() ? "" : std::string(1, separator)) + component;
    return suggestion == name ? "" : suggestion;
}

std::string CommandTextProblem(const std::string& text, NameRules rules) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return "it holds the control character " + ByteName(c);
        if (c >= 0x80 && rules == NameRules::kWindows)
            return "it holds the byte " + ByteName(c) +
                   ", whose meaning depends on the code page of the machine that runs the "
                   "installer";
    }
    return "";
}

std::string DeepPathWarning(const std::vector<std::string>& names) {
    size_t deepest = 0, longest = 0, over = 0;
    for (size_t i = 0; i < names.size(); i++) {
        const std::string& name = names[i];
        // A folder's path ends before its separator.
        bool folder = !name.empty() && (name.back() == '\\' || name.back() == '/');
        size_t length = kTypicalExtractionFolderLength + name.size() - (folder ? 1 : 0);
        if (length > kMaxPathLength) over++;
        if (length > longest) {
            longest = length;
            deepest = i;
        }
    }
    if (over == 0) return "";
    std::string text =
        "entry " + Quoted(names[deepest]) + " makes a path of " + std::to_string(longest) +
        " characters below a typical extraction folder "
        "(C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\sfx4294967295.tmp\\), over " +
        std::to_string(kMaxPathLength);
    if (over > 1) text += " (" + std::to_string(over) + " entries are)";
    return text + ": the launcher copes, but many started programs cannot open such paths";
}

bool GlobMatch(const std::string& pattern, const std::string& name) {
    // Iterative match with one backtrack point: the most recent '*'.
    size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        char want = p < pattern.size() ? (pattern[p] == '/' ? '\\' : pattern[p]) : 0;
        if (p < pattern.size() && want == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (want == '?' || want == name[n])) {
            p++;
            n++;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

std::string ToStoredSeparators(std::string name) {
    for (char& c : name)
        if (c == '/') c = '\\';
    return name;
}

std::string Quoted(const std::string& text) {
    std::string result = "'";
    for (unsigned char c : text)
        result += c < 0x20 || c >= 0x7F ? ByteName(c) : std::string(1, (char)c);
    return result + "'";
}

} // namespace sfxpack

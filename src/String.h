// Helpers for NUL-terminated 8-bit texts. Every search and comparison is byte-exact and
// case-sensitive; every text returned as new comes from System::SafeAllocMemory.
#pragma once

#include "OS.h"

class String {
  public:
    static UINT StrLen(const char* string);
    static void StrCpy(char* dest, const char* source);
    static void StrCat(char* dest, const char* src);
    static void StrNCpy(char* dest, const char* source, UINT count);
    // Formats two arguments (texts or 32-bit numbers) with %s, %u, %d, %x, %c and %% into a
    // 1024-byte buffer; longer output is cut.
    static void Sprintf2(char* buffer, const char* format, const void* arg1, const void* arg2);
    // The same into a buffer of capacity bytes, the NUL included.
    static void Format(char* buffer, UINT capacity, const char* format, const void* arg1,
                       const void* arg2);
    static char* StrDup(const char* str);
    static char* StrStr(char* str1, const char* str2);
    static const char* StrStr(const char* str1, const char* str2);
    static bool EndsWith(const char* string, const char* suffix);
    static bool StartsWith(const char* string, const char* prefix);
    // Note the order: the text to look for first.
    static int LastIndexOf(const char* stringToSearch, const char* originalString);
    // A new text with every occurrence of subStringToReplace replaced by newValue, also those
    // that arise where two pieces meet, pass after pass. Only a value shorter than the text to
    // replace is sure to end that way; an empty text to replace, or a value at least as long
    // (which may hold the text or rebuild it), is replaced in one left-to-right pass instead.
    static char* ReplaceAll(const char* originalString, const char* subStringToReplace,
                            const char* newValue);
};

// Passes a 32-bit number where Sprintf2 takes an argument.
inline const void* NumArg(UINT value) {
    return (const void*)(uintptr_t)value;
}

#include "String.h"

#include "System.h"

UINT String::StrLen(const char* string) {
    if (!string) return 0;
    UINT length = 0;
    while (string[length])
        length++;
    return length;
}

void String::StrCpy(char* dest, const char* source) {
    if (!dest || !source) return;
    while ((*dest++ = *source++)) {
    }
}

void String::StrCat(char* dest, const char* src) {
    if (!dest || !src) return;
    StrCpy(dest + StrLen(dest), src);
}

void String::StrNCpy(char* dest, const char* source, UINT count) {
    if (!dest || !source || count == 0) return;
    UINT i = 0;
    for (; i + 1 < count && source[i]; i++)
        dest[i] = source[i];
    dest[i] = 0;
}

namespace {

// Appends to a bounded buffer, always leaving room for the NUL.
struct Out {
    char* buffer;
    UINT capacity;
    UINT length;
    void Put(char c) {
        if (length + 1 < capacity) buffer[length++] = c;
    }
    void Put(const char* text) {
        while (text && *text)
            Put(*text++);
    }
};

void PutNumber(Out* out, uint32_t value, bool isSigned, UINT base) {
    char digits[12];
    UINT count = 0;
    bool negative = isSigned && (int32_t)value < 0;
    uint32_t magnitude = negative ? 0u - value : value;
    do {
        UINT digit = magnitude % base;
        digits[count++] = (char)(digit < 10 ? '0' + digit : 'a' + digit - 10);
        magnitude /= base;
    } while (magnitude);
    if (negative) out->Put('-');
    while (count)
        out->Put(digits[--count]);
}

} // namespace

void String::Format(char* buffer, UINT capacity, const char* format, const void* arg1,
                    const void* arg2) {
    if (!buffer || capacity == 0) return;
    Out out = {buffer, capacity, 0};
    const void* args[2] = {arg1, arg2};
    UINT next = 0;
    for (const char* f = format; f && *f; f++) {
        if (*f != '%') {
            out.Put(*f);
            continue;
        }
        char conversion = *++f;
        if (!conversion) break;
        if (conversion == '%') {
            out.Put('%');
            continue;
        }
        const void* arg = next < 2 ? args[next++] : 0;
        uint32_t number = (uint32_t)(uintptr_t)arg;
        switch (conversion) {
        case 's':
            out.Put(arg ? (const char*)arg : "(null)");
            break;
        case 'u':
            PutNumber(&out, number, false, 10);
            break;
        case 'd':
        case 'i':
            PutNumber(&out, number, true, 10);
            break;
        case 'x':
            PutNumber(&out, number, false, 16);
            break;
        case 'c':
            out.Put((char)number);
            break;
        default:
            out.Put('%');
            out.Put(conversion);
            break;
        }
    }
    buffer[out.length] = 0;
}

void String::Sprintf2(char* buffer, const char* format, const void* arg1, const void* arg2) {
    Format(buffer, 1024, format, arg1, arg2);
}

char* String::StrDup(const char* str) {
    char* copy = (char*)System::SafeAllocMemory(StrLen(str) + 1);
    if (copy) StrCpy(copy, str ? str : "");
    return copy;
}

const char* String::StrStr(const char* str1, const char* str2) {
    UINT len1 = StrLen(str1), len2 = StrLen(str2);
    if (len1 < len2) return 0;
    UINT delta = len1 - len2;
    for (UINT i = 0; i <= delta; i++) {
        if (System::MemCmp((const BYTE*)str1 + i, (const BYTE*)str2, (int)len2) == 0)
            return str1 + i;
    }
    return 0;
}

char* String::StrStr(char* str1, const char* str2) {
    return const_cast<char*>(StrStr(static_cast<const char*>(str1), str2));
}

bool String::EndsWith(const char* string, const char* suffix) {
    if (!string || !suffix) return false;
    UINT stringLen = StrLen(string), suffixLen = StrLen(suffix);
    if (suffixLen > stringLen) return false;
    const char* suffixStart = string + stringLen - suffixLen;
    return System::MemCmp((const BYTE*)suffixStart, (const BYTE*)suffix, (int)suffixLen + 1) == 0;
}

bool String::StartsWith(const char* string, const char* prefix) {
    if (!string || !prefix) return false;
    UINT stringLen = StrLen(string), prefixLen = StrLen(prefix);
    if (prefixLen > stringLen) return false;
    return System::MemCmp((const BYTE*)string, (const BYTE*)prefix, (int)prefixLen) == 0;
}

int String::LastIndexOf(const char* stringToSearch, const char* originalString) {
    if (!stringToSearch || !originalString) return 0;
    int originalLength = (int)StrLen(originalString), stringLen = (int)StrLen(stringToSearch);
    if (originalLength < stringLen) return -1;
    for (int startPos = originalLength - stringLen; startPos >= 0; startPos--) {
        if (System::MemCmp((const BYTE*)originalString + startPos, (const BYTE*)stringToSearch,
                           stringLen) == 0)
            return startPos;
    }
    return -1;
}

namespace {

// One left-to-right pass: each occurrence in the original text is replaced once, and the
// replacement text is never searched again. An empty needle matches nowhere.
char* ReplaceOnePass(const char* text, const char* needle, const char* value) {
    UINT textLen = String::StrLen(text), needleLen = String::StrLen(needle);
    UINT valueLen = String::StrLen(value);
    if (needleLen == 0) return String::StrDup(text);
    uint64_t resultLen = textLen;
    for (const char* at = String::StrStr(text, needle); at;
         at = String::StrStr(at + needleLen, needle))
        resultLen += (uint64_t)valueLen - needleLen;
    if (resultLen >= 0xFFFFFFFFu) return 0;
    char* result = (char*)System::SafeAllocMemory((UINT)resultLen + 1);
    if (!result) return 0;
    char* out = result;
    const char* from = text;
    for (const char* at = String::StrStr(from, needle); at; at = String::StrStr(from, needle)) {
        System::MemCpy((BYTE*)out, (const BYTE*)from, (int)(at - from));
        out += at - from;
        System::MemCpy((BYTE*)out, (const BYTE*)value, (int)valueLen);
        out += valueLen;
        from = at + needleLen;
    }
    String::StrCpy(out, from);
    return result;
}

} // namespace

char* String::ReplaceAll(const char* originalString, const char* subStringToReplace,
                         const char* newValue) {
    // Passes that rescan the whole text are sure to end only when each pass shortens it; any
    // other replacement (an empty needle, a value as long or longer, which may hold the needle
    // or rebuild it where pieces meet) is done in one left-to-right pass.
    UINT needleLen = StrLen(subStringToReplace);
    if (needleLen == 0 || StrLen(newValue) >= needleLen)
        return ReplaceOnePass(originalString, subStringToReplace, newValue);
    char* current = StrDup(originalString);
    while (current) {
        char* entry = StrStr(current, subStringToReplace);
        if (!entry) return current;
        UINT leftSize = (UINT)(entry - current);
        UINT originalLength = StrLen(current), subLength = StrLen(subStringToReplace);
        UINT newValueSize = StrLen(newValue);
        UINT rightSize = originalLength - leftSize - subLength;
        uint64_t resultSize = (uint64_t)leftSize + newValueSize + rightSize;
        char* result =
            resultSize < 0xFFFFFFFFu ? (char*)System::SafeAllocMemory((UINT)resultSize + 1) : 0;
        if (result) {
            System::MemCpy((BYTE*)result, (const BYTE*)current, (int)leftSize);
            System::MemCpy((BYTE*)result + leftSize, (const BYTE*)newValue, (int)newValueSize);
            System::MemCpy((BYTE*)result + leftSize + newValueSize, (const BYTE*)entry + subLength,
                           (int)rightSize);
        }
        System::SafeFreeMemory(current);
        current = result;
    }
    return 0;
}

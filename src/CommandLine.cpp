#include "main.h"

#include "String.h"
#include "System.h"

namespace {
const char* const arg_vmargs = "-vmargs";
const char* const arg_debug = " -debug";
const char* const arg_extract = "-extract=";

// Replaces text with its reduction; false when memory runs out.
bool Reduce(char** text, const char* remove) {
    char* reduced = String::ReplaceAll(*text, remove, "");
    System::SafeFreeMemory(*text);
    *text = reduced;
    return reduced != 0;
}
} // namespace

bool ArgListAppend(ArgList* list, char* item) {
    if (list->count == list->capacity) {
        UINT capacity = list->capacity ? list->capacity * 2 : 8;
        char** items = (char**)System::SafeAllocMemory(capacity * (UINT)sizeof(char*));
        if (!items) return false;
        for (UINT i = 0; i < list->count; i++)
            items[i] = list->items[i];
        System::SafeFreeMemory(list->items);
        list->items = items;
        list->capacity = capacity;
    }
    list->items[list->count++] = item;
    return true;
}

void ArgListRelease(ArgList* list) {
    System::SafeFreeMemory(list->items);
    list->items = 0;
    list->count = list->capacity = 0;
}

bool SplitWords(const char* text, const char* marker, const char* value, ArgList* list) {
    // No word is longer than the text that it comes from.
    char* word = (char*)System::SafeAllocMemory(String::StrLen(text) + 1);
    const char* c = text ? text : "";
    bool ok = word != 0;
    while (ok) {
        while (*c == ' ' || *c == '\t')
            c++;
        if (!*c) break;
        UINT length = 0;
        bool quoted = false;
        for (; *c && (quoted || (*c != ' ' && *c != '\t')); c++) {
            if (*c == '"')
                quoted = !quoted;
            else if (quoted && *c == '\\' && (c[1] == '"' || c[1] == '\\'))
                word[length++] = *++c;
            else
                word[length++] = *c;
        }
        word[length] = 0;
        char* item = marker ? String::ReplaceAll(word, marker, value) : String::StrDup(word);
        ok = item && ArgListAppend(list, item);
    }
    System::SafeFreeMemory(word);
    return ok;
}

bool UserArguments(int argc, char** argv, ArgList* list) {
    UINT vmargsLength = String::StrLen(arg_vmargs);
    for (int i = 1; i < argc; i++) {
        // The argument as the command line holds it, behind its blank, less " -debug".
        char* spaced = (char*)System::SafeAllocMemory(String::StrLen(argv[i]) + 2);
        if (!spaced) return false;
        spaced[0] = ' ';
        String::StrCat(spaced, argv[i]);
        char* reduced = String::ReplaceAll(spaced, arg_debug, "");
        System::SafeFreeMemory(spaced);
        if (!reduced) return false;
        // The switch alone leaves nothing; an empty argument keeps its blank.
        bool kept = *reduced != 0;
        if (reduced[0] == ' ') String::StrCpy(reduced, reduced + 1);
        char* vmargs = String::StrStr(reduced, arg_vmargs);
        bool last = vmargs && (vmargs[vmargsLength] || i + 1 < argc);
        if (last) {
            *vmargs = 0;
            kept = *reduced != 0;
        }
        if (!kept) System::SafeFreeMemory(reduced);
        if (kept && !ArgListAppend(list, reduced)) return false;
        if (last) break;
    }
    return true;
}

bool AnalyzeCommandLine(const char* commandLine, const char* extractorFullName,
                        ParsedCommandLine* parsed) {
    // A command line that could not be had is not an empty one: nothing is to run.
    if (!commandLine) return false;
    ParsedCommandLine p = {};
    p.arguments = String::ReplaceAll(commandLine, arg_debug, "");
    if (!p.arguments) return false;
    p.debug = String::StrLen(p.arguments) != String::StrLen(commandLine);

    // The launcher's own path, then its file name, are taken out of the arguments. A missing or
    // empty name removes nothing.
    if (String::StrLen(extractorFullName) > 0) {
        if (!Reduce(&p.arguments, extractorFullName)) return false;
        char sep[2] = {OS::kSeparator, 0};
        int pos = String::LastIndexOf(sep, extractorFullName);
        const char* shortName = extractorFullName + pos + 1;
        if (pos > 0 && *shortName && !Reduce(&p.arguments, shortName)) return false;
    }

    UINT locLength = String::StrLen(extractorFullName) + 16;
    char* location = (char*)System::SafeAllocMemory(locLength);
    if (!location || !ArgListAppend(&p.vmArgs, location)) return false;
    String::Format(location, locLength, "-DextractorLoc=%s",
                   extractorFullName ? extractorFullName : "", 0);

    char* strPtr = String::StrStr(p.arguments, arg_vmargs);
    if (strPtr) {
        char* argToForget = strPtr;
        strPtr += String::StrLen(arg_vmargs);
        if (*strPtr) {
            for (;;) {
                char* nextSpace = String::StrStr(strPtr, " ");
                if (nextSpace == strPtr) {
                    strPtr++;
                    continue;
                }
                if (!nextSpace) break;
                UINT size = (UINT)(nextSpace - strPtr);
                char* word = (char*)System::SafeAllocMemory(size + 1);
                if (!word || !ArgListAppend(&p.vmArgs, word)) return false;
                String::StrNCpy(word, strPtr, size + 1);
                strPtr = nextSpace + 1;
            }
            if (*strPtr) {
                char* word = String::StrDup(strPtr);
                if (!word || !ArgListAppend(&p.vmArgs, word)) return false;
            }
            *argToForget = 0;
        }
    }

    p.mode = kModeInstall;
    char* extractPtr = String::StrStr(p.arguments, arg_extract);
    if (extractPtr) {
        extractPtr += String::StrLen(arg_extract);
        char* separator = String::StrStr(extractPtr, "@");
        p.mode = kModeNone;
        if (separator) {
            p.mode = kModeExtract;
            *separator = 0;
            p.fileToExtract = extractPtr;
            // Typed with the platform's separator; stored names separate folders with '\'.
            for (char* c = extractPtr; *c; c++)
                if (*c == OS::kSeparator) *c = '\\';
            p.destPath = separator + 1;
            // Closing quotes and blanks of a quoted switch are not part of the folder.
            UINT len = String::StrLen(p.destPath);
            while (len > 0 && (p.destPath[len - 1] == ' ' || p.destPath[len - 1] == '"'))
                p.destPath[--len] = 0;
        }
    }
    *parsed = p;
    return true;
}

// The install run: from the payload to the started program and the removal of its folder.
#include "main.h"

#include "File.h"
#include "Path.h"
#include "Payload.h"
#include "Splash.h"
#include "String.h"
#include "System.h"

namespace {

const char* const verFileOffset = "com.kestrom.tarnix.ide.installer_";
const char* const verFileName = "MANIFEST.MF";
const char* const bundleVersionTag = "Bundle-Version: ";
const char* const splashName = "splash.bmp";
const char* const zipSuffix = ".zip";
const char* const launcherMarker = "$#launcher#";
const char* const kExecutionStringFailure =
    "Failed to allocate enough memory to form execution string.";
// How many taken folder names are skipped before the run settles for the last one.
const UINT kFolderNameTries = 1000;

struct InstallRun {
    OpenedPayload payload;
    File* self;
    char* temporaryFolder;
    char* extractionFolder;
    UINT folderValue;
    bool folderClaimed;
};

// Clean-up before a failure box: the launcher file and the tables that the run still holds.
void ReleasePayload(InstallRun* run) {
    run->self->Close(run->self);
    if (run->payload.requiredIdsCount > 0) System::SafeFreeMemory(run->payload.requiredIdsTable);
    System::SafeFreeMemory(run->payload.stringTableOffsetsTable);
}

// A failed step: clean-up, the box, and once extraction has begun the folder's removal.
int Fail(InstallRun* run, const char* box, bool removeFolder) {
    box = FailureBox(&run->payload, box);
    ReleasePayload(run);
    System::ShowErrorMessage(box);
    if (removeFolder) RemoveFolder(run->extractionFolder);
    return -1;
}

int FailBeforeExtraction(InstallRun* run, const char* box) {
    return Fail(run, box, false);
}

int FailAfterExtraction(InstallRun* run, const char* box) {
    return Fail(run, box, true);
}

// The extraction folder for a counter value; null without memory.
char* FormExtractionFolder(const char* temporaryFolder, UINT value) {
    char* name = CreateTempFolder(value);
    char* folder = name ? Path::Combine(temporaryFolder, name) : 0;
    System::SafeFreeMemory(name);
    return folder;
}

// Moves the run on to the folder name of the next counter value; false without memory.
bool NextFolderName(InstallRun* run) {
    char* next = FormExtractionFolder(run->temporaryFolder, run->folderValue + 1);
    if (!next) return false;
    run->folderValue++;
    System::SafeFreeMemory(run->extractionFolder);
    run->extractionFolder = next;
    return true;
}

// Makes the extraction folder this run's own at its first extraction: a folder that another
// launcher took in the meantime moves this run on to the next free name.
void ClaimExtractionFolder(InstallRun* run) {
    if (run->folderClaimed) return;
    run->folderClaimed = true;
    for (UINT tries = 0; tries < kFolderNameTries; tries++) {
        if (OS::CreateFolderOnce(run->extractionFolder) != OS::kFolderExisted ||
            !NextFolderName(run))
            return;
    }
}

bool Extract(InstallRun* run, UINT id) {
    ClaimExtractionFolder(run);
    return ExtractFile(id, fileInfoTable, run->payload.stringTableOffsetsTable, run->self,
                       run->extractionFolder);
}

// The first entry whose name contains `contains` (when given) and ends with `suffix`, or -1;
// its name goes to *name.
int FindEntry(InstallRun* run, const char* contains, const char* suffix, char** name) {
    for (UINT id = 0; id < run->payload.header->numberOfFiles; id++) {
        char* entryName = GetStringById(id, run->payload.stringTableOffsetsTable, run->self);
        if (entryName && (!contains || String::StrStr(entryName, contains)) &&
            String::EndsWith(entryName, suffix)) {
            *name = entryName;
            return (int)id;
        }
        System::SafeFreeMemory(entryName);
    }
    return -1;
}

// first + separator + second as a new text.
char* Join(const char* first, const char* separator, const char* second) {
    UINT size = String::StrLen(first) + String::StrLen(separator) + String::StrLen(second) + 1;
    char* joined = (char*)System::SafeAllocMemory(size);
    if (joined) {
        String::StrCpy(joined, first ? first : "");
        String::StrCat(joined, separator);
        String::StrCat(joined, second);
    }
    return joined;
}

bool IsQuotedSpecial(char c) {
    for (const char* special = OS::kQuotedSpecials; *special; special++)
        if (*special == c) return true;
    return false;
}

// The length of path in double quotes, as one word of the platform's command line: each
// character that the quotes would still leave as syntax is written with a backslash before it.
UINT QuotedLength(const char* path) {
    UINT length = 2;
    for (const char* c = path; c && *c; c++)
        length += IsQuotedSpecial(*c) ? 2 : 1;
    return length;
}

// Writes that form of path and a NUL into buffer, of QuotedLength(path) + 1 bytes.
void WriteQuoted(char* buffer, const char* path) {
    *buffer++ = '"';
    for (const char* c = path; c && *c; c++) {
        if (IsQuotedSpecial(*c)) *buffer++ = '\\';
        *buffer++ = *c;
    }
    *buffer++ = '"';
    *buffer = 0;
}

// True when the file's last byte is there and is no line feed, so that a line appended to it
// would continue its last line. A line feed alone ends a line too (files written on POSIX).
// Read before the ini is opened for writing: the write handle cannot read.
bool EndsWithoutLineEnd(const char* path) {
    File* file = File::Open(path);
    if (!file) return false;
    BYTE last = '\n';
    // An empty file fails the seek and keeps '\n'.
    if (file->Seek(file, -1, 2) && file->Read(file, &last, 1) != 1) last = '\n';
    file->Close(file);
    System::SafeFreeMemory(file);
    return last != '\n';
}

// The command line of a platform whose programs split their own: the program path in quotes
// (the bare name in java mode, with the stored path as its first argument), the stored
// arguments with the marker replaced, a blank, and what is left of the launcher's command line.
bool FormCommandLine(const char* javaPath, const char* storedArguments,
                     const char* extractorFullName, const char* executionString,
                     const char* providedArguments, char** program, char** arguments) {
    char* replaced = String::ReplaceAll(storedArguments, launcherMarker, extractorFullName);
    if (!replaced) return false;
    if (javaPath) {
        *program = String::StrDup(executionString);
        char* javaArguments = Join(javaPath, " ", replaced);
        System::SafeFreeMemory(replaced);
        replaced = javaArguments;
    } else {
        *program = (char*)System::SafeAllocMemory(QuotedLength(executionString) + 1);
        if (*program) WriteQuoted(*program, executionString);
    }
    *arguments = replaced ? Join(replaced, " ", providedArguments) : 0;
    System::SafeFreeMemory(replaced);
    return *program && *arguments;
}

// The argument vector of a platform whose programs get words: the program, in java mode the
// words of the stored path, the words of the stored arguments with the marker replaced inside
// each word, then the user's arguments as the launcher got them; null-terminated.
bool FormArgumentVector(const char* javaPath, const char* storedArguments,
                        const char* extractorFullName, const char* executionString,
                        const ArgList* userArguments, ArgList* words) {
    if (!userArguments || !ArgListAppend(words, (char*)executionString) ||
        (javaPath && !SplitWords(javaPath, 0, 0, words)) ||
        !SplitWords(storedArguments, launcherMarker, extractorFullName, words))
        return false;
    for (UINT i = 0; i < userArguments->count; i++)
        if (!ArgListAppend(words, userArguments->items[i])) return false;
    return ArgListAppend(words, 0);
}

} // namespace

char* IniFileByLastThree(const char* program) {
    UINT length = String::StrLen(program);
    char* iniFile = String::StrDup(program);
    if (iniFile && length >= 3) String::StrCpy(iniFile + length - 3, "ini");
    return iniFile;
}

char* IniFileByExtension(const char* program) {
    // The extension begins at the name's last dot, unless that dot begins the name.
    UINT length = String::StrLen(program), stem = length;
    for (UINT i = length; i > 1 && program[i - 1] != OS::kSeparator; i--) {
        if (program[i - 1] == '.' && program[i - 2] != OS::kSeparator) {
            stem = i - 1;
            break;
        }
    }
    char* iniFile = (char*)System::SafeAllocMemory(stem + 5);
    if (iniFile) {
        String::StrNCpy(iniFile, program, stem + 1);
        String::StrCat(iniFile, ".ini");
    }
    return iniFile;
}

void WriteVmArguments(const char* executionString, const ArgList* vmArgsList) {
    char* iniFile = IniFileName(executionString, OS::kIniByExtension);
    if (!iniFile) return;
    bool endLastLine = vmArgsList->count > 0 && EndsWithoutLineEnd(iniFile);
    File iniFileObj(iniFile, false);
    // Appended at the file's end or not at all, never over its own lines; the first write that
    // fails ends the appending, so that no line runs into the next.
    UINT size = iniFileObj.GetSize();
    bool appending = size != 0xFFFFFFFF && iniFileObj.Seek(&iniFileObj, (int32_t)size, 0);
    if (appending && endLastLine) appending = iniFileObj.Write(&iniFileObj, (const BYTE*)"\r\n", 2);
    for (UINT i = 0; appending && i < vmArgsList->count; i++) {
        const char* entry = vmArgsList->items[i];
        appending = iniFileObj.Write(&iniFileObj, (const BYTE*)entry, String::StrLen(entry)) &&
                    iniFileObj.Write(&iniFileObj, (const BYTE*)"\r\n", 2);
    }
    iniFileObj.Close(&iniFileObj);
    System::Trace("VM arguments to '", iniFile, "'...", appending ? "OK\n" : "not written\n");
    System::SafeFreeMemory(iniFile);
}

namespace {

// Builds the autorun command line, starts the program and waits for it, then has the
// extraction folder removed.
int Launch(InstallRun* run, const char* extractorFullName, const char* providedArguments,
           const ArgList* vmArgsList, const ArgList* userArguments, UINT* exitCode) {
    const ExecutionInfo* info = run->payload.executionInfo;
    File* self = run->self;
    const UINT* strings = run->payload.stringTableOffsetsTable;

    System::Trace("Reading autorun arguments...");
    char* tmpArguments = GetStringById(info->ArgsStringId, strings, self);
    if (!tmpArguments)
        return FailAfterExtraction(run, "Failed to retreive arguments for executable.");
    System::Trace("OK\n", "Arguments = '", tmpArguments, "'\n");

    System::Trace("Reading autorun path...");
    char* origExecString = GetStringById(info->ExecutableStringId, strings, self);
    char* tmpExecutionString = Path::Combine(run->extractionFolder, origExecString);
    char* executionString = (char*)System::SafeAllocMemory(String::StrLen(tmpExecutionString) + 7);
    // A text that could not be formed is no empty one: the program never starts without it.
    if (!executionString || !tmpExecutionString)
        return FailAfterExtraction(run, kExecutionStringFailure);
    System::Trace("OK\n", "Autorun path = '", origExecString, "'\n");

    // Java mode starts "java" or "javax" by its bare name, found on the program search path;
    // the stored path comes first among its arguments.
    bool java = (info->Flags & SFX_FLAG_JAVA) != 0;
    if (java) {
        String::StrCpy(executionString, (info->Flags & SFX_FLAG_JAVAX) ? "javax" : "java");
    } else {
        System::SafeFreeMemory(executionString);
        executionString = tmpExecutionString;
    }
    char* program = 0;
    char* arguments = 0;
    ArgList words = {};
    bool formed =
        OS::kArgumentVector
            ? FormArgumentVector(java ? origExecString : 0, tmpArguments, extractorFullName,
                                 executionString, userArguments, &words)
            : FormCommandLine(java ? origExecString : 0, tmpArguments, extractorFullName,
                              executionString, providedArguments, &program, &arguments);
    if (!formed) return FailAfterExtraction(run, kExecutionStringFailure);

    if (!OS::SetCurrentDir(run->extractionFolder)) {
        System::Trace("Failed to set current directory");
        System::ShowErrorMessage("Failed to set current directory");
        RemoveFolder(run->extractionFolder);
        return -1;
    }

    WriteVmArguments(executionString, vmArgsList);
    setSplashText("Initializing...");

    if (OS::kArgumentVector) {
        // Each word in quotes of its own, so that the trace shows where words begin and end.
        System::Trace("Executing autorun: '", words.items[0], "' with arguments:");
        for (UINT i = 1; i + 1 < words.count; i++)
            System::Trace(" '", words.items[i], "'");
        System::Trace("...");
    } else {
        System::Trace("Executing autorun: '", program, "' with arguments:'", arguments, "'...");
    }
    if (!System::ExecuteAndWait(program, arguments, words.items)) {
        System::ShowErrorMessage("Failed to start or wait for executable.");
        // Leave the folder first, so that its removal can take the folder itself too.
        OS::SetCurrentDir(run->temporaryFolder);
        if (in_debug_mode) {
            System::Trace("\n[DEBUG] Press any key clean temporary folder...");
            System::WaitForAnyKey();
        }
        RemoveFolder(run->extractionFolder);
        return -1;
    }
    System::Trace("OK\n", "Removing temporary folder...");
    OS::SetCurrentDir(run->temporaryFolder);
    if (in_debug_mode) {
        System::Trace("\n[DEBUG] Press any key clean temporary folder...");
        System::WaitForAnyKey();
    }
    RemoveFolder(run->extractionFolder);
    System::Trace("FINISHED\n", "All went OK\n");
    *exitCode = System::GetLastProcessExitCode();
    return 0;
}

} // namespace

char* CreateTempFolder(UINT uniqueValue) {
    char* buffer = (char*)System::SafeAllocMemory(20);
    if (!buffer) return 0;
    char separator[2] = {OS::kSeparator, 0};
    String::Format(buffer, 20, "sfx%u.tmp%s", NumArg(uniqueValue), separator);
    return buffer;
}

char* readVersionFromFile(const char* fileName) {
    File versionFile(fileName, true);
    UINT size = versionFile.GetSize();
    // The extra byte terminates the text; a failed size wraps to a request of 0 bytes.
    char* versionFileContent = (char*)System::SafeAllocMemory(size + 1);
    if (!versionFileContent) {
        versionFile.Close(&versionFile);
        return 0;
    }
    versionFile.Read(&versionFile, (BYTE*)versionFileContent, size);
    versionFile.Close(&versionFile);

    char* result = 0;
    UINT bundleVersionTagLen = String::StrLen(bundleVersionTag);
    const char* nextLine = versionFileContent;
    for (;;) {
        const char* lineEnd = String::StrStr(nextLine, "\r\n");
        if (!lineEnd) break;
        nextLine = lineEnd + 2;
        if (!String::StartsWith(nextLine, bundleVersionTag)) continue;
        nextLine += bundleVersionTagLen;
        const char* endOfLine = String::StrStr(nextLine, "\r\n");
        if (endOfLine) {
            UINT length = (UINT)(endOfLine - nextLine);
            result = (char*)System::SafeAllocMemory(length + 1);
            String::StrNCpy(result, nextLine, length + 1);
        }
        break;
    }
    System::SafeFreeMemory(versionFileContent);
    return result;
}

bool RemoveFolder(const char* folderName) {
    // The folder is one quoted word, whatever its path holds. The command is formed on the stack
    // where it fits: the removal must not depend on the heap, whose exhaustion may be what ended
    // the run.
    char buffer[1024];
    UINT prefixLength = String::StrLen(OS::kRemoveTreeCommand);
    UINT size = prefixLength + QuotedLength(folderName) + 1;
    char* command = size <= sizeof buffer ? buffer : (char*)System::SafeAllocMemory(size);
    if (command) {
        String::StrCpy(command, OS::kRemoveTreeCommand);
        WriteQuoted(command + prefixLength, folderName);
        OS::StartDetached(command);
        if (command != buffer) System::SafeFreeMemory(command);
    }
    return true;
}

int install(const char* extractorFullName, const char* providedArguments, ArgList* vmArgsList,
            const ArgList* userArguments, UINT* exitCode) {
    if (!extractorFullName) {
        System::ShowErrorMessage("Failed to get extractor name");
        return -1;
    }
    System::Trace("launcher file name ='", extractorFullName, "'\n");

    InstallRun run = {};
    if (!OpenPayload(extractorFullName, true, &run.payload)) return -1;
    run.self = run.payload.self;

    System::Trace("Getting system temporary folder...");
    run.temporaryFolder = System::GetTemporaryFolder();
    // An empty path (one too long for its buffer) is no folder either.
    if (!run.temporaryFolder || !run.temporaryFolder[0])
        return FailBeforeExtraction(&run, "Failed to get system temporary folder");
    System::Trace("OK\n");

    // The folder is named after the tick count, moved on past names that exist already; nothing
    // is created until the first entry is extracted.
    System::Trace("Forming temporary folder...");
    run.folderValue = OS::TickCount();
    char* tempFolder = CreateTempFolder(run.folderValue);
    if (!tempFolder)
        return FailBeforeExtraction(&run, "Failed to form extraction temporary folder");
    System::Trace("OK\n");

    System::Trace("Creating extraction folder...");
    run.extractionFolder = Path::Combine(run.temporaryFolder, tempFolder);
    System::SafeFreeMemory(tempFolder);
    if (!run.extractionFolder)
        return FailBeforeExtraction(&run, "Failed to combine extraction folder");
    for (UINT tries = 0; tries < kFolderNameTries && OS::PathExists(run.extractionFolder); tries++)
        if (!NextFolderName(&run)) break;
    System::Trace("OK\n");

    System::Trace("Browsing for version file...\n");
    const char* version = "";
    char* name = 0;
    int verFileID = FindEntry(&run, verFileOffset, verFileName, &name);
    if (verFileID >= 0) {
        System::Trace(name, " : version file found!\n");
        if (!Extract(&run, (UINT)verFileID))
            return FailAfterExtraction(&run, "Failed to extract version file.");
        char* manifestPath = Path::Combine(run.extractionFolder, name);
        char* readVersion = readVersionFromFile(manifestPath);
        System::SafeFreeMemory(manifestPath);
        // Kept to the end of the process: the splash shows it.
        if (readVersion) version = readVersion;
        System::Trace("Read version: ", version, "\n");
        System::SafeFreeMemory(name);
    }

    System::Trace("Browsing for splash bitmap...\n");
    int splashID = FindEntry(&run, 0, splashName, &name);
    if (splashID >= 0) {
        System::Trace(name, " : Splash bitmap found!\n");
        if (!Extract(&run, (UINT)splashID))
            return FailAfterExtraction(&run, "Failed to extract splash bitmap.");
        // The path is kept to the end of the process: the splash borrows it.
        char* featureImage = Path::Combine(run.extractionFolder, name);
        System::SafeFreeMemory(name);
        showSplash(featureImage, version);
    } else {
        System::Trace("splash bitmap not found\n");
    }

    // Taken along the required files, which come in the payload's order.
    BeginPayloadCheck(&run.payload);
    System::Trace("Extracting required files\n");
    bool everyEntry = run.payload.requiredIdsCount == 0;
    UINT count = everyEntry ? run.payload.header->numberOfFiles : run.payload.requiredIdsCount;
    for (UINT i = 0; i < count; i++) {
        UINT id = everyEntry ? i : run.payload.requiredIdsTable[i];
        char* entryName = GetStringById(id, run.payload.stringTableOffsetsTable, run.self);
        // A name that cannot be read cannot be told from a ".zip" one: the entry fails as its
        // extraction would.
        if (!entryName) System::Trace("fileName error\n");
        if (entryName && String::EndsWith(entryName, zipSuffix)) {
            // Sized to the name, so that a long name is traced whole, in one write.
            char* trace = in_debug_mode ? Join("Ignoring ZIP: ", entryName, "\n") : 0;
            System::Trace(trace);
            System::SafeFreeMemory(trace);
        } else if (!entryName || !Extract(&run, id)) {
            System::SafeFreeMemory(entryName);
            return FailAfterExtraction(
                &run, everyEntry ? "Failed to extract file(s). Ensure that your temporary folder "
                                   "is accessible and have enough free size."
                                 : "Failed to extract file(s). Ensure that your temporary folder "
                                   "is accessable and have enough free size.");
        }
        System::SafeFreeMemory(entryName);
    }
    // Checked along the extraction, so that the splash shows at once and the entries are read
    // once; completed, with what the extraction left, before any program of it can start.
    if (!CheckPayload(&run.payload)) return FailAfterExtraction(&run, kDamagedInstaller);
    System::Trace("Extraction succeeded\n");
    return Launch(&run, extractorFullName, providedArguments, vmArgsList, userArguments, exitCode);
}

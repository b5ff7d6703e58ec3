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
// How many taken folder names move the run on to the next tick count's name; after them the
// names come from the system's random source, which nobody can name ahead.
const UINT kTickNames = 4;
// How many names a run tries before it gives up.
const UINT kFolderNameTries = 64;
// The live mark beside a folder "sfx<n>.tmp": "sfx<n>.tmp.live". It holds kMarkTag and the
// stamps of the launcher and, once started, of its program.
const char kMarkSuffix[] = ".live";
const uint32_t kMarkTag = 0x4C584653; // "SFXL"
struct MarkRecord {
    uint32_t tag;
    uint32_t reserved;
    OS::ProcessStamp stamps[2];
};
// The size of a mark with the launcher's stamp alone.
const UINT kLauncherMarkSize = sizeof(MarkRecord) - sizeof(OS::ProcessStamp);

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

struct InstallRun {
    OpenedPayload payload;
    File* self;
    char* temporaryFolder;
    char* extractionFolder;
    // The live mark beside the folder.
    char* mark;
    // Open from the claim until the program's stamp is written.
    OS::Handle markFile;
    UINT folderValue;
    bool claimTried;
    // Made by this run: only then is the folder extracted into, entered and removed.
    bool folderMade;
};

// Clean-up before a failure box: the launcher file and the tables that the run still holds.
void ReleasePayload(InstallRun* run) {
    run->self->Close(run->self);
    if (run->payload.requiredIdsCount > 0) System::SafeFreeMemory(run->payload.requiredIdsTable);
    System::SafeFreeMemory(run->payload.stringTableOffsetsTable);
}

// The removal of the run's own folder and its mark, finished when it returns where the platform
// allows (POSIX); a folder that the run did not make is never touched.
void RemoveOwnFolder(InstallRun* run) {
    if (run->markFile != OS::kNullHandle) OS::FileClose(run->markFile);
    run->markFile = OS::kNullHandle;
    if (run->folderMade) OS::RemoveTree(run->extractionFolder, run->mark, true);
}

// A failed step: clean-up, the box, and once extraction has begun the folder's removal.
int Fail(InstallRun* run, const char* box, bool removeFolder) {
    box = FailureBox(&run->payload, box);
    ReleasePayload(run);
    System::ShowErrorMessage(box);
    if (removeFolder) RemoveOwnFolder(run);
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

// Keeps the run's folder without its closing separator (paths are joined to it as before), and
// names its mark; false without memory.
bool NameMark(InstallRun* run) {
    run->extractionFolder[String::StrLen(run->extractionFolder) - 1] = 0;
    System::SafeFreeMemory(run->mark);
    run->mark = Join(run->extractionFolder, kMarkSuffix, "");
    return run->mark != 0;
}

// Moves the run on to the folder name of another counter value; false without memory.
bool NameFolder(InstallRun* run, UINT value) {
    char* next = FormExtractionFolder(run->temporaryFolder, value);
    if (!next) return false;
    System::SafeFreeMemory(run->extractionFolder);
    run->extractionFolder = next;
    run->folderValue = value;
    return NameMark(run);
}

// Takes the current name: first the mark, created anew with the launcher's stamp, then the
// folder, created anew for this user alone. Anything that has either name already (a folder,
// a file, a link) makes the name taken, and nothing of it is followed or reused.
OS::FolderResult TryName(InstallRun* run) {
    OS::Handle mark = OS::FileOpen(run->mark, OS::kCreateNew);
    if (mark == OS::kInvalidHandle)
        return OS::PathExists(run->mark) ? OS::kFolderExisted : OS::kFolderFailed;
    MarkRecord record = {kMarkTag, 0, {}};
    UINT done;
    OS::FolderResult result = OS::kFolderFailed;
    if (OS::ProcessStampOf(OS::kSelfProcess, &record.stamps[0]) &&
        OS::FileWrite(mark, &record, kLauncherMarkSize, &done) && done == kLauncherMarkSize)
        result = OS::CreatePrivateFolder(run->extractionFolder);
    if (result == OS::kFolderCreated) {
        run->markFile = mark;
        return result;
    }
    OS::FileClose(mark);
    OS::RemoveFile(run->mark);
    return result;
}

// Makes the extraction folder this run's own before its first entry is extracted: a name that
// is taken moves the run on, to the next tick counts' names and then to random ones. False when
// no folder could be made; the run then extracts nothing, and removes nothing.
bool ClaimExtractionFolder(InstallRun* run) {
    if (run->claimTried) return run->folderMade;
    run->claimTried = true;
    for (UINT tries = 1; tries <= kFolderNameTries; tries++) {
        OS::FolderResult result = TryName(run);
        if (result != OS::kFolderExisted) return run->folderMade = result == OS::kFolderCreated;
        System::Trace("Extraction folder name taken: ", run->extractionFolder, "\n");
        UINT value = run->folderValue + 1;
        if ((tries >= kTickNames && !OS::RandomValue(&value)) || !NameFolder(run, value))
            return false;
    }
    return false;
}

// Writes the started program's stamp into the run's mark, which then holds both processes. The
// mark is open: a program is started only in a folder that the run made.
void MarkProgram(OS::Process program, void* context) {
    InstallRun* run = (InstallRun*)context;
    OS::ProcessStamp stamp;
    UINT done;
    if (OS::ProcessStampOf(program, &stamp))
        OS::FileWrite(run->markFile, &stamp, sizeof stamp, &done);
    OS::FileClose(run->markFile);
    run->markFile = OS::kNullHandle;
}

// Removes a folder that an earlier run left behind: one whose mark, this user's own, shows that
// neither its launcher nor its program runs. Folders without a mark are never touched.
void SweepFolder(const char* name, void* temporaryFolder) {
    if (!String::StartsWith(name, "sfx")) return;
    const char* end = name + 3;
    while (*end >= '0' && *end <= '9')
        end++;
    UINT digits = (UINT)(end - name) - 3;
    if (digits - 1 >= 10 || String::StrLen(end) != 9 || !String::StartsWith(end, ".tmp.live"))
        return;
    char* mark = Path::Combine((const char*)temporaryFolder, name);
    // One byte more than a mark can have, so that a longer file is no mark.
    union {
        MarkRecord record;
        BYTE bytes[sizeof(MarkRecord) + 1];
    } read;
    int size = mark ? OS::ReadOwnFile(mark, &read, sizeof read) : -1;
    bool ended = (size == (int)kLauncherMarkSize || size == (int)sizeof(MarkRecord)) &&
                 read.record.tag == kMarkTag;
    for (int i = 0; ended && i < (size == (int)kLauncherMarkSize ? 1 : 2); i++)
        ended = !OS::ProcessRuns(&read.record.stamps[i]);
    char* folder = ended ? String::StrDup(mark) : 0;
    if (folder) {
        folder[String::StrLen(folder) - (sizeof kMarkSuffix - 1)] = 0;
        System::Trace("Removing extraction folder left behind: ", folder, "\n");
        OS::RemoveTree(folder, mark, false);
    }
    System::SafeFreeMemory(folder);
    System::SafeFreeMemory(mark);
}

bool Extract(InstallRun* run, UINT id) {
    return ClaimExtractionFolder(run) &&
           ExtractFile(id, fileInfoTable, run->payload.stringTableOffsetsTable, run->self,
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
        // One word in quotes, whatever blanks the extraction folder holds.
        *program = Join("\"", executionString, "\"");
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

    // A folder that the run did not make (nothing was extracted) is never entered.
    if (!run->folderMade || !OS::SetCurrentDir(run->extractionFolder)) {
        System::Trace("Failed to set current directory");
        System::ShowErrorMessage("Failed to set current directory");
        RemoveOwnFolder(run);
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
    if (!System::ExecuteAndWait(program, arguments, words.items, MarkProgram, run)) {
        System::ShowErrorMessage("Failed to start or wait for executable.");
        // Leave the folder first, so that its removal can take the folder itself too.
        OS::SetCurrentDir(run->temporaryFolder);
        if (in_debug_mode) {
            System::Trace("\n[DEBUG] Press any key clean temporary folder...");
            System::WaitForAnyKey();
        }
        RemoveOwnFolder(run);
        return -1;
    }
    System::Trace("OK\n", "Removing temporary folder...");
    OS::SetCurrentDir(run->temporaryFolder);
    if (in_debug_mode) {
        System::Trace("\n[DEBUG] Press any key clean temporary folder...");
        System::WaitForAnyKey();
    }
    RemoveOwnFolder(run);
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
    // An empty path (one too long for its buffer) is no folder either, nor one that does not
    // exist: no folder is ever made outside the run's own.
    if (!run.temporaryFolder || !run.temporaryFolder[0] || !OS::PathExists(run.temporaryFolder))
        return FailBeforeExtraction(&run, "Failed to get system temporary folder");
    System::Trace("OK\n");
    // Runs killed while their program ran left their folders: those whose launcher and program
    // have both ended go now, detached, before this run's own extraction.
    OS::ListFolder(run.temporaryFolder, SweepFolder, run.temporaryFolder);

    // The folder is named after the tick count; it is made at the first extraction, under the
    // next free name.
    System::Trace("Forming temporary folder...");
    run.folderValue = OS::TickCount();
    char* tempFolder = CreateTempFolder(run.folderValue);
    if (!tempFolder)
        return FailBeforeExtraction(&run, "Failed to form extraction temporary folder");
    System::Trace("OK\n");

    System::Trace("Creating extraction folder...");
    run.extractionFolder = Path::Combine(run.temporaryFolder, tempFolder);
    System::SafeFreeMemory(tempFolder);
    if (!run.extractionFolder || !NameMark(&run))
        return FailBeforeExtraction(&run, "Failed to combine extraction folder");
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

#include "Payload.h"

#include "Crc32.h"
#include "Path.h"
#include "String.h"
#include "System.h"

FileInformation* fileInfoTable = 0;
UINT fileInfoCount = 0;
UINT filesDataStartOffset = 0;
UINT stringTableEntriesCount = 0;
BYTE BUFFER[4096];
const char* const kDamagedInstaller = "The installer is damaged. Download it again.";

namespace {

// The check reads in larger pieces than the copy buffer where it gets the memory.
const UINT kCheckChunk = 64 * 1024;

// The CRC-32 of the payload's bytes from its first one up to position, taken along an install
// run's extraction: from the copies where they continue at position, read apart where they do
// not. file is 0 while no check runs.
struct RunningCrc {
    File* file;
    UINT position;
    UINT end;
    uint32_t crc;
    bool readFailed;
    // The copy under way continues at position.
    bool feeding;
};
RunningCrc running = {};

void StartRunningCrc(const OpenedPayload* opened) {
    UINT end = opened->formatter->_end - SFX_FOOTER_SIZE;
    RunningCrc start = {opened->self, end - opened->footer->PackageSize, end, 0, false, false};
    running = start;
}

// Reads and adds the bytes from position up to target.
void CatchUp(UINT target) {
    File* file = running.file;
    if (running.position >= target) return;
    // A gap that the copy buffer holds needs no block of its own.
    BYTE* chunk =
        target - running.position > sizeof BUFFER ? (BYTE*)System::SafeAllocMemory(kCheckChunk) : 0;
    BYTE* buffer = chunk ? chunk : BUFFER;
    UINT bufferSize = chunk ? kCheckChunk : (UINT)sizeof BUFFER;
    if (!file->Seek(file, (int32_t)running.position, 0)) running.readFailed = true;
    while (!running.readFailed && running.position < target) {
        UINT piece =
            target - running.position < bufferSize ? target - running.position : bufferSize;
        running.readFailed = file->Read(file, buffer, piece) != piece;
        running.crc = Crc32Update(running.crc, buffer, piece);
        running.position += piece;
    }
    System::SafeFreeMemory(chunk);
}

// Where each entry's data begins, summed once per opened payload so that extracting every entry
// stays linear in their number. 0xFFFFFFFF marks an offset beyond the format's 2 GiB.
UINT* fileDataOffsets = 0;

void ResetDataOffsets() {
    System::SafeFreeMemory(fileDataOffsets);
    fileDataOffsets = 0;
}

UINT Clamp(uint64_t offset) {
    return offset > SFX_MAX_FILE_SIZE ? 0xFFFFFFFF : (UINT)offset;
}

UINT DataOffsetOf(UINT fileID, const FileInformation* table) {
    uint64_t offset = filesDataStartOffset;
    if (table != fileInfoTable) {
        for (UINT index = 0; index < fileID; index++)
            offset += table[index].Size;
        return Clamp(offset);
    }
    if (!fileDataOffsets) {
        fileDataOffsets = (UINT*)System::SafeAllocMemory(fileInfoCount * 4);
        // Without memory for the sums, walk the earlier entries each time.
        if (!fileDataOffsets) {
            for (UINT index = 0; index < fileID; index++)
                offset += table[index].Size;
            return Clamp(offset);
        }
        for (UINT i = 0; i < fileInfoCount; i++) {
            fileDataOffsets[i] = Clamp(offset);
            offset += table[i].Size;
        }
    }
    return fileDataOffsets[fileID];
}

// The folders that extraction made or found since the payload was opened: the next entry in the
// same folder asks for no folder creation. Kept in an open-addressing table of heap texts.
struct FolderSet {
    char** slots;
    UINT capacity;
    UINT count;
};
FolderSet knownFolders = {};

// A folder's length without its closing separator, so that "a\b\" and "a\b" are one folder.
UINT FolderLength(const char* folder) {
    UINT length = String::StrLen(folder);
    return length > 1 && folder[length - 1] == OS::kSeparator ? length - 1 : length;
}

UINT HashFolder(const char* folder, UINT length) {
    UINT hash = 2166136261u;
    for (UINT i = 0; i < length; i++)
        hash = (hash ^ (BYTE)folder[i]) * 16777619u;
    return hash;
}

// The slot that holds folder, or the empty slot where it belongs.
UINT FindSlot(const FolderSet* set, const char* folder, UINT length) {
    UINT slot = HashFolder(folder, length) & (set->capacity - 1);
    while (set->slots[slot]) {
        const char* known = set->slots[slot];
        if (String::StrLen(known) == length &&
            System::MemCmp((const BYTE*)known, (const BYTE*)folder, (int)length) == 0)
            break;
        slot = (slot + 1) & (set->capacity - 1);
    }
    return slot;
}

bool FolderKnown(const char* folder) {
    if (!knownFolders.count) return false;
    return knownFolders.slots[FindSlot(&knownFolders, folder, FolderLength(folder))] != 0;
}

// Remembers folder; without memory it is just not remembered, and made again next time.
void RememberFolder(const char* folder) {
    FolderSet* set = &knownFolders;
    if ((set->count + 1) * 4 > set->capacity * 3) {
        UINT capacity = set->capacity ? set->capacity * 2 : 64;
        char** slots = capacity < 0x40000000u
                           ? (char**)System::SafeAllocMemory(capacity * (UINT)sizeof(char*))
                           : 0;
        if (!slots) return;
        FolderSet grown = {slots, capacity, set->count};
        for (UINT i = 0; i < set->capacity; i++)
            if (set->slots[i])
                slots[FindSlot(&grown, set->slots[i], String::StrLen(set->slots[i]))] =
                    set->slots[i];
        System::SafeFreeMemory(set->slots);
        *set = grown;
    }
    UINT length = FolderLength(folder);
    UINT slot = FindSlot(set, folder, length);
    if (set->slots[slot]) return;
    char* copy = (char*)System::SafeAllocMemory(length + 1);
    if (!copy) return;
    String::StrNCpy(copy, folder, length + 1);
    set->slots[slot] = copy;
    set->count++;
}

void ForgetFolders() {
    for (UINT i = 0; i < knownFolders.capacity; i++)
        System::SafeFreeMemory(knownFolders.slots[i]);
    System::SafeFreeMemory(knownFolders.slots);
    FolderSet empty = {};
    knownFolders = empty;
}

// Creates folder with its parents unless this opening has made or met it already; false when it
// could not be made.
bool MakeFolder(const char* folder) {
    if (FolderKnown(folder)) return true;
    if (!File::CreateDirectoryA(folder)) return false;
    RememberFolder(folder);
    return true;
}

// Releases what the opening took and shows the box of its failed step.
bool Fail(OpenedPayload* opened, const char* box) {
    ClosePayload(opened);
    System::ShowErrorMessage(box);
    return false;
}

} // namespace

bool OpenPayload(const char* launcherPath, bool traceFooter, OpenedPayload* opened) {
    OpenedPayload p = {};
    p.self = File::Open(launcherPath);
    if (!p.self) {
        System::ShowErrorMessage("Failed to open extractor");
        return false;
    }
    File* self = p.self;
    p.formatter = (Formatter*)System::SafeAllocMemory(sizeof(Formatter));
    if (p.formatter) p.formatter->_file = self;
    p.footer = p.formatter ? p.formatter->ParseFooter() : 0;
    if (!p.footer) return Fail(&p, "Failed to navigate to SFX Footer");

    if (traceFooter && in_debug_mode) {
        char buffer[40];
        String::Format(buffer, sizeof buffer, "PackageSize=%u CRC=%u\n",
                       NumArg(p.footer->PackageSize), NumArg(p.footer->CRC32));
        System::Trace("SFX Footer record parsed:", buffer);
    }

    // A footer that points before the start of the file, as in most downloads cut short or
    // extended: the user is told, the trace stays.
    if (!p.formatter->SeekHeader(p.footer)) {
        Fail(&p, kDamagedInstaller);
        System::Trace("ERROR: Failed to navigate to Header Record!");
        return false;
    }

    p.header = p.formatter->ParseHeader();
    if (!p.header) {
        Fail(&p, "Failed to parse SFX Header");
        System::Trace("Failed to parse SFX Header\n");
        return false;
    }

    System::Trace("SFX Header record parsing...");
    if (!IsHeaderValid(p.header)) {
        Fail(&p, "SFX Header invalid");
        System::Trace("FAILED! Header is invalid.\n");
        return false;
    }

    System::Trace("OK\n", "Execution Info parsing...");
    p.executionInfo = p.formatter->ParseExecutionInfo();
    if (!p.executionInfo) return Fail(&p, "Failed to parse ExecutionInfo");

    System::Trace("OK\n", "File Information Table parsing...");
    ResetDataOffsets();
    ForgetFolders();
    p.fileTable = p.formatter->ParseFileInformationTable(p.header->numberOfFiles);
    if (!p.fileTable) return Fail(&p, "Failed to parse File Information Table");
    fileInfoTable = p.fileTable;
    fileInfoCount = p.header->numberOfFiles;

    System::Trace("OK\n", "Required Files Table parsing...");
    if (!self->ReadUINT(self, &p.requiredIdsCount))
        return Fail(&p, "Failed to parse Required Files Table");
    if (p.requiredIdsCount != 0) {
        UINT tableSize = p.requiredIdsCount * 4;
        if (p.requiredIdsCount <= 0xFFFFFFFFu / 4 && tableSize <= self->GetSize())
            p.requiredIdsTable = (UINT*)System::SafeAllocMemory(tableSize);
        if (!p.requiredIdsTable ||
            self->Read(self, (BYTE*)p.requiredIdsTable, tableSize) != tableSize)
            return Fail(&p, "Failed to parse Required Files Table");
        for (UINT i = 0; i < p.requiredIdsCount; i++) {
            p.requiredIdsTable[i] = DecodeUINT((const BYTE*)&p.requiredIdsTable[i]);
        }
    }

    System::Trace("OK\n", "Allocating memory for Strings Table...");
    p.stringTableOffset = self->GetCurentPos(self);
    p.stringTableEntriesCount = p.header->numberOfFiles + 2;
    if (p.header->numberOfFiles < 0xFFFFFFFFu / 4 - 2)
        p.stringTableOffsetsTable = (UINT*)System::SafeAllocMemory(p.stringTableEntriesCount * 4);
    if (!p.stringTableOffsetsTable) return Fail(&p, "Failed to allocate memory for Strings Table");

    System::Trace("OK\n", "Parsing Strings Table...");
    uint64_t skippedBytes = 0;
    for (UINT entryIndex = 0; entryIndex < p.stringTableEntriesCount; entryIndex++) {
        uint64_t offset = p.stringTableOffset + skippedBytes;
        UINT stringSize = 0;
        bool ok = offset <= SFX_MAX_FILE_SIZE && self->ReadUINT(self, &stringSize) &&
                  stringSize <= SFX_MAX_FILE_SIZE && self->Skip(self, (int32_t)stringSize);
        if (!ok) return Fail(&p, "Failed to parse Strings Table");
        p.stringTableOffsetsTable[entryIndex] = (UINT)offset;
        skippedBytes += 4 + (uint64_t)stringSize;
    }
    stringTableEntriesCount = p.stringTableEntriesCount;

    System::Trace("OK\n");
    filesDataStartOffset = self->GetCurentPos(self);
    *opened = p;
    return true;
}

void ClosePayload(OpenedPayload* opened) {
    if (running.file == opened->self) running.file = 0;
    if (opened->self) {
        opened->self->Close(opened->self);
        System::SafeFreeMemory(opened->self);
    }
    if (opened->fileTable && opened->fileTable == fileInfoTable) {
        fileInfoTable = 0;
        fileInfoCount = 0;
        ResetDataOffsets();
        ForgetFolders();
    }
    System::SafeFreeMemory(opened->fileTable);
    System::SafeFreeMemory(opened->formatter);
    System::SafeFreeMemory(opened->footer);
    System::SafeFreeMemory(opened->header);
    System::SafeFreeMemory(opened->executionInfo);
    System::SafeFreeMemory(opened->requiredIdsTable);
    System::SafeFreeMemory(opened->stringTableOffsetsTable);
    OpenedPayload closed = {};
    *opened = closed;
}

void BeginPayloadCheck(OpenedPayload* opened) {
    if (opened->footer->CRC32 && !opened->checked) StartRunningCrc(opened);
}

bool CheckPayload(OpenedPayload* opened) {
    if (opened->checked) return !opened->damaged;
    opened->checked = true;
    UINT stored = opened->footer->CRC32;
    if (stored) {
        if (running.file != opened->self) StartRunningCrc(opened);
        CatchUp(running.end);
        uint32_t computed = running.crc;
        opened->damaged = running.readFailed || computed != stored;
        running.file = 0;
        if (in_debug_mode) {
            char values[72];
            String::Format(values, sizeof values, "Payload CRC32 stored=%u computed=%u ",
                           NumArg(stored), NumArg(computed));
            System::Trace(values, opened->damaged ? "FAILED!\n" : "OK\n");
        }
    }
    return !opened->damaged;
}

const char* FailureBox(OpenedPayload* opened, const char* box) {
    return CheckPayload(opened) ? box : kDamagedInstaller;
}

char* GetStringById(UINT id, const UINT* stringOffsetTable, File* tableHolder) {
    if (id >= stringTableEntriesCount || !stringOffsetTable) return 0;
    if (!tableHolder->Seek(tableHolder, (int32_t)stringOffsetTable[id], 0)) return 0;
    UINT fileNameSize;
    if (!tableHolder->ReadUINT(tableHolder, &fileNameSize)) return 0;
    // A length the file cannot hold is damage, not a request for that much memory.
    if (fileNameSize > tableHolder->GetSize()) return 0;
    char* block = (char*)System::SafeAllocMemory(fileNameSize + 1);
    if (!block) return 0;
    if (tableHolder->Read(tableHolder, (BYTE*)block, fileNameSize) != fileNameSize &&
        fileNameSize != 0) {
        System::SafeFreeMemory(block);
        return 0;
    }
    return block;
}

bool ExtractFile(UINT fileID, const FileInformation* fileInfoTable, const UINT* stringsOffsetsTable,
                 File* dataHolder, const char* targetFolder) {
    if (fileID >= fileInfoCount) {
        System::Trace("fileName error\n");
        return false;
    }
    UINT fileSize = fileInfoTable[fileID].Size;
    if (!dataHolder->Seek(dataHolder, (int32_t)filesDataStartOffset, 0)) {
        System::Trace("dataholder error\n");
        return false;
    }
    UINT currentFileDataOffset = DataOffsetOf(fileID, fileInfoTable);

    char* fileName = GetStringById(fileID, stringsOffsetsTable, dataHolder);
    if (!fileName) {
        System::Trace("fileName error\n");
        return false;
    }
    // A stored name must not reach outside the target folder.
    if (!Path::StaysInside(fileName)) {
        System::Trace("ERROR: refusing '", fileName, "': the name leaves the target folder\n");
        System::SafeFreeMemory(fileName);
        return false;
    }
    char* fileFullPath = Path::Combine(targetFolder, fileName);
    if (!fileFullPath) {
        System::SafeFreeMemory(fileName);
        System::Trace("fileFullPath error\n");
        return false;
    }
    System::Trace("extracting '", fileName, "' to '", fileFullPath, "'...");

    bool ok = true;
    if (Path::IsDirectory(fileFullPath)) {
        // A folder entry exists once its folder does.
        ok = MakeFolder(fileFullPath);
        if (!ok) System::Trace("ERROR:failed to create folder '", fileFullPath, "'!\n");
    } else {
        char* fileDirectory = Path::GetFileFolder(fileFullPath);
        File* targetFile = 0;
        bool program = false;
        if (!fileDirectory) {
            System::Trace("ERROR:failed to find file '", fileFullPath, "' directory!\n");
            ok = false;
        } else {
            bool folderKnown = FolderKnown(fileDirectory);
            MakeFolder(fileDirectory);
            targetFile = File::Create(fileFullPath, false);
            // A folder that this run made may have been taken away since: made again.
            if (!targetFile && folderKnown) targetFile = File::Create(fileFullPath);
            System::SafeFreeMemory(fileDirectory);
            if (!targetFile) {
                System::Trace("targetFile error\n");
                ok = false;
            }
        }
        // A check running alongside takes this entry's bytes from the copy when they come next.
        if (ok && running.file == dataHolder && currentFileDataOffset >= running.position &&
            currentFileDataOffset <= running.end) {
            CatchUp(currentFileDataOffset);
            running.feeding = !running.readFailed;
        }
        if (ok && (currentFileDataOffset > SFX_MAX_FILE_SIZE ||
                   !dataHolder->Seek(dataHolder, (int32_t)currentFileDataOffset, 0))) {
            System::Trace("dataholder error (2)\n");
            ok = false;
        } else if (ok && !CopyFileData(dataHolder, targetFile, fileSize, &program)) {
            System::Trace("CopyFileData error\n");
            ok = false;
        }
        running.feeding = false;
        if (targetFile) {
            targetFile->Close(targetFile);
            System::SafeFreeMemory(targetFile);
        }
        // Payloads carry no file modes: what begins as a program is made one. Where that fails,
        // the program's start tells.
        if (OS::kExecuteBits && ok && program) OS::MarkExecutable(fileFullPath);
    }
    System::SafeFreeMemory(fileName);
    System::SafeFreeMemory(fileFullPath);
    if (ok) System::Trace("OK\n");
    return ok;
}

bool CopyFileData(File* source, File* dest, UINT copyAmount, bool* startsAsProgram) {
    UINT fileSize = copyAmount;
    while (fileSize != 0) {
        UINT dataSize = fileSize < sizeof BUFFER ? fileSize : (UINT)sizeof BUFFER;
        if (source->Read(source, BUFFER, dataSize) != dataSize) return false;
        // A script or an ELF image, told by the first bytes.
        if (OS::kExecuteBits && startsAsProgram && fileSize == copyAmount)
            *startsAsProgram = (dataSize >= 2 && BUFFER[0] == '#' && BUFFER[1] == '!') ||
                               (dataSize >= 4 && BUFFER[0] == 0x7F && BUFFER[1] == 'E' &&
                                BUFFER[2] == 'L' && BUFFER[3] == 'F');
        if (running.feeding) {
            // Never past the payload, where an entry's damaged size may reach.
            UINT fed = running.end - running.position < dataSize ? running.end - running.position
                                                                 : dataSize;
            running.crc = Crc32Update(running.crc, BUFFER, fed);
            running.position += fed;
        }
        if (!dest->Write(dest, BUFFER, dataSize)) return false;
        fileSize -= dataSize;
    }
    return true;
}

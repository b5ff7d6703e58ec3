#include "Formatter.h"

#include "System.h"

const char SIGNATURE[20] = "org.vantrel.kit.sfx";

SFXFooter* Formatter::ParseFooter() {
    // Positions are signed 32-bit: a launcher file of 2 GiB or more is outside the format.
    if (_file->GetSize() > SFX_MAX_FILE_SIZE) return 0;
    if (!_file->Seek(_file, -(int32_t)SFX_FOOTER_SIZE, 2)) return 0;
    SFXFooter* footer = (SFXFooter*)System::SafeAllocMemory(sizeof(SFXFooter));
    if (!footer) return 0;
    if (!_file->ReadUINT(_file, &footer->PackageSize) || !_file->ReadUINT(_file, &footer->CRC32)) {
        System::SafeFreeMemory(footer);
        return 0;
    }
    return footer;
}

SFXHeader* Formatter::ParseHeader() {
    SFXHeader* header = (SFXHeader*)System::SafeAllocMemory(sizeof(SFXHeader));
    if (!header) return 0;
    _file->Read(_file, (BYTE*)header->Signature, SIGNATURE_LENGTH);
    _file->Read(_file, &header->Version, 1);
    // A header cut short is damaged: it fails here rather than yield a count from nowhere.
    if (!_file->ReadUINT(_file, &header->numberOfFiles)) {
        System::SafeFreeMemory(header);
        return 0;
    }
    return header;
}

ExecutionInfo* Formatter::ParseExecutionInfo() {
    ExecutionInfo* info = (ExecutionInfo*)System::SafeAllocMemory(sizeof(ExecutionInfo));
    if (!info) return 0;
    if (!_file->ReadUINT(_file, &info->Flags) || !_file->ReadUINT(_file, &info->ExecutableStringId) ||
        !_file->ReadUINT(_file, &info->ArgsStringId)) {
        System::SafeFreeMemory(info);
        return 0;
    }
    return info;
}

FileInformation* Formatter::ParseFileInformationTable(UINT entriesCount) {
    // A count whose table size wraps 32 bits, or that the file cannot hold, is damage.
    UINT fileSize = _file->GetSize();
    if (entriesCount > 0xFFFFFFFFu / SFX_FILE_INFORMATION_SIZE ||
        entriesCount * SFX_FILE_INFORMATION_SIZE > fileSize)
        return 0;
    UINT tableSize = entriesCount * SFX_FILE_INFORMATION_SIZE;
    FileInformation* table = (FileInformation*)System::SafeAllocMemory(tableSize);
    if (!table) return 0;
    // One read for the whole table, then each field assembled little-endian in place.
    BYTE* bytes = (BYTE*)table;
    if (_file->Read(_file, bytes, tableSize) != tableSize) {
        System::SafeFreeMemory(table);
        return 0;
    }
    for (UINT i = 0; i < entriesCount; i++) {
        const BYTE* b = bytes + i * SFX_FILE_INFORMATION_SIZE;
        UINT size = (UINT)b[0] | (UINT)b[1] << 8 | (UINT)b[2] << 16 | (UINT)b[3] << 24;
        UINT nameId = (UINT)b[4] | (UINT)b[5] << 8 | (UINT)b[6] << 16 | (UINT)b[7] << 24;
        table[i].Size = size;
        table[i].NameStringId = nameId;
    }
    return table;
}

bool IsHeaderValid(const SFXHeader* header) {
    return System::MemCmp((const BYTE*)header->Signature, (const BYTE*)SIGNATURE,
                          (int)SIGNATURE_LENGTH) == 0 &&
           header->Version <= SFX_MAX_VERSION;
}

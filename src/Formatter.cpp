#include "Formatter.h"

#include "System.h"

const char SIGNATURE[20] = "org.vantrel.kit.sfx";

namespace {

// Reads size bytes at offset; false when they are not all there.
bool ReadAt(File* file, UINT offset, BYTE* buffer, UINT size) {
    return offset <= SFX_MAX_FILE_SIZE && file->Seek(file, (int32_t)offset, 0) &&
           file->Read(file, buffer, size) == size;
}

} // namespace

UINT FindPayloadEnd(File* file, UINT fileSize) {
    const UINT kPeOffsetField = 0x3C, kSecurityEntry = 4;
    BYTE dos[64];
    if (!ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return fileSize;
    UINT pe = DecodeUINT(dos + kPeOffsetField);
    // The signature, the file header and the optional header's magic.
    BYTE head[26];
    if (pe > fileSize || !ReadAt(file, pe, head, sizeof head) || DecodeUINT(head) != 0x00004550)
        return fileSize;
    UINT magic = (UINT)head[24] | (UINT)head[25] << 8;
    UINT directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (!directories) return fileSize;
    // NumberOfRvaAndSizes sits just before the data directories.
    BYTE count[4], entry[8];
    UINT optional = pe + 24;
    if (!ReadAt(file, optional + directories - 4, count, 4) ||
        DecodeUINT(count) <= kSecurityEntry ||
        !ReadAt(file, optional + directories + kSecurityEntry * 8, entry, 8))
        return fileSize;
    // The table lies behind the headers, holds at least its own 8-byte header and ends the file.
    UINT tableStart = DecodeUINT(entry), tableSize = DecodeUINT(entry + 4);
    if (tableSize < 8 || tableStart < optional + directories || tableStart >= fileSize ||
        tableSize != fileSize - tableStart)
        return fileSize;
    return tableStart;
}

SFXFooter* Formatter::ParseFooter() {
    // Positions are signed 32-bit: a launcher file of 2 GiB or more is outside the format.
    UINT fileSize = _file->GetSize();
    if (fileSize > SFX_MAX_FILE_SIZE) return 0;
    _end = FindPayloadEnd(_file, fileSize);
    if (_end < SFX_FOOTER_SIZE || !_file->Seek(_file, (int32_t)(_end - SFX_FOOTER_SIZE), 0))
        return 0;
    SFXFooter* footer = (SFXFooter*)System::SafeAllocMemory(sizeof(SFXFooter));
    if (!footer) return 0;
    if (!_file->ReadUINT(_file, &footer->PackageSize) || !_file->ReadUINT(_file, &footer->CRC32)) {
        System::SafeFreeMemory(footer);
        return 0;
    }
    return footer;
}

bool Formatter::SeekHeader(const SFXFooter* footer) {
    // The distance 0xFFFFFFF8 - PackageSize wraps as a signed 32-bit value, as seeks take it.
    int64_t target = (int64_t)_end + (int32_t)(0xFFFFFFF8u - footer->PackageSize);
    if (target < 0) return false;
    // Beyond the end is allowed: the header then reads as nothing and is rejected.
    return _file->Seek(
        _file, target > SFX_MAX_FILE_SIZE ? (int32_t)SFX_MAX_FILE_SIZE : (int32_t)target, 0);
}

SFXHeader* Formatter::ParseHeader() {
    SFXHeader* header = (SFXHeader*)System::SafeAllocMemory(sizeof(SFXHeader));
    if (!header) return 0;
    // Bytes that are not there stay zero and fail the header check; a count cut short reads
    // as 0xFFFFFFFF, which no file table can hold.
    _file->Read(_file, (BYTE*)header->Signature, SIGNATURE_LENGTH);
    _file->Read(_file, &header->Version, 1);
    _file->ReadUINT(_file, &header->numberOfFiles);
    return header;
}

ExecutionInfo* Formatter::ParseExecutionInfo() {
    ExecutionInfo* info = (ExecutionInfo*)System::SafeAllocMemory(sizeof(ExecutionInfo));
    if (!info) return 0;
    if (!_file->ReadUINT(_file, &info->Flags) ||
        !_file->ReadUINT(_file, &info->ExecutableStringId) ||
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
        UINT size = DecodeUINT(b), nameId = DecodeUINT(b + 4);
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

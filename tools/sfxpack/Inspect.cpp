#include "Inspect.h"

#include "Crc32.h"
#include "Host.h"
#include "Json.h"
#include "Names.h"
#include "Resources.h"

#include "File.h"
#include "Path.h"
#include "String.h"
#include "Formatter.h"
#include "OS.h"
#include "Payload.h"
#include "System.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <vector>

namespace sfxpack {

namespace {

std::string Hex(uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0') << value;
    return text.str();
}

// Non-printing bytes shown as \xNN, so that a damaged name cannot garble the listing.
std::string Printable(const std::string& text) {
    std::string quoted = Quoted(text);
    return quoted.substr(1, quoted.size() - 2);
}

std::string FlagsText(uint32_t flags) {
    std::string text = Hex(flags);
    if (flags == 0) return text + " (native program)";
    if (flags & SFX_FLAG_JAVA) return text + (flags & SFX_FLAG_JAVAX ? " (javax)" : " (java)");
    return text + " (native program; unknown bits)";
}

// Random access to the bytes of an installer, bounded by the end of its payload.
class Image {
  public:
    Image(const std::string& path, uint64_t end) : _in(path, std::ios::binary), _end(end) {}
    bool Read(uint64_t offset, void* buffer, size_t size) {
        if (offset > _end || size > _end - offset) return false;
        _in.clear();
        _in.seekg((std::streamoff)offset);
        _in.read(static_cast<char*>(buffer), (std::streamsize)size);
        return (size_t)_in.gcount() == size;
    }
    bool Uint(uint64_t offset, uint32_t* value) {
        uint8_t b[4];
        if (!Read(offset, b, 4)) return false;
        *value = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
        return true;
    }
    bool Crc(uint64_t offset, uint64_t size, uint32_t* crc) {
        std::vector<char> chunk(1 << 16);
        *crc = 0;
        while (size > 0) {
            size_t piece = (size_t)std::min<uint64_t>(size, chunk.size());
            if (!Read(offset, chunk.data(), piece)) return false;
            *crc = Crc32Update(*crc, chunk.data(), piece);
            offset += piece;
            size -= piece;
        }
        return true;
    }

  private:
    std::ifstream _in;
    uint64_t _end;
};

} // namespace

bool LocatePayloadEnd(const std::string& path, PayloadBounds* bounds, std::string* error) {
    File* file = File::Open(path.c_str());
    if (!file) {
        *error = path + ": " + Host::LastError();
        return false;
    }
    UINT size = file->GetSize();
    bool ok = size != 0xFFFFFFFF;
    if (ok) {
        bounds->fileSize = size;
        bounds->payloadEnd = FindPayloadEnd(file, size);
        bounds->signedImage = bounds->payloadEnd != size;
        bounds->certificateSize = size - bounds->payloadEnd;
    } else {
        *error = path + ": cannot be read, or is 4 GiB or more";
    }
    file->Close(file);
    System::SafeFreeMemory(file);
    return ok;
}

NameRules InstallerNameRules(const std::string& path) {
    char head[4] = {};
    std::ifstream(path, std::ios::binary).read(head, sizeof head);
    return std::memcmp(head, kElfMagic, 4) == 0 ? NameRules::kLinux : NameRules::kWindows;
}

bool ListInstaller(const std::string& path, std::ostream& out, std::string* error) {
    PayloadBounds bounds;
    if (!LocatePayloadEnd(path, &bounds, error)) return false;
    out << "Installer: " << path << " (" << bounds.fileSize << " bytes)\n";
    if (bounds.signedImage)
        out << "Signature: present, certificate table of " << bounds.certificateSize
            << " bytes at offset " << bounds.payloadEnd << "; the payload ends there\n";
    else
        out << "Signature: none\n";
    PrintIdentity(path, out);

    OpenedPayload opened = OpenedPayload();
    if (!OpenPayload(path.c_str(), false, &opened)) {
        *error = path + ": the launcher cannot open its payload";
        return false;
    }
    SFXHeader* header = opened.header;
    UINT count = header->numberOfFiles;
    uint64_t payloadOffset = bounds.payloadEnd - 8 - opened.footer->PackageSize;
    out << "Payload: offset " << payloadOffset << ", PackageSize " << opened.footer->PackageSize
        << ", CRC32 " << Hex(opened.footer->CRC32) << "\n";
    out << (opened.footer->CRC32
                ? "CRC: stored; the launcher checks the payload against it\n"
                : "CRC: none (0 stored); the launcher does not check the payload\n");
    out << "Version: " << (unsigned)header->Version << "\n";
    out << "Entries: " << count << "\n";

    ExecutionInfo* info = opened.executionInfo;
    auto text = [&](UINT id) {
        char* value = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        std::string result = value ? Quoted(value) : "(no string " + std::to_string(id) + ")";
        System::SafeFreeMemory(value);
        return result;
    };
    out << "Autorun: flags " << FlagsText(info->Flags) << ", path "
        << text(info->ExecutableStringId) << ", arguments " << text(info->ArgsStringId) << "\n";

    std::vector<bool> required(count, opened.requiredIdsCount == 0);
    out << "Required:";
    if (opened.requiredIdsCount == 0) out << " all entries (empty table)";
    for (UINT i = 0; i < opened.requiredIdsCount; i++) {
        UINT id = opened.requiredIdsTable[i];
        out << " " << id;
        if (id < count)
            required[id] = true;
        else
            out << " (no such entry)";
    }
    out << "\n";

    for (UINT id = 0; id < count; id++) {
        char* name = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        out << std::setw(6) << id << " " << std::setw(10) << fileInfoTable[id].Size << " "
            << (required[id] ? "required " : "optional ")
            << (name ? Printable(name) : "(no name: string " + std::to_string(id) + " unreadable)")
            << "\n";
        System::SafeFreeMemory(name);
    }
    ClosePayload(&opened);
    return true;
}

bool ListInstallerJson(const std::string& path, std::ostream& out, std::string* error) {
    PayloadBounds bounds;
    if (!LocatePayloadEnd(path, &bounds, error)) return false;
    OpenedPayload opened = OpenedPayload();
    if (!OpenPayload(path.c_str(), false, &opened)) {
        *error = path + ": the launcher cannot open its payload";
        return false;
    }
    // Written whole or not at all: a pipeline never sees half a document.
    std::ostringstream json;
    const SFXHeader* header = opened.header;
    const ExecutionInfo* info = opened.executionInfo;
    const UINT count = header->numberOfFiles;
    const uint64_t footerOffset = bounds.payloadEnd - SFX_FOOTER_SIZE;
    const uint64_t payloadOffset = footerOffset - opened.footer->PackageSize;
    auto text = [&](UINT id) {
        char* value = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        std::string result = value ? JsonText(value) : "null";
        System::SafeFreeMemory(value);
        return result;
    };
    json << "{\n  \"format\": " << kListingFormat << ",\n  \"file\": {\"size\": " << bounds.fileSize
         << ", \"signature\": ";
    if (bounds.signedImage)
        json << "{\"offset\": " << bounds.payloadEnd << ", \"size\": " << bounds.certificateSize
             << "}";
    else
        json << "null";
    json << "},\n  \"footer\": {\"offset\": " << footerOffset
         << ", \"packageSize\": " << opened.footer->PackageSize
         << ", \"crc32\": " << opened.footer->CRC32
         << "},\n  \"header\": {\"offset\": " << payloadOffset
         << ", \"version\": " << (unsigned)header->Version << ", \"entries\": " << count
         << "},\n  \"autorun\": {\"flags\": " << info->Flags << ", \"program\": "
         << (!(info->Flags & SFX_FLAG_JAVA) ? "\"native\""
             : info->Flags & SFX_FLAG_JAVAX ? "\"javax\""
                                            : "\"java\"")
         << ", \"pathId\": " << info->ExecutableStringId
         << ", \"path\": " << text(info->ExecutableStringId)
         << ", \"argumentsId\": " << info->ArgsStringId
         << ", \"arguments\": " << text(info->ArgsStringId) << "},\n";

    std::vector<bool> required(count, opened.requiredIdsCount == 0);
    json << "  \"required\": {\"allEntries\": " << (opened.requiredIdsCount == 0 ? "true" : "false")
         << ", \"ids\": [";
    for (UINT i = 0; i < opened.requiredIdsCount; i++) {
        UINT id = opened.requiredIdsTable[i];
        json << (i ? ", " : "") << id;
        if (id < count) required[id] = true;
    }
    json << "]},\n  \"dataOffset\": " << filesDataStartOffset << ",\n  \"entries\": [";

    uint64_t offset = filesDataStartOffset;
    for (UINT id = 0; id < count; id++) {
        char* name = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        size_t length = name ? std::strlen(name) : 0;
        bool folder = length && (name[length - 1] == '\\' || name[length - 1] == '/');
        // What the install run leaves in the installer for -extract=: the entries it does not
        // extract at start, and the ".zip" ones that it skips among those it does.
        bool left = !required[id] || (name && String::EndsWith(name, ".zip"));
        json << (id ? ",\n" : "\n") << "    {\"index\": " << id
             << ", \"name\": " << (name ? JsonText(name) : "null")
             << ", \"kind\": " << (folder ? "\"folder\"" : "\"file\"")
             << ", \"size\": " << fileInfoTable[id].Size << ", \"offset\": " << offset
             << ", \"required\": " << (required[id] ? "true" : "false")
             << ", \"leftInInstaller\": " << (left ? "true" : "false") << "}";
        offset += fileInfoTable[id].Size;
        System::SafeFreeMemory(name);
    }
    json << (count ? "\n  ],\n" : "],\n");

    uint32_t crc = 0;
    Image image(path, bounds.payloadEnd);
    bool readable = image.Crc(payloadOffset, opened.footer->PackageSize, &crc);
    json << "  \"crc\": {\"stored\": " << opened.footer->CRC32 << ", \"computed\": ";
    if (readable)
        json << crc;
    else
        json << "null";
    json << ", \"checked\": " << (opened.footer->CRC32 ? "true" : "false")
         << ", \"matches\": " << (readable && crc == opened.footer->CRC32 ? "true" : "false")
         << "},\n";

    // A stub whose resources cannot be read lists no identity; verify names why.
    InstallerIdentity identity;
    std::string resourceError;
    bool hasIdentity = ReadIdentity(path, &identity, &resourceError);
    json << "  \"identity\": ";
    WriteIdentityJson(json, hasIdentity ? &identity : nullptr, "  ");
    json << "\n}\n";
    ClosePayload(&opened);
    out << json.str();
    return true;
}

bool VerifyInstaller(const std::string& path, std::ostream& out, std::string* deepPathWarning) {
    PayloadBounds bounds;
    std::string error;
    if (!LocatePayloadEnd(path, &bounds, &error)) {
        out << "error: " << error << "\n";
        return false;
    }
    std::vector<std::string> problems;
    auto finish = [&]() {
        for (const std::string& problem : problems)
            out << "error: " << problem << "\n";
        out << "FAILED: " << path << ": " << problems.size() << " problem"
            << (problems.size() == 1 ? "" : "s") << "\n";
        return false;
    };
    if (bounds.signedImage)
        out << "signature: present, certificate table of " << bounds.certificateSize
            << " bytes at offset " << bounds.payloadEnd << "; the payload ends there\n";
    for (const std::string& problem : ResourceProblems(path))
        problems.push_back(problem);
    if (bounds.fileSize > SFX_MAX_FILE_SIZE) {
        problems.push_back("the file is " + std::to_string(bounds.fileSize) +
                           " bytes; the launcher reads files below 2 GiB only");
        return finish();
    }
    uint64_t end = bounds.payloadEnd;
    if (end < SFX_FOOTER_SIZE) {
        problems.push_back("no room for the 8-byte footer in " + std::to_string(end) + " bytes");
        return finish();
    }
    Image image(path, end);
    uint64_t footerStart = end - SFX_FOOTER_SIZE;
    uint32_t packageSize = 0, storedCrc = 0;
    if (!image.Uint(footerStart, &packageSize) || !image.Uint(footerStart + 4, &storedCrc)) {
        problems.push_back("the footer cannot be read");
        return finish();
    }
    if (packageSize > footerStart) {
        problems.push_back("PackageSize " + std::to_string(packageSize) +
                           " reaches before the start of the file");
        return finish();
    }
    uint64_t h = footerStart - packageSize;
    uint8_t fixed[SFX_HEADER_SIZE + SFX_EXECUTION_INFO_SIZE];
    if (packageSize < sizeof fixed || !image.Read(h, fixed, sizeof fixed)) {
        problems.push_back("PackageSize " + std::to_string(packageSize) +
                           " leaves no room for the header and the autorun record");
        return finish();
    }
    if (std::memcmp(fixed, SIGNATURE, SIGNATURE_LENGTH) != 0) {
        problems.push_back("no payload signature at offset " + std::to_string(h));
        return finish();
    }
    uint32_t version = fixed[SIGNATURE_LENGTH];
    if (version > SFX_MAX_VERSION)
        problems.push_back("header version " + std::to_string(version) + " is not 0 or 1");
    uint32_t count = 0, flags = 0, executableId = 0, argsId = 0;
    image.Uint(h + 20, &count);
    image.Uint(h + 24, &flags);
    image.Uint(h + 28, &executableId);
    image.Uint(h + 32, &argsId);
    if (count == 0) problems.push_back("the file table is empty; the launcher refuses it");

    uint64_t position = h + SFX_HEADER_SIZE + SFX_EXECUTION_INFO_SIZE;
    if ((uint64_t)count * SFX_FILE_INFORMATION_SIZE > footerStart - position) {
        problems.push_back("the file table of " + std::to_string(count) +
                           " entries runs past the footer");
        return finish();
    }
    std::vector<uint32_t> sizes(count);
    for (uint32_t i = 0; i < count; i++)
        image.Uint(position + 8ull * i, &sizes[i]);
    position += 8ull * count;

    uint32_t requiredCount = 0;
    if (!image.Uint(position, &requiredCount) || position + 4 > footerStart ||
        (uint64_t)requiredCount * 4 > footerStart - position - 4) {
        problems.push_back("the required-files table runs past the footer");
        return finish();
    }
    std::vector<uint32_t> requiredIds(requiredCount);
    for (uint32_t i = 0; i < requiredCount; i++) {
        image.Uint(position + 4 + 4ull * i, &requiredIds[i]);
        if (requiredIds[i] >= count)
            problems.push_back("required id " + std::to_string(requiredIds[i]) +
                               " names no entry (" + std::to_string(count) + " entries)");
    }
    position += 4 + 4ull * requiredCount;

    std::vector<std::string> strings;
    for (uint64_t id = 0; id < (uint64_t)count + 2; id++) {
        uint32_t length = 0;
        if (position + 4 > footerStart || !image.Uint(position, &length) ||
            length > footerStart - position - 4) {
            problems.push_back("string " + std::to_string(id) + " runs past the footer");
            return finish();
        }
        std::string text(length, '\0');
        image.Read(position + 4, &text[0], length);
        strings.push_back(text);
        position += 4 + (uint64_t)length;
    }
    if (executableId >= (uint64_t)count + 2)
        problems.push_back("the autorun path id " + std::to_string(executableId) +
                           " names no string");
    if (argsId >= (uint64_t)count + 2)
        problems.push_back("the autorun arguments id " + std::to_string(argsId) +
                           " names no string");

    *deepPathWarning =
        DeepPathWarning(std::vector<std::string>(strings.begin(), strings.begin() + count));

    uint64_t dataEnd = position;
    for (uint32_t i = 0; i < count; i++) {
        dataEnd += sizes[i];
        if (dataEnd > footerStart) {
            problems.push_back("the data of entry " + std::to_string(i) + " " + Quoted(strings[i]) +
                               " runs past the footer");
            return finish();
        }
    }
    if (dataEnd < footerStart)
        problems.push_back(std::to_string(footerStart - dataEnd) +
                           " stray bytes between the last entry's data and the footer");

    uint32_t crc = 0;
    if (!image.Crc(h, packageSize, &crc))
        problems.push_back("the payload cannot be read for its CRC-32");
    else if (crc != storedCrc)
        problems.push_back("CRC32 " + Hex(storedCrc) + " stored, " + Hex(crc) + " computed");

    int autorunEntry = -1;
    std::string autorun = executableId < strings.size() ? strings[executableId] : "";
    NameRules rules = InstallerNameRules(path);
    for (uint32_t i = 0; i < count; i++) {
        const std::string& name = strings[i];
        std::string problem = EntryNameProblem(name, rules);
        if (!problem.empty())
            problems.push_back("entry " + std::to_string(i) + " " + Quoted(name) +
                               " cannot be extracted: " + problem);
        bool folder = !name.empty() && (name.back() == '\\' || name.back() == '/');
        if (folder && sizes[i] != 0)
            out << "note: folder entry " << i << " " << Quoted(name) << " has size " << sizes[i]
                << ", which is skipped\n";
        if (!folder && autorunEntry < 0 && ToStoredSeparators(name) == ToStoredSeparators(autorun))
            autorunEntry = (int)i;
    }
    if (!(flags & SFX_FLAG_JAVA) && executableId < strings.size()) {
        if (autorunEntry < 0)
            problems.push_back("the autorun path " + Quoted(autorun) + " is not a file entry");
        else if (requiredCount != 0 && std::find(requiredIds.begin(), requiredIds.end(),
                                                 (uint32_t)autorunEntry) == requiredIds.end())
            problems.push_back("the autorun path " + Quoted(autorun) + " is not required");
    }
    if (!problems.empty()) return finish();
    out << "OK: " << path << ": " << count << (count == 1 ? " entry" : " entries")
        << ", payload of " << packageSize << " bytes at offset " << h << ", CRC32 " << Hex(crc)
        << "\n";
    return true;
}

std::string DefaultExtractFolder(const std::string& installer) {
    size_t separator = installer.find_last_of("\\/:");
    std::string base = separator == std::string::npos ? installer : installer.substr(separator + 1);
    size_t dot = base.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return base + "-files";
    return base.substr(0, dot);
}

namespace {

// Checks the opened payload before anything is written: its CRC-32 and the extent of the data.
bool CheckPayload(const std::string& path, const PayloadBounds& bounds, const OpenedPayload& opened,
                  std::string* error) {
    uint64_t footerStart = bounds.payloadEnd - SFX_FOOTER_SIZE;
    uint64_t dataEnd = filesDataStartOffset;
    for (UINT id = 0; id < opened.header->numberOfFiles; id++)
        dataEnd += fileInfoTable[id].Size;
    if (dataEnd > footerStart) {
        *error = path + ": damaged: the entries' data runs " +
                 std::to_string(dataEnd - footerStart) + " bytes past the end of the payload";
        return false;
    }
    uint32_t stored = opened.footer->CRC32;
    if (stored == 0) return true;
    Image image(path, bounds.payloadEnd);
    uint32_t crc = 0;
    if (!image.Crc(footerStart - opened.footer->PackageSize, opened.footer->PackageSize, &crc)) {
        *error = path + ": damaged: the payload cannot be read for its CRC-32";
        return false;
    }
    if (crc != stored) {
        *error = path + ": damaged: CRC32 " + Hex(stored) + " stored, " + Hex(crc) + " computed";
        return false;
    }
    return true;
}

// The entries to write, each name checked; false with *error when one cannot be written.
bool ChooseEntries(const std::string& path, const OpenedPayload& opened,
                   const std::vector<std::string>& wanted, std::vector<UINT>* chosen,
                   std::string* error) {
    std::vector<bool> matched(wanted.size(), false);
    NameRules rules = InstallerNameRules(path);
    for (UINT id = 0; id < opened.header->numberOfFiles; id++) {
        char* stored = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        if (!stored) {
            *error =
                path + ": damaged: the name of entry " + std::to_string(id) + " cannot be read";
            return false;
        }
        std::string name = stored;
        System::SafeFreeMemory(stored);
        bool take = wanted.empty();
        for (size_t i = 0; i < wanted.size(); i++) {
            // Chosen as the launcher's -extract= chooses: by the end of the stored name.
            std::string suffix = ToStoredSeparators(wanted[i]);
            if (name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                take = matched[i] = true;
        }
        if (!take) continue;
        std::string problem = EntryNameProblem(name, rules);
        if (problem.empty() && !Path::StaysInside(name.c_str())) problem = "it leaves the folder";
        if (!problem.empty()) {
            *error = path + ": entry " + std::to_string(id) + " " + Quoted(name) +
                     " is refused: " + problem;
            return false;
        }
        chosen->push_back(id);
    }
    for (size_t i = 0; i < wanted.size(); i++)
        if (!matched[i]) {
            *error = path + ": no entry name ends with " + Quoted(wanted[i]);
            return false;
        }
    return true;
}

} // namespace

bool ExtractInstaller(const ExtractOptions& options, std::ostream& out, std::string* error) {
    const std::string& path = options.installer;
    PayloadBounds bounds;
    if (!LocatePayloadEnd(path, &bounds, error)) return false;
    OpenedPayload opened = OpenedPayload();
    if (!OpenPayload(path.c_str(), false, &opened)) {
        *error = path + ": the launcher cannot open its payload";
        return false;
    }
    std::vector<UINT> chosen;
    bool ok = CheckPayload(path, bounds, opened, error) &&
              ChooseEntries(path, opened, options.names, &chosen, error);
    std::string folder = options.folder.empty() ? DefaultExtractFolder(path) : options.folder;
    if (ok && options.folder.empty() && OS::PathExists(folder.c_str())) {
        *error = folder + ": exists already; name another folder with -C";
        ok = false;
    }
    if (ok && OS::CreateFolderTree(folder.c_str()) == OS::kFolderFailed) {
        *error = folder + ": cannot be made: " + Host::LastError();
        ok = false;
    }
    for (size_t i = 0; ok && i < chosen.size(); i++) {
        UINT id = chosen[i];
        char* name = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        if (!ExtractFile(id, fileInfoTable, opened.stringTableOffsetsTable, opened.self,
                         folder.c_str())) {
            *error = Host::Join(folder, name ? name : "") + ": entry " + std::to_string(id) +
                     " cannot be written";
            ok = false;
        } else {
            out << Printable(name ? name : "") << "\n";
        }
        System::SafeFreeMemory(name);
    }
    if (ok)
        out << chosen.size() << (chosen.size() == 1 ? " entry" : " entries") << " written below "
            << folder << "\n";
    ClosePayload(&opened);
    return ok;
}

} // namespace sfxpack

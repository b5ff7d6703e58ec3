// Building an installer: the launcher stub, padding, then the payload of a folder tree.
#pragma once

#include "Host.h"
#include "Names.h"
#include "Resources.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sfxpack {

// One entry of the payload as packed: a folder (name ends with '\', no source) or a file.
struct PackEntry {
    std::string name;        // stored name, '\'-separated, relative to the packed folder
    std::string source;      // host path of a file's content; empty for a folder
    uint64_t size = 0;       // the file's length when it was scanned; 0 for a folder
    bool executable = false; // a file with an execute bit
};

// The records of a payload, everything but the entries' data.
struct PayloadRecords {
    uint8_t version = 1;
    std::vector<std::string> names;
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> required;
    uint32_t flags = 0;
    std::string autorun;
    std::string args;
};

// The payload's bytes from the header through the strings table: ExecutableStringId is N,
// ArgsStringId N + 1, each NameStringId the entry's index.
std::vector<uint8_t> EncodePayloadHead(const PayloadRecords& records);

// Lists the files and folders below folder in the order they are stored: per folder sorted by
// the bytes of their names, each folder before its contents (and, with foldersTwice, once more
// after them). False with *error naming the file and the cause when a name cannot be stored or
// a file cannot be read. Files with an identity in leaveOut are left out. Linux rules also refuse
// symbolic links and let names differ in case only.
bool ScanFolder(const std::string& folder, bool foldersTwice, std::vector<PackEntry>* entries,
                std::string* error, const std::vector<FileIdentity>& leaveOut = {},
                NameRules rules = NameRules::kWindows);

// The warning, without its prefix, about files with an execute bit that begin with neither "#!"
// nor the ELF magic, which the Linux launcher extracts without one; empty when there is none.
std::string NonProgramWarning(const std::vector<PackEntry>& entries);

// Bytes between stub and payload so that the installer's length is a multiple of 8.
uint32_t PaddingFor(uint64_t stubSize, uint64_t packageSize);

struct PackOptions {
    std::string stub;
    std::string folder;
    std::string autorun;
    std::string args;
    uint32_t flags = 0; // 0, or 1 (java), or 3 (javax)
    std::vector<std::string> require;
    bool foldersTwice = false;
    std::string output;
    IdentityOptions identity; // written into a Windows stub's resources
};

struct PackSummary {
    uint32_t entries = 0;
    uint32_t required = 0;
    uint64_t payloadOffset = 0; // H
    uint64_t packageSize = 0;
    uint64_t installerSize = 0;
    std::string deepPathWarning;   // DeepPathWarning of the entries' names
    std::string executableWarning; // NonProgramWarning, for a Linux installer
};

// Writes the installer to a temporary file beside options.output and renames it into place
// when complete. Neither file is packed when it lies below options.folder. False with *error naming
// the file and the cause; then nothing is left behind.
bool CreateInstaller(const PackOptions& options, PackSummary* summary, std::string* error);

} // namespace sfxpack

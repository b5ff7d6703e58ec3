// Reading an installer back: the listing (through the launcher's own reader) and the check.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Names.h"

struct OpenedPayload;

namespace sfxpack {

// Where the payload of a file ends, found as the launcher finds it: at its certificate table
// when it is code-signed, else at the end of the file. False with *error when the file cannot
// be opened or is 4 GiB or more.
struct PayloadBounds {
    uint64_t fileSize = 0;
    uint64_t payloadEnd = 0;
    bool signedImage = false;
    uint64_t certificateSize = 0;
};
bool LocatePayloadEnd(const std::string& path, PayloadBounds* bounds, std::string* error);

// The naming rules of the launcher in a file (a stub or an installer): Linux for an ELF image,
// else Windows.
NameRules InstallerNameRules(const std::string& path);

// Prints the header version, N, the autorun record, the required ids and one line per entry,
// read with the launcher's File, Formatter, OpenPayload and GetStringById. False with *error
// when the launcher cannot open the payload (its error box text has gone to standard error).
bool ListInstaller(const std::string& path, std::ostream& out, std::string* error);

// The same as one JSON document (format kListingFormat of Json.h, described in the guide):
// footer, header, autorun record, required ids, every entry with its data offset, the CRC-32
// stored and computed, and the stub's identity. Writes nothing when the launcher cannot open the
// payload; false with *error then.
bool ListInstallerJson(const std::string& path, std::ostream& out, std::string* error);

// Recomputes the CRC-32 and checks that every table, string and entry lies inside the file and
// that the names can be extracted; prints each problem. True only when everything holds.
// *deepPathWarning gets DeepPathWarning of the names whenever they could be read.
bool VerifyInstaller(const std::string& path, std::ostream& out, std::string* deepPathWarning);

struct ExtractOptions {
    std::string installer;
    std::string folder;             // empty: DefaultExtractFolder(installer), which must not exist
    std::vector<std::string> names; // empty: every entry; else those whose names end with one
};

// The folder that extract makes when none is given: the installer's file name without its
// extension, or with "-files" added when it has none.
std::string DefaultExtractFolder(const std::string& installer);

// Writes the chosen entries below the folder at their stored paths with the launcher's own
// reader, after checking the CRC-32 (unless 0 is stored, as the launcher's payloads do), that
// every entry's data lies inside the payload, that each NAME matches an entry, and that every
// chosen name stays inside the folder and can be a file name on Windows. Prints one line per
// entry written. False with *error, before anything is written, when any of that fails.
bool ExtractInstaller(const ExtractOptions& options, std::ostream& out, std::string* error);

} // namespace sfxpack

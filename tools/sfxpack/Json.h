// The listing as one JSON document (sfxpack list --json): its text rules and the installer's
// identity. The document's members are described in the guide ("sfxpack list --json").
#pragma once

#include "Resources.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace sfxpack {

// The version of the document's layout, its "format" member. Members may be added within a
// version; one removed, renamed or given another meaning takes the next.
const int kListingFormat = 1;

// A stored text as a JSON string, quotes included. Stored texts are bytes in the ANSI code page
// of the machine that runs the installer, which the listing cannot know: each byte becomes the
// code point of the same value (as Latin-1 reads it), so that encoding the string as Latin-1
// gives back the stored bytes. '"' and '\' are escaped with a backslash, bytes below 0x20 and
// from 0x7F on as \u00xx, so that the document is plain ASCII on every host.
std::string JsonText(const std::string& bytes);

// UTF-16 text (a version resource's strings) as a JSON string: units below 0x20 and from 0x7F
// on as \uxxxx, so that the document stays plain ASCII.
std::string JsonText(const std::u16string& units);

// The "identity" member's value: null without an identity (a stub that is not a Windows
// program), else an object of the application icon's images (group 121, else the first group),
// the version information and the execution level. indent is the indentation of the member's
// own line.
void WriteIdentityJson(std::ostream& out, const InstallerIdentity* identity,
                       const std::string& indent);

} // namespace sfxpack

// The resources of a Windows launcher: reading its resource section, rebuilding it with the
// installer's identity (icon, version information, manifest) and putting it back into the
// image, with our own code on every host, so that Linux and Windows write the same bytes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace sfxpack {

// A name or an id at one level of the resource tree.
struct ResourceKey {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;
};
bool operator<(const ResourceKey& a, const ResourceKey& b); // the order of the tree
bool operator==(const ResourceKey& a, const ResourceKey& b);

struct Resource {
    ResourceKey type, name, language;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
};

enum : uint16_t { kRtIcon = 3, kRtGroupIcon = 14, kRtVersion = 16, kRtManifest = 24 };
enum : uint16_t { kAppIconGroup = 121, kSplashIconGroup = 401 };

// The resource section of an image read into a flat list of leaves, in the tree's order.
// *problems gets what a loader would stumble over (entries out of order, data outside the
// section, a tree deeper or shallower than three levels); the leaves that could be read are
// kept. False with *error when the file is not a PE image or its resources cannot be reached;
// *hasResources is false for a PE image without a resource directory.
struct ResourceSection {
    bool hasResources = false;
    std::vector<Resource> resources;
    std::vector<std::string> problems;
};
bool IsPortableExecutable(const std::string& path);
bool ReadResourceSection(const std::string& path, ResourceSection* section, std::string* error);
bool ReadResourceSection(const std::vector<uint8_t>& image, ResourceSection* section,
                         std::string* error);

// The section's bytes for resources placed at sectionRva: every directory level by level, then
// the data entries, the names and the data, each piece aligned to 8. Sorts as the format needs.
std::vector<uint8_t> EncodeResourceSection(std::vector<Resource> resources, uint32_t sectionRva);

// Rebuilds the image with the given resources. The resource section keeps its address; the
// sections behind it move (only discardable ones may, as nothing refers to them at run time
// but their data directories), and the headers follow: the section table, the data
// directories, SizeOfImage, SizeOfInitializedData and the checksum (recomputed when the image
// had one). False with *error when the image does not allow it.
bool ReplaceResources(const std::vector<uint8_t>& image, const std::vector<Resource>& resources,
                      std::vector<uint8_t>* out, std::string* error);

// What an author asks sfxpack create to set; empty fields leave the stub's resources alone.
struct IdentityOptions {
    std::string iconFile;                                         // an .ico
    std::vector<std::pair<std::string, std::string>> versionInfo; // KEY, VALUE (UTF-8)
    std::string executionLevel;                                   // asInvoker, ...
    std::string manifestFile;
    bool Any() const {
        return !iconFile.empty() || !versionInfo.empty() || !executionLevel.empty() ||
               !manifestFile.empty();
    }
};

// The stub with the identity written into its resources; OriginalFilename defaults to
// outputName. False with a one-line *error for bad input or a stub whose resources cannot be
// rebuilt.
bool ApplyIdentity(const std::vector<uint8_t>& stub, const IdentityOptions& options,
                   const std::string& outputName, std::vector<uint8_t>* out, std::string* error);

// Checks of the pieces, also used by ApplyIdentity; each false with *error.
// a[.b[.c[.d]]], each at most 65535; *ms, *ls as in the fixed part of the version information.
bool ParseVersion(const std::string& text, uint32_t* ms, uint32_t* ls, std::string* error);
// The icon groups and images of an .ico file's bytes, with new ids from firstId on.
bool IconResources(const std::vector<uint8_t>& ico, uint16_t firstId, std::vector<uint8_t>* group,
                   std::vector<std::vector<uint8_t>>* images, std::string* error);
// Well-formed XML: one root element, matching tags, quoted and unique attributes, known
// entities, UTF-8. *error names the first fault and its line.
bool CheckXml(const std::string& text, std::string* error);
// VS_VERSIONINFO with the fixed part and the string table 040904b0.
bool EncodeVersionInfo(const std::vector<std::pair<std::string, std::string>>& strings,
                       std::vector<uint8_t>* out, std::string* error);

// A whole file's bytes; false with *error naming it.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// The identity of an installer as plain data, for listings.
struct IconImageInfo {
    unsigned width = 0, height = 0, bitCount = 0;
    uint32_t bytes = 0;
};
struct IconGroupInfo {
    uint16_t id = 0;
    std::vector<IconImageInfo> images;
};
struct InstallerIdentity {
    bool windowsImage = false; // false: not a PE image, nothing below applies
    std::vector<IconGroupInfo> icons;
    std::string fileVersion, productVersion; // the fixed part, a.b.c.d; empty without one
    std::vector<std::pair<std::string, std::string>> versionStrings; // in stored order, UTF-8
    std::string executionLevel; // requestedExecutionLevel of the manifest; empty without one
    bool hasManifest = false;
};
bool ReadIdentity(const std::string& path, InstallerIdentity* identity, std::string* error);
// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool ToUtf16(const std::string& text, std::u16string* out);

// The identity as lines of sfxpack list ("Icon 121: 48x48 ...", ...); nothing for non-PE files.
void PrintIdentity(const std::string& path, std::ostream& out);
// The structure problems of the resource section, for sfxpack verify.
std::vector<std::string> ResourceProblems(const std::string& path);

} // namespace sfxpack

#include "Pack.h"

#include "Crc32.h"
#include "Host.h"
#include "Names.h"
#include "Inspect.h"

#include "OS.h"
#include "sfxformat.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

namespace sfxpack {

namespace {

void PutUint(std::vector<uint8_t>* bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes->push_back((uint8_t)(value >> shift));
}

void PutString(std::vector<uint8_t>* bytes, const std::string& text) {
    PutUint(bytes, (uint32_t)text.size());
    bytes->insert(bytes->end(), text.begin(), text.end());
}

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return text;
}

struct Child {
    std::string name;
    std::string path;
    bool folder;
    uint64_t size;
    bool executable;
};

bool ScanInto(const std::string& folder, const std::string& prefix, bool foldersTwice,
              const std::vector<FileIdentity>& leaveOut, NameRules rules,
              std::vector<PackEntry>* entries, std::string* error) {
    std::vector<FolderEntry> listed;
    if (!Host::ListFolder(folder, &listed, error)) return false;
    std::vector<Child> children;
    for (const FolderEntry& item : listed) {
        std::string path = Host::Join(folder, item.name);
        if (item.kind == EntryKind::kFile && !leaveOut.empty()) {
            // The installer being written, and the one it replaces, are no part of the payload.
            FileIdentity identity = Host::IdentityOf(path);
            if (std::find(leaveOut.begin(), leaveOut.end(), identity) != leaveOut.end()) continue;
        }
        std::string problem = ComponentProblem(item.name, rules);
        if (!problem.empty()) {
            *error = Quoted(path) + ": cannot be stored: " + problem;
            return false;
        }
        // A Linux user expects a link to arrive as a link, which a payload cannot hold.
        if (rules == NameRules::kLinux && item.link) {
            *error = Quoted(path) +
                     ": is a symbolic link, which an installer cannot store: copy its target "
                     "in its place, or have the started program create the link";
            return false;
        }
        switch (item.kind) {
        case EntryKind::kFolder:
            children.push_back({item.name, path, true, 0, false});
            break;
        case EntryKind::kFile:
            children.push_back({item.name, path, false, item.size, item.executable});
            break;
        case EntryKind::kLinkedFolder:
            // A linked folder could lead back into the tree; its content is not packed twice.
            *error = Quoted(path) + ": is a symbolic link to a folder, which is not packed";
            return false;
        default:
            *error = Quoted(path) + ": is neither a file nor a folder";
            return false;
        }
    }

    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    // Windows does not tell names apart by case: two of them would be one file there.
    std::map<std::string, std::string> folded;
    for (const Child& child : children) {
        if (rules == NameRules::kLinux) break;
        auto [place, added] = folded.emplace(LowerAscii(child.name), child.name);
        if (!added) {
            *error = Quoted(Host::Join(folder, child.name)) +
                     ": names the same file on Windows as " + Quoted(place->second);
            return false;
        }
    }

    for (const Child& child : children) {
        if (child.folder) {
            std::string name = prefix + child.name + "\\";
            entries->push_back({name, "", 0});
            if (!ScanInto(child.path, name, foldersTwice, leaveOut, rules, entries, error))
                return false;
            if (foldersTwice) entries->push_back({name, "", 0});
        } else {
            entries->push_back({prefix + child.name, child.path, child.size, child.executable});
        }
    }
    return true;
}

// True when the file's footer leads back to a payload header, as the launcher would find it.
bool CarriesPayload(const std::string& path, uint64_t size) {
    if (size < SFX_FOOTER_SIZE) return false;
    std::ifstream in(path, std::ios::binary);
    uint8_t tail[4];
    in.seekg((std::streamoff)(size - SFX_FOOTER_SIZE));
    in.read(reinterpret_cast<char*>(tail), sizeof tail);
    uint32_t packageSize = (uint32_t)tail[0] | (uint32_t)tail[1] << 8 | (uint32_t)tail[2] << 16 |
                           (uint32_t)tail[3] << 24;
    if (!in || packageSize > size - SFX_FOOTER_SIZE) return false;
    in.seekg((std::streamoff)(size - SFX_FOOTER_SIZE - packageSize));
    char signature[SIGNATURE_LENGTH];
    in.read(signature, SIGNATURE_LENGTH);
    return in && std::memcmp(signature, SIGNATURE, SIGNATURE_LENGTH) == 0;
}

// Copies a file's content behind what fd holds; checks that it still has the expected size.
bool CopyContent(const std::string& source, uint64_t expected, OutputFile* output, uint32_t* crc,
                 std::string* error) {
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        *error = source + ": cannot be read";
        return false;
    }
    static char chunk[1 << 16];
    uint64_t copied = 0;
    while (in) {
        in.read(chunk, sizeof chunk);
        size_t got = (size_t)in.gcount();
        if (got == 0) break;
        copied += got;
        if (copied > expected) break;
        if (crc) *crc = Crc32Update(*crc, chunk, got);
        if (!Host::Write(output, chunk, got)) {
            *error = output->target + ": cannot be written: " + Host::LastError();
            return false;
        }
    }
    if (in.bad()) {
        *error = source + ": cannot be read";
        return false;
    }
    if (copied != expected) {
        *error = source + ": changed while it was packed";
        return false;
    }
    return true;
}

} // namespace

std::vector<uint8_t> EncodePayloadHead(const PayloadRecords& records) {
    uint32_t count = (uint32_t)records.names.size();
    std::vector<uint8_t> bytes(SIGNATURE, SIGNATURE + SIGNATURE_LENGTH);
    bytes.push_back(records.version);
    PutUint(&bytes, count);
    PutUint(&bytes, records.flags);
    PutUint(&bytes, count);
    PutUint(&bytes, count + 1);
    for (uint32_t i = 0; i < count; i++) {
        PutUint(&bytes, records.sizes[i]);
        PutUint(&bytes, i);
    }
    PutUint(&bytes, (uint32_t)records.required.size());
    for (uint32_t id : records.required)
        PutUint(&bytes, id);
    for (const std::string& name : records.names)
        PutString(&bytes, name);
    PutString(&bytes, records.autorun);
    PutString(&bytes, records.args);
    return bytes;
}

bool ScanFolder(const std::string& folder, bool foldersTwice, std::vector<PackEntry>* entries,
                std::string* error, const std::vector<FileIdentity>& leaveOut, NameRules rules) {
    entries->clear();
    return ScanInto(folder, "", foldersTwice, leaveOut, rules, entries, error);
}

std::string NonProgramWarning(const std::vector<PackEntry>& entries) {
    std::string first;
    size_t count = 0;
    for (const PackEntry& entry : entries) {
        if (!entry.executable) continue;
        char head[4] = {};
        std::ifstream(entry.source, std::ios::binary).read(head, sizeof head);
        bool program = (head[0] == '#' && head[1] == '!') || std::memcmp(head, kElfMagic, 4) == 0;
        if (program) continue;
        if (count++ == 0) first = entry.name;
    }
    if (count == 0) return "";
    return "entry " + Quoted(first) +
           (count > 1 ? " (and " + std::to_string(count - 1) + " more)" : "") +
           " has an execute bit but begins with neither '#!' nor the ELF magic: the launcher "
           "extracts it without one";
}

uint32_t PaddingFor(uint64_t stubSize, uint64_t packageSize) {
    return (uint32_t)((8 - (stubSize + packageSize + SFX_FOOTER_SIZE) % 8) % 8);
}

bool CreateInstaller(const PackOptions& options, PackSummary* summary, std::string* error) {
    EntryKind stubKind;
    uint64_t stubSize = 0;
    std::string cause;
    if (!Host::Kind(options.stub, &stubKind, &stubSize, &cause)) {
        *error = options.stub + ": stub: " + cause;
        return false;
    }
    if (stubKind != EntryKind::kFile) {
        *error = options.stub + ": stub: is not a file";
        return false;
    }
    PayloadBounds bounds;
    if (!LocatePayloadEnd(options.stub, &bounds, error)) {
        *error = options.stub + ": stub: cannot be read";
        return false;
    }
    if (bounds.signedImage) {
        *error = options.stub + ": stub: is code-signed; a payload behind the signature breaks it "
                                "(sign the installer after packing)";
        return false;
    }
    if (CarriesPayload(options.stub, stubSize)) {
        *error = options.stub + ": stub: already carries a payload";
        return false;
    }
    // The stub with the author's identity in its resources, or as it is.
    std::vector<uint8_t> identified;
    if (options.identity.Any()) {
        if (!IsPortableExecutable(options.stub)) {
            *error = options.stub + ": stub: is not a Windows launcher; --icon, --version-info, "
                                    "--execution-level and --manifest apply to those only";
            return false;
        }
        std::vector<uint8_t> stub;
        if (!ReadFileBytes(options.stub, &stub, error) || stub.size() != stubSize) {
            *error = options.stub + ": stub: cannot be read";
            return false;
        }
        size_t slash = options.output.find_last_of("/\\");
        std::string name = Host::ArgumentText(
            slash == std::string::npos ? options.output : options.output.substr(slash + 1));
        if (!ApplyIdentity(stub, options.identity, name, &identified, error)) {
            if (error->compare(0, 5, "stub:") == 0) *error = options.stub + ": " + *error;
            return false;
        }
        stubSize = identified.size();
    }

    if (!Host::IsFolder(options.folder)) {
        *error = options.folder + ": " +
                 (OS::PathExists(options.folder.c_str()) ? "is not a folder" : "no such folder");
        return false;
    }

    // The stub's platform names the rules: a Linux launcher is an ELF image.
    NameRules rules = InstallerNameRules(options.stub);
    PayloadRecords records;
    records.flags = options.flags;
    records.args = options.args;
    std::string problem = CommandTextProblem(options.args, rules);
    if (!problem.empty()) {
        *error = "--args " + Quoted(options.args) + ": cannot be stored: " + problem;
        return false;
    }
    bool javaMode = (options.flags & SFX_FLAG_JAVA) != 0;
    records.autorun = javaMode ? options.autorun : ToStoredSeparators(options.autorun);
    problem = javaMode ? CommandTextProblem(records.autorun, rules)
                       : EntryNameProblem(records.autorun, rules);
    if (records.autorun.empty()) problem = "it is empty";
    if (!problem.empty()) {
        std::string suggestion = javaMode ? "" : SuggestedName(options.autorun);
        if (!suggestion.empty()) problem += "; write " + Quoted(suggestion);
        *error = "--autorun " + Quoted(options.autorun) + ": cannot be stored: " + problem;
        return false;
    }

    // The temporary file comes first, so that the walk knows it when it lies below the folder.
    OutputFile output;
    if (!Host::CreateOutput(options.output, &output, error)) return false;
    std::vector<FileIdentity> leaveOut = {Host::IdentityOf(output),
                                          Host::IdentityOf(options.output)};
    std::vector<PackEntry> entries;
    if (!ScanFolder(options.folder, options.foldersTwice, &entries, error, leaveOut, rules))
        return false;
    if (entries.empty()) {
        *error = options.folder + ": holds no files or folders to pack";
        return false;
    }
    if (entries.size() > 0xFFFFFFF0u) {
        *error = options.folder + ": holds too many entries";
        return false;
    }

    uint64_t dataSize = 0;
    int autorunId = -1;
    for (size_t i = 0; i < entries.size(); i++) {
        records.names.push_back(entries[i].name);
        records.sizes.push_back((uint32_t)std::min<uint64_t>(entries[i].size, 0xFFFFFFFF));
        dataSize += entries[i].size;
        if (autorunId < 0 && entries[i].source.size() && entries[i].name == records.autorun)
            autorunId = (int)i;
    }
    if (!javaMode && autorunId < 0) {
        *error =
            "--autorun " + Quoted(options.autorun) + ": is not a file in " + Quoted(options.folder);
        return false;
    }

    std::vector<bool> required(entries.size(), false);
    for (const std::string& pattern : options.require) {
        bool matched = false;
        for (size_t i = 0; i < entries.size(); i++)
            if (GlobMatch(pattern, entries[i].name)) required[i] = matched = true;
        if (!matched) {
            *error =
                "--require " + Quoted(pattern) + ": matches no entry of " + Quoted(options.folder);
            return false;
        }
    }
    for (size_t i = 0; i < entries.size(); i++)
        if (required[i]) records.required.push_back((uint32_t)i);
    // With a required list the launcher extracts only the listed entries before it starts the
    // autorun program, which must be among them.
    if (!javaMode && !records.required.empty() && !required[(size_t)autorunId]) {
        *error = "--autorun " + Quoted(options.autorun) +
                 ": is not matched by any --require pattern, so it would not be extracted";
        return false;
    }

    std::vector<uint8_t> head = EncodePayloadHead(records);
    uint64_t packageSize = head.size() + dataSize;
    uint32_t padding = PaddingFor(stubSize, packageSize);
    uint64_t installerSize = stubSize + padding + packageSize + SFX_FOOTER_SIZE;
    if (installerSize > SFX_MAX_FILE_SIZE) {
        *error = options.output + ": the installer would be " + std::to_string(installerSize) +
                 " bytes; the launcher reads files below 2 GiB only";
        return false;
    }

    if (identified.empty() ? !CopyContent(options.stub, stubSize, &output, nullptr, error)
                           : !Host::Write(&output, identified.data(), identified.size())) {
        if (!identified.empty())
            *error = options.output + ": cannot be written: " + Host::LastError();
        return false;
    }
    static const uint8_t kZeros[8] = {};
    uint32_t crc = Crc32Update(0, head.data(), head.size());
    if (!Host::Write(&output, kZeros, padding) || !Host::Write(&output, head.data(), head.size())) {
        *error = options.output + ": cannot be written: " + Host::LastError();
        return false;
    }
    for (const PackEntry& entry : entries)
        if (!entry.source.empty() && !CopyContent(entry.source, entry.size, &output, &crc, error))
            return false;
    std::vector<uint8_t> footer;
    PutUint(&footer, (uint32_t)packageSize);
    PutUint(&footer, crc);
    if (!Host::Write(&output, footer.data(), footer.size())) {
        *error = options.output + ": cannot be written: " + Host::LastError();
        return false;
    }
    if (!Host::CommitOutput(&output, options.stub, error)) return false;

    summary->entries = (uint32_t)entries.size();
    summary->required = (uint32_t)records.required.size();
    summary->payloadOffset = stubSize + padding;
    summary->packageSize = packageSize;
    summary->installerSize = installerSize;
    summary->deepPathWarning = DeepPathWarning(records.names);
    if (rules == NameRules::kLinux) summary->executableWarning = NonProgramWarning(entries);
    return true;
}

} // namespace sfxpack

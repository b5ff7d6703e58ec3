// What the pack tool needs of the host system beyond the launcher's OS layer: walking a folder,
// the identity of a file, and writing the installer under a temporary name that is renamed over
// the output when complete. One implementation per host (HostPosix.cpp, HostWin32.cpp), picked
// by the build. Paths are narrow strings: the system's own on POSIX, the ANSI code page on
// Windows; the stored names are ASCII, so both hosts see the same names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sfxpack {

// Names one file on its volume while it exists, whatever path leads to it.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool known = false;
    bool operator==(const FileIdentity& other) const {
        return known && other.known && volume == other.volume && index == other.index;
    }
};

enum class EntryKind { kFile, kFolder, kLinkedFolder, kOther };

struct FolderEntry {
    std::string name; // the name within its folder
    EntryKind kind = EntryKind::kOther;
    uint64_t size = 0;       // a file's length
    bool link = false;       // a symbolic link (POSIX), whatever it leads to
    bool executable = false; // a file with an execute bit (POSIX)
};

// A file being written; Host::CommitOutput or the destructor ends it.
struct OutputFile {
    intptr_t handle = -1;
    std::string temporaryPath;
    std::string target;
    ~OutputFile();
};

class Host {
  public:
    // A command-line text as UTF-8: POSIX arguments are taken to be UTF-8 already, Windows
    // ones come in the ANSI code page.
    static std::string ArgumentText(const std::string& argument);
    // The text of the last failed system call of this thread.
    static std::string LastError();
    // Standard output without line-end translation, so that a document written with '\n'
    // has the same bytes on every host.
    static void BinaryStandardOutput();
    // The path of a name in a folder, with the host's separator.
    static std::string Join(const std::string& folder, const std::string& name);
    // The folder part of a path ("." for a bare name); '/' and, on Windows, '\' and drive
    // letters count.
    static std::string FolderOf(const std::string& path);
    static bool IsFolder(const std::string& path);
    // kFile with its size, kFolder, or kOther; false with *error when it cannot be looked at.
    static bool Kind(const std::string& path, EntryKind* kind, uint64_t* size, std::string* error);
    // The entries of a folder, "." and ".." left out, in no particular order (symbolic links
    // followed: a file behind one is kFile, a folder behind one kLinkedFolder, and a link that
    // leads nowhere kOther).
    static bool ListFolder(const std::string& folder, std::vector<FolderEntry>* entries,
                           std::string* error);
    // Not known when the file cannot be opened.
    static FileIdentity IdentityOf(const std::string& path);
    static FileIdentity IdentityOf(const OutputFile& file);

    // Creates a new empty file beside target under a name of its own.
    static bool CreateOutput(const std::string& target, OutputFile* file, std::string* error);
    static bool Write(OutputFile* file, const void* data, size_t size);
    // Gives the file the permissions of modelPath (where the host has them), flushes it to the
    // disk, closes it and renames it over the target, replacing an existing one in one step.
    static bool CommitOutput(OutputFile* file, const std::string& modelPath, std::string* error);
};

} // namespace sfxpack

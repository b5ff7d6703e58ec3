#include "Host.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sfxpack {

OutputFile::~OutputFile() {
    if (handle >= 0) close((int)handle);
    if (!temporaryPath.empty()) unlink(temporaryPath.c_str());
}

void Host::BinaryStandardOutput() {}

std::string Host::ArgumentText(const std::string& argument) {
    return argument;
}

std::string Host::LastError() {
    return std::strerror(errno);
}

std::string Host::Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string Host::FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Host::IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Host::Kind(const std::string& path, EntryKind* kind, uint64_t* size, std::string* error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = LastError();
        return false;
    }
    *kind = S_ISREG(st.st_mode)   ? EntryKind::kFile
            : S_ISDIR(st.st_mode) ? EntryKind::kFolder
                                  : EntryKind::kOther;
    *size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    return true;
}

bool Host::ListFolder(const std::string& folder, std::vector<FolderEntry>* entries,
                      std::string* error) {
    entries->clear();
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        *error = folder + ": " + LastError();
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        struct dirent* item = readdir(dir);
        if (!item) {
            if (errno != 0) {
                *error = folder + ": " + LastError();
                ok = false;
            }
            break;
        }
        std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        std::string path = Join(folder, name);
        struct stat link, target;
        bool linked = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        bool found = stat(path.c_str(), &target) == 0;
        if (!found && !(linked && errno == ENOENT)) {
            *error = path + ": " + LastError();
            ok = false;
            break;
        }
        FolderEntry entry;
        entry.name = name;
        entry.link = linked;
        // A link that leads nowhere stays kOther.
        if (found && S_ISDIR(target.st_mode)) {
            entry.kind = linked ? EntryKind::kLinkedFolder : EntryKind::kFolder;
        } else if (found && S_ISREG(target.st_mode)) {
            entry.kind = EntryKind::kFile;
            entry.size = (uint64_t)target.st_size;
            entry.executable = (target.st_mode & 0111) != 0;
        }
        entries->push_back(entry);
    }
    closedir(dir);
    return ok;
}

namespace {

FileIdentity IdentityOfStat(const struct stat& st) {
    FileIdentity identity;
    identity.volume = (uint64_t)st.st_dev;
    identity.index = (uint64_t)st.st_ino;
    identity.known = true;
    return identity;
}

} // namespace

FileIdentity Host::IdentityOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? IdentityOfStat(st) : FileIdentity();
}

FileIdentity Host::IdentityOf(const OutputFile& file) {
    struct stat st;
    return file.handle >= 0 && fstat((int)file.handle, &st) == 0 ? IdentityOfStat(st)
                                                                 : FileIdentity();
}

bool Host::CreateOutput(const std::string& target, OutputFile* file, std::string* error) {
    size_t slash = target.find_last_of('/');
    std::string folder = FolderOf(target);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = Join(folder, "." + base + ".XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *error = target + ": cannot create a file in '" + folder + "': " + LastError();
        return false;
    }
    file->handle = fd;
    file->temporaryPath = name.data();
    file->target = target;
    return true;
}

bool Host::Write(OutputFile* file, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t put = write((int)file->handle, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= (size_t)put;
    }
    return true;
}

bool Host::CommitOutput(OutputFile* file, const std::string& modelPath, std::string* error) {
    struct stat model;
    int fd = (int)file->handle;
    if (stat(modelPath.c_str(), &model) != 0 || fchmod(fd, model.st_mode & 0777) != 0 ||
        fsync(fd) != 0) {
        *error = file->target + ": cannot be written: " + LastError();
        return false;
    }
    file->handle = -1;
    if (close(fd) != 0) {
        *error = file->target + ": cannot be written: " + LastError();
        return false;
    }
    if (rename(file->temporaryPath.c_str(), file->target.c_str()) != 0) {
        *error = file->target + ": cannot be replaced: " + LastError();
        return false;
    }
    file->temporaryPath.clear();
    return true;
}

} // namespace sfxpack

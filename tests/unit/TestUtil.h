// Shared helpers of the unit tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "OS.h"
#include "System.h"

// Writes '|' as the platform's separator, so one table serves both platforms.
inline std::string P(std::string path) {
    for (char& c : path)
        if (c == '|') c = OS::kSeparator;
    return path;
}

// Takes a heap text from the launcher's helpers and releases it.
inline std::string Take(char* text) {
    std::string copy = text ? text : "<null>";
    System::SafeFreeMemory(text);
    return copy;
}

// A fresh scratch folder below the system temporary folder, removed at the end of the test.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    // The folder with a trailing separator, as the launcher's folder paths end.
    std::string Folder() const { return path_.string() + OS::kSeparator; }
    std::string Path(const std::string& name) const { return Folder() + P(name); }
    void Write(const std::string& name, const std::string& content) const;
    std::string Read(const std::string& name) const;

  private:
    std::filesystem::path path_;
};

// ---- payloads built in memory ------------------------------------------------------------

// A 32-bit value as the payload stores it: little-endian.
std::string LE32(uint32_t value);

struct TestEntry {
    std::string name, data;
};

// A payload from its header to its footer: the entries in table order, the autorun path and
// arguments as strings N and N + 1, and the required ids (none: every entry).
std::string BuildPayload(const std::vector<TestEntry>& entries, const std::string& autorun,
                         const std::string& args, const std::vector<uint32_t>& required = {});

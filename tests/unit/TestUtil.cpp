#include "TestUtil.h"

#include <fstream>
#include <sstream>

#include "sfxformat.h"
#ifdef _WIN32
#include "os/Win32Path.h"
#endif

ScratchDir::ScratchDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("launcher-unit-" + std::to_string(OS::TickCount()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
#ifdef _WIN32
    // The deep trees of the tests lie beyond MAX_PATH, where std::filesystem stops here.
    OS::Win32::RemoveLongParts(path_.string().c_str());
#endif
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::Write(const std::string& name, const std::string& content) const {
    std::filesystem::path file = Path(name);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string ScratchDir::Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string LE32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++)
        bytes[i] = (char)(value >> (8 * i));
    return bytes;
}

std::string BuildPayload(const std::vector<TestEntry>& entries, const std::string& autorun,
                         const std::string& args, const std::vector<uint32_t>& required) {
    uint32_t n = (uint32_t)entries.size();
    std::string payload = std::string(SIGNATURE, SIGNATURE_LENGTH) + '\1' + LE32(n);
    payload += LE32(0) + LE32(n) + LE32(n + 1);
    // The name ids are not string ids, as in delivered payloads: readers must not use them.
    for (const TestEntry& entry : entries)
        payload += LE32((uint32_t)entry.data.size()) + LE32(0x5F3759DF);
    payload += LE32((uint32_t)required.size());
    for (uint32_t id : required)
        payload += LE32(id);
    for (const TestEntry& entry : entries)
        payload += LE32((uint32_t)entry.name.size()) + entry.name;
    payload += LE32((uint32_t)autorun.size()) + autorun + LE32((uint32_t)args.size()) + args;
    for (const TestEntry& entry : entries)
        payload += entry.data;
    return payload + LE32((uint32_t)payload.size()) + LE32(0);
}

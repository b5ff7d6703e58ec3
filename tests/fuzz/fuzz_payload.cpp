// libFuzzer target: the launcher's payload reader on arbitrary installer bytes. Each input is
// written as an installer, opened with OpenPayload; on success every string is looked up and
// every entry extracted into a scratch folder deep inside a jail folder. Anything that appears
// in the jail outside that folder is an escape and stops the run.
#include "File.h"
#include "Payload.h"
#include "System.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// At most this many strings and entries are looked at per input, to keep each run short.
const UINT kMaxIds = 64;

std::string jail, installer, target;

// Empties the target and checks that the jail holds nothing but the installer and the target's
// folders.
void CheckJail() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(target, ec))
        fs::remove_all(entry.path(), ec);
    for (auto it = fs::recursive_directory_iterator(jail, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string path = it->path().string();
        if (path == installer || path == target ||
            (target.compare(0, path.size(), path) == 0 && target[path.size()] == '/'))
            continue;
        std::fprintf(stderr, "escaped the target folder: %s\n", path.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/fuzz_payload.XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    jail = pattern;
    installer = jail + "/installer.exe";
    target = jail + "/a/b/c/target";
    fs::create_directories(target);
    // Traces run (their texts are built) but go nowhere: no console was opened.
    in_debug_mode = true;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(jail, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(installer, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), (std::streamsize)size);
    }
    OpenedPayload opened = {};
    if (OpenPayload(installer.c_str(), true, &opened)) {
        UINT count = opened.header->numberOfFiles;
        UINT strings = count + 2 < kMaxIds ? count + 2 : kMaxIds;
        for (UINT id = 0; id < strings; id++)
            System::SafeFreeMemory(GetStringById(id, opened.stringTableOffsetsTable, opened.self));
        for (UINT id : {opened.executionInfo->ExecutableStringId,
                        opened.executionInfo->ArgsStringId, count + 2, 0xFFFFFFFFu})
            System::SafeFreeMemory(GetStringById(id, opened.stringTableOffsetsTable, opened.self));
        UINT entries = count < kMaxIds ? count : kMaxIds;
        for (UINT id = 0; id < entries; id++)
            ExtractFile(id, fileInfoTable, opened.stringTableOffsetsTable, opened.self,
                        target.c_str());
        for (UINT i = 0; i < opened.requiredIdsCount && i < kMaxIds; i++)
            ExtractFile(opened.requiredIdsTable[i], fileInfoTable, opened.stringTableOffsetsTable,
                        opened.self, target.c_str());
        ClosePayload(&opened);
    }
    CheckJail();
    return 0;
}

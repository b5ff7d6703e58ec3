// The CRC-32 check's throughput, for bench.py: a file read as the launcher's check reads it (its
// File, 64 KiB pieces), and 4 KiB buffers in memory, on the path that the launcher takes and on
// the portable one. Timed in processor time (user and system) of this process, so that other
// programs on a busy machine count less.
//     crcspeed FILE    prints lines "<what> <path> <GB/s> <crc>"
#include "Crc32.h"
#include "File.h"
#include "System.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace {

typedef uint32_t (*CrcFunction)(uint32_t, const void*, size_t);

double Seconds(std::clock_t start) {
    return (double)(std::clock() - start) / CLOCKS_PER_SEC;
}

// The best of three passes over the file; false when it cannot be read.
bool FileRate(const char* path, CrcFunction crc, double* rate, uint32_t* value) {
    std::vector<BYTE> chunk(64 * 1024);
    *rate = 0;
    for (int pass = 0; pass < 3; pass++) {
        File* file = File::Open(path);
        if (!file) return false;
        UINT left = file->GetSize(), size = left;
        std::clock_t start = std::clock();
        uint32_t running = 0;
        while (left) {
            UINT piece = left < chunk.size() ? left : (UINT)chunk.size();
            if (file->Read(file, chunk.data(), piece) != piece) return false;
            running = crc(running, chunk.data(), piece);
            left -= piece;
        }
        double seconds = Seconds(start);
        file->Close(file);
        System::SafeFreeMemory(file);
        if (size / seconds / 1e9 > *rate) *rate = size / seconds / 1e9;
        *value = running;
    }
    return true;
}

double MemoryRate(CrcFunction crc, uint32_t* value) {
    std::vector<BYTE> buffer(4096);
    for (size_t i = 0; i < buffer.size(); i++)
        buffer[i] = (BYTE)(i * 131 + 7);
    const int rounds = 500000;
    std::clock_t start = std::clock();
    uint32_t running = 0;
    for (int i = 0; i < rounds; i++)
        running = crc(running, buffer.data(), buffer.size());
    *value = running;
    return (double)rounds * buffer.size() / Seconds(start) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: crcspeed FILE\n");
        return 2;
    }
    const struct {
        const char* name;
        CrcFunction crc;
    } paths[] = {{Crc32Accelerated() ? "folding" : "portable", Crc32Update},
                 {"portable", Crc32UpdatePortable}};
    for (const auto& path : paths) {
        double rate;
        uint32_t value;
        if (!FileRate(argv[1], path.crc, &rate, &value)) {
            std::fprintf(stderr, "%s: cannot be read\n", argv[1]);
            return 1;
        }
        std::printf("file %s %.2f %08X\n", path.name, rate, value);
        rate = MemoryRate(path.crc, &value);
        std::printf("memory %s %.2f %08X\n", path.name, rate, value);
    }
    return 0;
}

// Code-signed installers: the payload ends where the certificate table that signing appends
// begins, and only a security directory that names a table ending the file counts as one.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "File.h"
#include "Formatter.h"
#include "Payload.h"
#include "TestUtil.h"

namespace {

uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = value << 8 | (unsigned char)bytes[at + i];
    return value;
}

void Put(std::string* bytes, size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; i++)
        (*bytes)[at + i] = (char)(value >> (8 * i));
}

// ---- PE images ----------------------------------------------------------------------------

// Where the fields lie in a PE32 or PE32+ header whose signature is at offset pe.
struct PeLayout {
    bool plus;
    size_t pe = 0x80;
    size_t Optional() const { return pe + 24; }
    size_t Magic() const { return Optional(); }
    size_t DirectoryCount() const { return Optional() + (plus ? 108 : 92); }
    size_t Security() const { return Optional() + (plus ? 112 : 96) + 4 * 8; }
};

// That header with 16 empty data directories, padded to 0x200 bytes.
std::string PeImage(const PeLayout& layout) {
    std::string image(0x200, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put(&image, 0x3C, (uint32_t)layout.pe, 4);
    image.replace(layout.pe, 4, std::string("PE\0\0", 4));
    Put(&image, layout.pe + 4, layout.plus ? 0x8664 : 0x14C, 2);
    Put(&image, layout.pe + 20, layout.plus ? 240 : 224, 2);
    Put(&image, layout.Magic(), layout.plus ? 0x20B : 0x10B, 2);
    Put(&image, layout.DirectoryCount(), 16, 4);
    return image;
}

void PointSecurity(std::string* file, const PeLayout& layout, uint32_t start, uint32_t size) {
    Put(file, layout.Security(), start, 4);
    Put(file, layout.Security() + 4, size, 4);
}

// A certificate table as Authenticode stores it: length, revision 2.0, PKCS#7 type, content,
// zero padding to a multiple of 8.
std::string CertificateTable(const std::string& content) {
    std::string table = LE32((uint32_t)(8 + content.size())) + std::string("\0\2\2\0", 4) + content;
    while (table.size() % 8)
        table.push_back('\0');
    return table;
}

// What a signing tool does: pads the file to a multiple of 8, appends the table and records it
// in the security directory.
std::string Sign(std::string file, const PeLayout& layout, const std::string& content) {
    while (file.size() % 8)
        file.push_back('\0');
    std::string table = CertificateTable(content);
    PointSecurity(&file, layout, (uint32_t)file.size(), (uint32_t)table.size());
    return file + table;
}

// Certificate contents whose last 8 bytes decide where an unsigned reading looks for the header.
std::string ContentEndingWith(uint32_t packageSize, uint32_t crc) {
    return std::string(40, '\xA5') + LE32(packageSize) + LE32(crc);
}

UINT PayloadEnd(const std::string& bytes) {
    ScratchDir dir;
    dir.Write("image", bytes);
    File* file = File::Open(dir.Path("image").c_str());
    EXPECT_NE(file, nullptr);
    if (!file) return 0;
    UINT end = FindPayloadEnd(file, file->GetSize());
    file->Close(file);
    System::SafeFreeMemory(file);
    return end;
}

// ---- installers ---------------------------------------------------------------------------

// Header through footer; every entry extracted at start, the first one the autorun program.
std::string Payload(const std::vector<TestEntry>& entries) {
    return BuildPayload(entries, entries[0].name, "");
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = (char)(seed >> 16);
    }
    return bytes;
}

// The launcher stub, zero padding and the payload, to a length that is a multiple of 8 so that
// signing appends the table right behind the footer.
std::string Installer(const PeLayout& layout) {
    std::string payload = Payload({{"bin\\setup.exe", "MZ setup"},
                                   {"conf\\app.ini", "[app]\r\nname=signed\r\n"},
                                   {"lib\\big.jar", Pattern(9000, 7)},
                                   {"zz\\last.bin", Pattern(4099, 11)}});
    std::string stub = PeImage(layout);
    while ((stub.size() + payload.size()) % 8)
        stub.push_back('\0');
    return stub + payload;
}

// What OpenPayload made of a file: whether it opened, what the user was shown, and for an
// opened payload its records and every extracted file.
struct Reading {
    bool opened = false;
    std::string shown;
    std::string content;
};

Reading Read(const std::string& bytes) {
    ScratchDir dir;
    dir.Write("setup.exe", bytes);
    Reading reading;
    OpenedPayload opened = {};
    testing::internal::CaptureStderr();
    reading.opened = OpenPayload(dir.Path("setup.exe").c_str(), false, &opened);
    if (reading.opened) {
        UINT n = opened.header->numberOfFiles;
        reading.content = "N=" + std::to_string(n) +
                          " package=" + std::to_string(opened.footer->PackageSize) +
                          " strings=" + std::to_string(opened.stringTableOffset) +
                          " data=" + std::to_string(filesDataStartOffset) + "\n";
        std::string out = dir.Path("out|");
        for (UINT i = 0; i < n; i++)
            EXPECT_TRUE(ExtractFile(i, fileInfoTable, opened.stringTableOffsetsTable, opened.self,
                                    out.c_str()))
                << "entry " << i;
        for (const auto& item : std::filesystem::recursive_directory_iterator(out)) {
            if (!item.is_regular_file()) continue;
            std::string name = std::filesystem::relative(item.path(), out).generic_string();
            reading.content += name + "=" + dir.Read("out|" + name) + "\n";
        }
        ClosePayload(&opened);
    }
    reading.shown = testing::internal::GetCapturedStderr();
    return reading;
}

// The error box as the POSIX port shows it. The Windows box is a window: the end-to-end tests
// read it there.
#ifdef _WIN32
const bool kBoxOnStderr = false;
#else
const bool kBoxOnStderr = true;
#endif

std::string Box(const std::string& text) {
    return kBoxOnStderr ? "Extracting error: " + text + "\n" : "";
}

const PeLayout kLayouts[] = {{false}, {true}};

} // namespace

TEST(PayloadEnd, TableThatEndsTheFileMarksThePayloadEnd) {
    for (PeLayout layout : kLayouts) {
        for (size_t pe : {0x40, 0x80, 0x1F0 - 0x108}) {
            layout.pe = pe;
            SCOPED_TRACE(std::string(layout.plus ? "PE32+" : "PE32") + " at " + std::to_string(pe));
            std::string plain = PeImage(layout) + "payload and footer bytes";
            std::string file = Sign(plain, layout, "pkcs7");
            EXPECT_EQ(PayloadEnd(file), 0x218u);
            // A table of its 8-byte header alone still counts.
            EXPECT_EQ(PayloadEnd(Sign(plain, layout, "")), 0x218u);
            // Five directories are enough to hold the security directory.
            Put(&file, layout.DirectoryCount(), 5, 4);
            EXPECT_EQ(PayloadEnd(file), 0x218u);
        }
    }
}

TEST(PayloadEnd, AnythingButATableThatEndsTheFileLeavesTheFileSize) {
    struct Case {
        const char* what;
        std::function<void(std::string*, const PeLayout&)> damage;
    } cases[] = {
        {"table starts beyond the end",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, (uint32_t)f->size() + 8, 16);
         }},
        {"table starts at the end",
         [](std::string* f, const PeLayout& l) { PointSecurity(f, l, (uint32_t)f->size(), 0); }},
        {"table runs past the end",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, 0x218, (uint32_t)f->size() - 0x218 + 8);
         }},
        {"table stops short of the end",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, 0x218, (uint32_t)f->size() - 0x218 - 8);
         }},
        {"bytes behind the table", [](std::string* f, const PeLayout&) { *f += "appended"; }},
        {"zero size", [](std::string* f, const PeLayout& l) { PointSecurity(f, l, 0x218, 0); }},
        {"table smaller than its own header",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, (uint32_t)f->size() - 4, 4);
         }},
        {"table inside the headers",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, 0x40, (uint32_t)f->size() - 0x40);
         }},
        {"start and size wrap to the end",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, 0x218 + 0x80000000u, (uint32_t)f->size() - 0x218 + 0x80000000u);
         }},
        {"no MZ", [](std::string* f, const PeLayout&) { (*f)[1] = 'M'; }},
        {"PE signature wrong", [](std::string* f, const PeLayout& l) { (*f)[l.pe + 3] = 1; }},
        {"NE image", [](std::string* f, const PeLayout& l) { (*f)[l.pe] = 'N'; }},
        {"ROM optional header",
         [](std::string* f, const PeLayout& l) { Put(f, l.Magic(), 0x107, 2); }},
        {"no optional-header magic",
         [](std::string* f, const PeLayout& l) { Put(f, l.Magic(), 0, 2); }},
        // The other kind's magic puts the directories 16 bytes away: an empty entry is read.
        {"magic of the other kind",
         [](std::string* f, const PeLayout& l) { Put(f, l.Magic(), l.plus ? 0x10B : 0x20B, 2); }},
        {"four directories",
         [](std::string* f, const PeLayout& l) { Put(f, l.DirectoryCount(), 4, 4); }},
        {"no directories",
         [](std::string* f, const PeLayout& l) { Put(f, l.DirectoryCount(), 0, 4); }},
        {"e_lfanew beyond the file",
         [](std::string* f, const PeLayout&) { Put(f, 0x3C, (uint32_t)f->size() + 0x100, 4); }},
        {"e_lfanew far out", [](std::string* f, const PeLayout&) { Put(f, 0x3C, 0x7FFFFFF0, 4); }},
        {"e_lfanew wraps", [](std::string* f, const PeLayout&) { Put(f, 0x3C, 0xFFFFFFFC, 4); }},
        {"header cut in the security directory",
         [](std::string* f, const PeLayout& l) { f->resize(l.Security() + 4); }},
        {"header cut in the optional header",
         [](std::string* f, const PeLayout& l) { f->resize(l.Optional() + 1); }},
        {"header cut in the DOS header", [](std::string* f, const PeLayout&) { f->resize(0x3E); }},
    };
    for (const PeLayout& layout : kLayouts) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(layout.plus ? "PE32+: " : "PE32: ") + c.what);
            std::string file = Sign(PeImage(layout) + "payload and footer bytes", layout, "pkcs7");
            c.damage(&file, layout);
            EXPECT_EQ(PayloadEnd(file), file.size());
        }
    }
}

TEST(PayloadEnd, FilesThatAreNoPeImageLeaveTheFileSize) {
    // An ELF program whose bytes at the PE places would form a table that ends the file.
    std::string elf = std::string("\x7F"
                                  "ELF\2\1\1",
                                  7) +
                      std::string(0x1F9, '\0');
    std::string table = CertificateTable("pkcs7");
    PeLayout layout{true};
    PointSecurity(&elf, layout, 0x200, (uint32_t)table.size());
    elf.replace(layout.pe, 4, std::string("PE\0\0", 4));
    Put(&elf, layout.Magic(), 0x20B, 2);
    Put(&elf, layout.DirectoryCount(), 16, 4);
    Put(&elf, 0x3C, (uint32_t)layout.pe, 4);
    elf += table;
    EXPECT_EQ(PayloadEnd(elf), elf.size());

    for (const std::string& bytes : {std::string(), std::string("M"), std::string("MZ"),
                                     std::string(5000, '\0'), std::string(5000, '\xFF')})
        EXPECT_EQ(PayloadEnd(bytes), bytes.size()) << bytes.size() << " bytes";
}

TEST(SignedInstaller, OpensAndExtractsAsItsUnsignedForm) {
    for (const PeLayout& layout : kLayouts) {
        SCOPED_TRACE(layout.plus ? "PE32+" : "PE32");
        std::string plain = Installer(layout);
        Reading unsignedReading = Read(plain);
        ASSERT_TRUE(unsignedReading.opened) << unsignedReading.shown;
        EXPECT_NE(unsignedReading.content.find("zz/last.bin=" + Pattern(4099, 11) + "\n"),
                  std::string::npos);

        // Contents whose last 8 bytes would, read as a footer, point anywhere else.
        for (const std::string& content :
             {ContentEndingWith(16, 0), ContentEndingWith(0x40000000, 0), std::string(),
              Pattern(3000, 5)}) {
            std::string signedFile = Sign(plain, layout, content);
            ASSERT_EQ(PayloadEnd(signedFile), plain.size());
            Reading signedReading = Read(signedFile);
            EXPECT_TRUE(signedReading.opened) << signedReading.shown;
            EXPECT_EQ(signedReading.shown, "");
            EXPECT_EQ(signedReading.content, unsignedReading.content);
        }
    }
}

TEST(SignedInstaller, DamagedDirectoryReadsAsAnUnsignedFileWithTheTableAppended) {
    struct Damage {
        const char* what;
        std::function<void(std::string*, const PeLayout&)> apply;
    } damages[] = {
        {"table outside the file",
         [](std::string* f, const PeLayout& l) {
             PointSecurity(f, l, (uint32_t)f->size() + 64, 64);
         }},
        {"size short of the end",
         [](std::string* f, const PeLayout& l) {
             Put(f, l.Security() + 4, Get32(*f, l.Security() + 4) - 8, 4);
         }},
        {"zero size", [](std::string* f, const PeLayout& l) { Put(f, l.Security() + 4, 0, 4); }},
        {"four directories",
         [](std::string* f, const PeLayout& l) { Put(f, l.DirectoryCount(), 4, 4); }},
        {"unknown magic", [](std::string* f, const PeLayout& l) { Put(f, l.Magic(), 0x107, 2); }},
    };
    // What the bytes in front of the file's end make of an unsigned reading.
    struct Tail {
        const char* what;
        std::string content;
        std::string shown;
    } tails[] = {
        // The header would lie inside the table.
        {"header inside the table", ContentEndingWith(16, 0), Box("SFX Header invalid")},
        // Seven bytes of padding: the header would lie 99 bytes in front of the footer.
        {"padding behind the table", std::string(41, 'c'), Box("SFX Header invalid")},
        // The header would lie before the start of the file: the damaged-installer box.
        {"header before the file", ContentEndingWith(0x40000000, 0), Box(kDamagedInstaller)},
    };
    for (const PeLayout& layout : kLayouts) {
        std::string plain = Installer(layout);
        for (const Tail& tail : tails) {
            std::string signedFile = Sign(plain, layout, tail.content);
            // The same bytes with no security directory: never signed, the table appended.
            std::string twin = signedFile;
            PointSecurity(&twin, layout, 0, 0);
            ASSERT_EQ(PayloadEnd(twin), twin.size());
            Reading twinReading = Read(twin);
            EXPECT_FALSE(twinReading.opened);
            for (const Damage& damage : damages) {
                SCOPED_TRACE(std::string(layout.plus ? "PE32+: " : "PE32: ") + damage.what + ", " +
                             tail.what);
                std::string damaged = signedFile;
                damage.apply(&damaged, layout);
                ASSERT_EQ(PayloadEnd(damaged), damaged.size());
                Reading reading = Read(damaged);
                EXPECT_FALSE(reading.opened);
                EXPECT_EQ(reading.shown, tail.shown);
                EXPECT_EQ(reading.shown, twinReading.shown);
            }
        }
    }
}

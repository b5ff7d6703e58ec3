// The installer's identity in a Windows stub's resources: the rebuilt image read back with the
// tool's own reader, the headers that follow the moved sections, and every refused input.
#include "PackTestSupport.h"

#include "Resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace packtest;
using sfxpack::Resource;

namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}
void Set32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        (*b)[at + i] = (uint8_t)(v >> 8 * i);
}
std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <description>Software Installer extractor</description>\n"
    "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>\n"
    "    <longPathAware>true</longPathAware></windowsSettings></application>\n"
    "</assembly>\n";

Resource Make(uint16_t type, uint16_t name, const std::string& data) {
    Resource r;
    r.type.id = type;
    r.name.id = name;
    r.language.id = 1033;
    r.data = Bytes(data);
    return r;
}

// A stub as the launcher's link lays it out: code, read-only data with the load configuration,
// the resources (manifest, icon groups 121 and 401 with their images, one named type), then the
// base relocations. Offsets of the headers as the PE format has them.
const size_t kPe = 0x40, kOptional = kPe + 24;
std::vector<uint8_t> StubImage(bool plus, bool checksum) {
    std::vector<Resource> resources = {Make(24, 1, kManifest), Make(3, 1, "old image 1"),
                                       Make(3, 2, "old image 2"), Make(3, 3, "splash image")};
    std::string group(6, '\0');
    group[2] = 1, group[4] = 1;
    std::string g401 = group + std::string(12, 'b') + std::string("\x03\x00", 2);
    group[4] = 2;
    std::string g121 = group + std::string(12, 'a') + std::string("\x01\x00", 2) +
                       std::string(12, 'a') + std::string("\x02\x00", 2);
    resources.push_back(Make(14, 121, g121));
    resources.push_back(Make(14, 401, g401));
    Resource named = Make(0, 7, "named");
    named.type.named = true;
    named.type.name = u"TEXT";
    resources.push_back(named);
    std::vector<uint8_t> tree = sfxpack::EncodeResourceSection(resources, 0x3000);
    uint32_t treeRaw = (uint32_t)((tree.size() + 0x1FF) & ~0x1FFu);

    std::vector<uint8_t> image(0x600 + treeRaw + 0x200, 0);
    image[0] = 'M', image[1] = 'Z';
    Set32(&image, 0x3C, kPe);
    std::memcpy(&image[kPe], "PE\0\0", 4);
    Set32(&image, kPe + 4, (plus ? 0x8664 : 0x14C) | 4u << 16);
    Set32(&image, kPe + 20, plus ? 240 : 224);
    image[kOptional] = 0x0B, image[kOptional + 1] = plus ? 2 : 1;
    Set32(&image, kOptional + 8, 0x400 + treeRaw + 0x200); // SizeOfInitializedData
    Set32(&image, kOptional + 32, 0x1000);                 // SectionAlignment
    Set32(&image, kOptional + 36, 0x200);                  // FileAlignment
    Set32(&image, kOptional + 56, 0x5000);                 // SizeOfImage
    Set32(&image, kOptional + 60, 0x200);                  // SizeOfHeaders
    Set32(&image, kOptional + (plus ? 108 : 92), 16);
    size_t directories = kOptional + (plus ? 112 : 96);
    Set32(&image, directories + 2 * 8, 0x3000);
    Set32(&image, directories + 2 * 8 + 4, (uint32_t)tree.size());
    Set32(&image, directories + 5 * 8, 0x4000);
    Set32(&image, directories + 5 * 8 + 4, 12);
    Set32(&image, directories + 10 * 8, 0x2010);
    Set32(&image, directories + 10 * 8 + 4, 0x40);
    struct {
        const char* name;
        uint32_t size, rva, raw, offset, flags;
    } sections[] = {{".text", 0x100, 0x1000, 0x200, 0x200, 0x60000020},
                    {".rdata", 0x100, 0x2000, 0x200, 0x400, 0x40000040},
                    {".rsrc", (uint32_t)tree.size(), 0x3000, treeRaw, 0x600, 0x40000040},
                    {".reloc", 12, 0x4000, 0x200, 0x600 + treeRaw, 0x42000040}};
    size_t table = directories + 128;
    for (size_t i = 0; i < 4; i++) {
        std::memcpy(&image[table + 40 * i], sections[i].name, std::strlen(sections[i].name));
        Set32(&image, table + 40 * i + 8, sections[i].size);
        Set32(&image, table + 40 * i + 12, sections[i].rva);
        Set32(&image, table + 40 * i + 16, sections[i].raw);
        Set32(&image, table + 40 * i + 20, sections[i].offset);
        Set32(&image, table + 40 * i + 36, sections[i].flags);
    }
    std::fill(image.begin() + 0x200, image.begin() + 0x300, 0xC3);
    Set32(&image, 0x410, 0x40); // the load configuration begins with its size
    std::copy(tree.begin(), tree.end(), image.begin() + 0x600);
    size_t reloc = 0x600 + treeRaw;
    Set32(&image, reloc, 0x1000);
    Set32(&image, reloc + 4, 12);
    Set32(&image, reloc + 8, 0x3010);
    if (checksum) Set32(&image, kOptional + 64, 1);
    return image;
}

// The PE checksum, written out here on its own.
uint32_t ReferenceChecksum(std::vector<uint8_t> image) {
    Set32(&image, kOptional + 64, 0);
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2)
        sum = (sum + (image[i] | image[i + 1] << 8)) % 0xFFFF;
    return (uint32_t)(sum + image.size());
}

// An icon file with a bitmap image and a PNG image of 256 pixels.
std::string IconFile(uint32_t bmpWidth = 32, uint32_t pngWidth = 256) {
    std::string bmp(40 + 64, 'p');
    bmp.replace(0, 12, std::string("\x28\0\0\0", 4) + std::string(8, '\0'));
    for (int i = 0; i < 4; i++)
        bmp[4 + i] = (char)(bmpWidth >> 8 * i), bmp[8 + i] = (char)((2 * bmpWidth) >> 8 * i);
    std::string png =
        std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string(8, '\0') + "png pixels";
    png[18] = (char)(pngWidth >> 8), png[19] = (char)pngWidth;
    png[22] = (char)(pngWidth >> 8), png[23] = (char)pngWidth;
    std::string ico = std::string("\0\0\1\0\2\0", 6);
    auto entry = [&](uint8_t size, uint16_t bits, const std::string& data, uint32_t offset) {
        std::string e = {(char)size, (char)size, 0, 0, 1, 0, (char)bits, 0};
        PutUint(&e, (uint32_t)data.size());
        PutUint(&e, offset);
        return e;
    };
    ico += entry((uint8_t)bmpWidth, 4, bmp, 38);
    ico += entry(0, 32, png, 38 + (uint32_t)bmp.size());
    return ico + bmp + png;
}

const Resource* Find(const std::vector<Resource>& list, uint16_t type, uint16_t name) {
    for (const Resource& r : list)
        if (!r.type.named && r.type.id == type && !r.name.named && r.name.id == name) return &r;
    return nullptr;
}

struct Written {
    std::vector<uint8_t> image;
    sfxpack::ResourceSection section;
    sfxpack::InstallerIdentity identity;
};

Written Apply(const std::vector<uint8_t>& stub, const sfxpack::IdentityOptions& options,
              const Scratch& s) {
    Written w;
    std::string error;
    EXPECT_TRUE(sfxpack::ApplyIdentity(stub, options, "My Setup.exe", &w.image, &error)) << error;
    EXPECT_TRUE(sfxpack::ReadResourceSection(w.image, &w.section, &error)) << error;
    EXPECT_EQ(w.section.problems, std::vector<std::string>());
    WriteFile(s / "written.exe", std::string(w.image.begin(), w.image.end()));
    EXPECT_TRUE(sfxpack::ReadIdentity(s / "written.exe", &w.identity, &error)) << error;
    return w;
}

} // namespace

TEST(Resources, EveryOptionIsReadBackAndTheImageStaysValid) {
    Scratch s;
    WriteFile(s / "app.ico", IconFile());
    WriteFile(s / "own.manifest", "<assembly><own/></assembly>");
    std::string ico = IconFile();
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        std::vector<uint8_t> stub = StubImage(plus, true);
        sfxpack::IdentityOptions options;
        options.iconFile = s / "app.ico";
        options.versionInfo = {{"ProductName", "Acme Tööls"},
                               {"FileVersion", "1.2.3"},
                               {"ProductVersion", "65535.0.0.7"},
                               {"Zeta", ""}};
        options.executionLevel = "requireAdministrator";
        Written w = Apply(stub, options, s);

        // Icons: both groups show the file's images, byte for byte, by ids of their own; the
        // stub's images are gone, the named type stays.
        std::vector<std::string> images;
        for (const Resource& r : w.section.resources)
            if (r.type.id == 3 && !r.type.named)
                images.push_back(std::string(r.data.begin(), r.data.end()));
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[0], ico.substr(38, 104));
        EXPECT_EQ(images[1], ico.substr(38 + 104));
        const Resource* g121 = Find(w.section.resources, 14, 121);
        const Resource* g401 = Find(w.section.resources, 14, 401);
        ASSERT_TRUE(g121 && g401);
        EXPECT_EQ(g121->data, g401->data);
        std::string expectedGroup = ico.substr(0, 6) + ico.substr(6, 12) + std::string("\1\0", 2) +
                                    ico.substr(22, 12) + std::string("\2\0", 2);
        EXPECT_EQ(std::string(g121->data.begin(), g121->data.end()), expectedGroup);
        EXPECT_TRUE(w.section.resources[0].type.named); // named types first
        ASSERT_EQ(w.identity.icons.size(), 2u);
        EXPECT_EQ(w.identity.icons[1].id, 401);
        EXPECT_EQ(w.identity.icons[0].images[1].width, 256u);
        EXPECT_EQ(w.identity.icons[0].images[0].bitCount, 4u);

        // Version information: the strings in order, OriginalFilename added, the fixed part.
        EXPECT_EQ(w.identity.fileVersion, "1.2.3.0");
        EXPECT_EQ(w.identity.productVersion, "65535.0.0.7");
        using Pairs = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(w.identity.versionStrings, (Pairs{{"ProductName", "Acme Tööls"},
                                                    {"FileVersion", "1.2.3"},
                                                    {"ProductVersion", "65535.0.0.7"},
                                                    {"Zeta", ""},
                                                    {"OriginalFilename", "My Setup.exe"}}));

        // The manifest keeps what it had and gains the level and the supported systems.
        EXPECT_EQ(w.identity.executionLevel, "requireAdministrator");
        const Resource* manifest = Find(w.section.resources, 24, 1);
        std::string text(manifest->data.begin(), manifest->data.end());
        EXPECT_NE(text.find("<longPathAware>true</longPathAware>"), std::string::npos);
        for (const char* id : {"e2011457", "35138b9a", "4a2f28e3", "1f676c76", "8e0f7a12"})
            EXPECT_NE(text.find(std::string("<supportedOS Id=\"{") + id), std::string::npos) << id;
        std::string error;
        EXPECT_TRUE(sfxpack::CheckXml(text, &error)) << error;

        // Headers: the relocations moved with their directory; code, data and the load
        // configuration stayed; the sizes and the checksum follow.
        size_t dirs = kOptional + (plus ? 112 : 96), table = dirs + 128;
        uint32_t rsrcSize = U32(w.image, table + 80 + 8), rsrcRaw = U32(w.image, table + 80 + 16);
        EXPECT_EQ(U32(w.image, dirs + 16), 0x3000u);
        EXPECT_EQ(U32(w.image, dirs + 20), rsrcSize);
        EXPECT_EQ(rsrcRaw % 0x200, 0u);
        uint32_t relocRva = U32(w.image, table + 120 + 12),
                 relocAt = U32(w.image, table + 120 + 20);
        EXPECT_EQ(relocRva, 0x3000 + ((rsrcSize + 0xFFF) & ~0xFFFu));
        EXPECT_EQ(relocAt, 0x600 + rsrcRaw);
        EXPECT_EQ(U32(w.image, dirs + 40), relocRva);
        EXPECT_EQ(U32(w.image, relocAt + 8), 0x3010u);
        EXPECT_EQ(U32(w.image, dirs + 80), 0x2010u);
        EXPECT_TRUE(
            std::equal(stub.begin() + 0x200, stub.begin() + 0x600, w.image.begin() + 0x200));
        EXPECT_EQ(U32(w.image, kOptional + 56), relocRva + 0x1000);
        EXPECT_EQ(U32(w.image, kOptional + 8),
                  U32(stub, kOptional + 8) + rsrcRaw - U32(stub, table + 96));
        EXPECT_EQ(w.image.size(), relocAt + 0x200u);
        EXPECT_EQ(U32(w.image, kOptional + 64), ReferenceChecksum(w.image));

        // The same input gives the same bytes; the author's manifest replaces the stub's.
        EXPECT_EQ(Apply(stub, options, s).image, w.image);
        sfxpack::IdentityOptions own;
        own.manifestFile = s / "own.manifest";
        Written o = Apply(StubImage(plus, false), own, s);
        const Resource* replaced = Find(o.section.resources, 24, 1);
        EXPECT_EQ(std::string(replaced->data.begin(), replaced->data.end()),
                  "<assembly><own/></assembly>");
        EXPECT_EQ(o.identity.executionLevel, "");
        EXPECT_EQ(U32(o.image, kOptional + 64), 0u);         // no checksum before, none after
        EXPECT_EQ(o.identity.icons[0].images[0].width, 97u); // the stub's icons stay
    }
}

TEST(Resources, AnUnsortedTreeIsAProblem) {
    std::vector<uint8_t> stub = StubImage(false, false);
    // The root lists the named type, then 3, 14, 24: swap the ids 3 and 14.
    std::vector<uint8_t> swapped = stub;
    std::swap_ranges(swapped.begin() + 0x600 + 24, swapped.begin() + 0x600 + 32,
                     swapped.begin() + 0x600 + 32);
    sfxpack::ResourceSection section;
    std::string error;
    ASSERT_TRUE(sfxpack::ReadResourceSection(swapped, &section, &error)) << error;
    ASSERT_EQ(section.problems.size(), 1u);
    EXPECT_NE(section.problems[0].find("resources/3: entries out of order"), std::string::npos);
    sfxpack::IdentityOptions options;
    options.executionLevel = "asInvoker";
    std::vector<uint8_t> out;
    EXPECT_FALSE(sfxpack::ApplyIdentity(swapped, options, "x.exe", &out, &error));
    EXPECT_NE(error.find("its resources cannot be read"), std::string::npos) << error;

    Scratch s;
    WriteFile(s / "bad.exe", std::string(swapped.begin(), swapped.end()));
    ToolRun run = RunSfxpack({"verify", s / "bad.exe"});
    EXPECT_NE(run.out.find("error: resources/3: entries out of order"), std::string::npos)
        << run.out;
}

TEST(Resources, XmlAndVersionChecks) {
    struct {
        const char* text;
        const char* fault; // empty: well-formed
    } xml[] = {
        {"<?xml version='1.0'?>\n<a x='1' y=\"&amp;&#x41;\"><!-- c --><b/>t<![CDATA[<]]></a>\n",
         ""},
        {"\xEF\xBB\xBF<a/>", ""},
        {"<a><b></a></b>", "line 1: </a> does not close <b>"},
        {"<a>", "<a> is never closed"},
        {"<a/><b/>", "a second root element"},
        {"text<a/>", "text outside the root element"},
        {"<a x=1/>", "attribute x has no quoted value"},
        {"<a x='1' x='2'/>", "attribute x twice"},
        {"<a>&nbsp;</a>", "an unknown entity"},
        {"<a>\n<!-- a -- b --></a>", "line 2: a comment"},
        {"<!DOCTYPE a><a/>", "DOCTYPE"},
        {"<a>\xC3</a>", "not UTF-8"},
        {"", "no root element"}};
    for (const auto& c : xml) {
        std::string error;
        EXPECT_EQ(sfxpack::CheckXml(c.text, &error), !*c.fault) << c.text;
        EXPECT_NE(error.find(c.fault), std::string::npos) << c.text << ": " << error;
    }
    struct {
        const char* text;
        uint32_t ms, ls;
        bool ok;
    } versions[] = {{"1", 0x10000, 0, true},
                    {"1.2.3.4", 0x10002, 0x30004, true},
                    {"65535.65535", 0xFFFFFFFF, 0, true},
                    {"65536", 0, 0, false},
                    {"1.2.3.4.5", 0, 0, false},
                    {"1..2", 0, 0, false},
                    {"1.2-beta", 0, 0, false},
                    {"", 0, 0, false}};
    for (const auto& v : versions) {
        uint32_t ms = 0, ls = 0;
        std::string error;
        EXPECT_EQ(sfxpack::ParseVersion(v.text, &ms, &ls, &error), v.ok) << v.text;
        if (v.ok) {
            EXPECT_EQ((std::pair<uint32_t, uint32_t>(ms, ls)), std::make_pair(v.ms, v.ls));
        }
    }
}

// Bad input through the tool: exit status 1, one line on standard error, nothing written.
TEST(Resources, TheToolRefusesBadInput) {
    Scratch s;
    std::vector<uint8_t> stub = StubImage(false, false);
    WriteFile(s / "stub.exe", std::string(stub.begin(), stub.end()));
    WriteFile(s / "in/bin/setup.exe", "x");
    WriteFile(s / "good.ico", IconFile());
    WriteFile(s / "text.ico", "not an icon at all");
    WriteFile(s / "empty.ico", std::string("\0\0\1\0\0\0", 6));
    WriteFile(s / "big.ico", IconFile(32, 512));
    WriteFile(s / "cut.ico", IconFile().substr(0, 100));
    WriteFile(s / "bad.manifest", "<assembly><a></assembly>");
    std::vector<uint8_t> noManifest = stub;
    noManifest[0x600 + 16 + 8 * 3] = 25; // the manifest's type becomes another
    WriteFile(s / "nomanifest.exe", std::string(noManifest.begin(), noManifest.end()));
    std::vector<uint8_t> damaged = stub;
    Set32(&damaged, 0x600 + 20, 0x80010000); // the first type's directory lies outside
    WriteFile(s / "damaged.exe", std::string(damaged.begin(), damaged.end()));
    WriteFile(s / "linux-stub", "\x7f"
                                "ELF not a Windows launcher");
    struct {
        std::vector<std::string> options;
        std::string stub, message;
    } cases[] = {
        {{"--icon", s / "text.ico"}, "stub.exe", "text.ico: is not an icon file"},
        {{"--icon", s / "empty.ico"}, "stub.exe", "empty.ico: holds no images"},
        {{"--icon", s / "big.ico"},
         "stub.exe",
         "image 2 is 512x512 pixels; icons hold at most 256x256"},
        {{"--icon", s / "cut.ico"}, "stub.exe", "image 1 lies outside the file"},
        {{"--icon", s / "none.ico"}, "stub.exe", "none.ico: cannot be read"},
        {{"--version-info", "FileVersion=1.2.x"},
         "stub.exe",
         "FileVersion: '1.2.x' is not a version"},
        {{"--version-info", "ProductVersion=70000"}, "stub.exe", "at most 65535"},
        {{"--version-info", "A=1", "--version-info", "A=2"}, "stub.exe", "A: is given twice"},
        {{"--execution-level", "admin"}, "stub.exe", "'admin' is none of asInvoker"},
        {{"--manifest", s / "bad.manifest"},
         "stub.exe",
         "bad.manifest: is not well-formed XML: line 1: </assembly> does not close <a>"},
        {{"--execution-level", "asInvoker"}, "nomanifest.exe", "it has no manifest"},
        {{"--icon", s / "good.ico"},
         "damaged.exe",
         "damaged.exe: stub: its resources cannot be read: resources/\"TEXT\": directory outside"},
        {{"--icon", s / "good.ico"}, "linux-stub", "linux-stub: stub: is not a Windows launcher"},
    };
    size_t files = Tree(s.Path()).size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {"create",        "--stub", s / c.stub,
                                         "--dir",         s / "in", "--autorun",
                                         "bin/setup.exe", "-o",     s / "out.exe"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = RunSfxpack(args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(Tree(s.Path()).size(), files) << "something was written";
    }

    // Accepted: list shows the identity, verify holds, and without options the stub is copied.
    ToolRun made =
        RunSfxpack({"create", "--stub", s / "stub.exe", "--dir", s / "in", "--autorun",
                    "bin/setup.exe", "--icon", s / "good.ico", "--version-info", "CompanyName=Acme",
                    "--execution-level=highestAvailable", "-o", s / "out.exe"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ToolRun listed = RunSfxpack({"list", s / "out.exe"});
    for (const char* line : {"Icon 121: 32x32 4-bit, 256x256 32-bit\n", "Icon 401: 32x32 4-bit",
                             "Version information: file 0.0.0.0, product 0.0.0.0\n",
                             "  CompanyName: Acme\n  OriginalFilename: out.exe\n",
                             "Execution level: highestAvailable\n"})
        EXPECT_NE(listed.out.find(line), std::string::npos) << line << listed.out;
    EXPECT_EQ(RunSfxpack({"verify", s / "out.exe"}).exitCode, 0);
    ASSERT_EQ(RunSfxpack({"create", "--stub", s / "stub.exe", "--dir", s / "in", "--autorun",
                          "bin/setup.exe", "-o", s / "plain.exe"})
                  .exitCode,
              0);
    EXPECT_EQ(ReadFile(s / "plain.exe").substr(0, stub.size()),
              std::string(stub.begin(), stub.end()));
}

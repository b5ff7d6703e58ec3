// The pack tool: the bytes it writes, its listing and check, and what it refuses.
#include "PackTestSupport.h"

#include "Inspect.h"
#include "Json.h"
#include "Names.h"
#include "Pack.h"
#include "File.h"
#include "Formatter.h"
#include "System.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace packtest;
namespace fs = std::filesystem;

namespace {

// A small tree with nested folders, an empty file and an entry above 4096 bytes.
void MakeTree(const std::string& folder) {
    WriteFile(folder + "/bin/setup.exe", "#!setup");
    WriteFile(folder + "/bin/setup.ini", "-vm\n");
    WriteFile(folder + "/lib/sub/big.jar", std::string(5000, 'j'));
    WriteFile(folder + "/empty.txt", "");
    WriteFile(folder + "/a-", "dash");
    fs::create_directories(folder + "/lib/none");
}

sfxpack::PackOptions Options(const Scratch& s) {
    sfxpack::PackOptions options;
    options.stub = s / "stub";
    options.folder = s / "in";
    options.autorun = "bin/setup.exe";
    options.output = s / "out.exe";
    return options;
}

std::string Create(const sfxpack::PackOptions& options) {
    sfxpack::PackSummary summary;
    std::string error;
    EXPECT_TRUE(sfxpack::CreateInstaller(options, &summary, &error)) << error;
    return ReadFile(options.output);
}

// A PE header with a security directory, as a stub that a signing tool would produce.
std::string FakePe(bool pe32plus, uint32_t tableOffset, uint32_t tableSize) {
    std::string image(0x200, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    auto put16 = [&](size_t at, uint32_t v) {
        image[at] = (char)(v & 0xFF);
        image[at + 1] = (char)(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++)
            image[at + i] = (char)(v >> (8 * i));
    };
    const size_t pe = 0x80, optional = pe + 24;
    put32(0x3C, pe);
    image.replace(pe, 4, std::string("PE\0\0", 4));
    put16(pe + 4, pe32plus ? 0x8664 : 0x14C);
    put16(pe + 20, pe32plus ? 240 : 224);
    put16(optional, pe32plus ? 0x20B : 0x10B);
    size_t directories = optional + (pe32plus ? 112 : 96);
    put32(optional + (pe32plus ? 108 : 92), 16);
    put32(directories + 4 * 8, tableOffset);
    put32(directories + 4 * 8 + 4, tableSize);
    return image;
}

// What a signing tool does to an installer: pads it to a multiple of 8, appends the certificate
// table and points the security directory at it.
std::string Sign(std::string installer, bool pe32plus) {
    while (installer.size() % 8)
        installer.push_back('\0');
    std::string table;
    PutUint(&table, 40);
    table += std::string("\x00\x02\x02\x00", 4);
    table += std::string(32, 'c');
    uint32_t offset = (uint32_t)installer.size();
    std::string header = FakePe(pe32plus, offset, (uint32_t)table.size());
    installer.replace(0, header.size(), header);
    return installer + table;
}

// Points the security directory of a PE32 file at offset, with a size that reaches the end.
void PointTable(std::string* file, uint32_t offset) {
    std::string entry;
    PutUint(&entry, offset);
    PutUint(&entry, (uint32_t)file->size() - offset);
    file->replace(0x98 + 96 + 32, 8, entry);
}

} // namespace

TEST(PackFormat, ExampleComesOutByteForByte) {
    Scratch s;
    WriteFile(s / "stub", "MZstub");
    WriteFile(s / "in/abc.txt", "xyz");
    sfxpack::PackOptions options = Options(s);
    options.autorun = "abc.txt";
    std::string bytes = Create(options);

    const size_t h = 6 + 5; // the stub, then padding to a length that is a multiple of 8
    ASSERT_EQ(bytes.size(), h + 85);
    EXPECT_EQ(bytes.substr(0, h), std::string("MZstub\0\0\0\0\0", 11));
    std::string expected("org.vantrel.kit.sfx\x01"      // signature, version
                         "\x01\0\0\0"                   // N
                         "\0\0\0\0\x01\0\0\0\x02\0\0\0" // flags, autorun path id, arguments id
                         "\x03\0\0\0\0\0\0\0"           // entry 0: size 3, name id 0
                         "\0\0\0\0"                     // no required list
                         "\x07\0\0\0abc.txt"            // H + 48: the name
                         "\x07\0\0\0abc.txt"            // H + 59: the autorun path
                         "\0\0\0\0"                     // H + 70: empty arguments
                         "xyz"                          // H + 74: the data
                         "\x4D\0\0\0\x22\x17\x55\xFE",  // H + 77: PackageSize 77, zlib's CRC-32
                         85);
    EXPECT_EQ(bytes.substr(h), expected);
}

TEST(PackFormat, CrcIsZlibsOverThePackage) {
    EXPECT_EQ(ReferenceCrc32("123456789"), 0xCBF43926u);
    Scratch s;
    WriteFile(s / "stub", "stub");
    MakeTree(s / "in");
    std::string bytes = Create(Options(s));
    uint32_t packageSize = GetUint(bytes, bytes.size() - 8);
    size_t h = bytes.size() - 8 - packageSize;
    EXPECT_EQ(GetUint(bytes, bytes.size() - 4), ReferenceCrc32(bytes.substr(h, packageSize)));
}

TEST(PackFormat, PadsTheInstallerToAMultipleOfEight) {
    for (size_t stubSize = 0; stubSize <= 9; stubSize++) {
        SCOPED_TRACE(stubSize);
        Scratch s;
        WriteFile(s / "stub", std::string(stubSize, 's'));
        MakeTree(s / "in");
        std::string bytes = Create(Options(s));
        EXPECT_EQ(bytes.size() % 8, 0u);
        size_t h = bytes.size() - 8 - GetUint(bytes, bytes.size() - 8);
        EXPECT_GE(h, stubSize);
        EXPECT_LT(h - stubSize, 8u);
        EXPECT_EQ(bytes.compare(0, stubSize, std::string(stubSize, 's')), 0);
        EXPECT_EQ(bytes.substr(stubSize, h - stubSize), std::string(h - stubSize, '\0'));
        EXPECT_EQ(bytes.compare(h, 19, "org.vantrel.kit.sfx"), 0);
    }
}

TEST(PackFormat, OrdersEntriesByNameBytesPerFolder) {
    Scratch s;
    for (const char* name : {"b", "B2", "a.txt", "a-", "Z", "a/x", "a/A"})
        WriteFile(s / name, name);
    std::vector<sfxpack::PackEntry> entries;
    std::string error;
    ASSERT_TRUE(sfxpack::ScanFolder(s.Path(), false, &entries, &error)) << error;
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.name);
    // "a\" sorts as "a", ahead of "a-", although '\' is above '-' as a byte.
    EXPECT_EQ(names,
              (std::vector<std::string>{"B2", "Z", "a\\", "a\\A", "a\\x", "a-", "a.txt", "b"}));
}

TEST(PackFormat, FoldersTwiceListsEachFolderAgainAfterItsContents) {
    Scratch s;
    MakeTree(s.Path());
    std::vector<sfxpack::PackEntry> entries;
    std::string error;
    ASSERT_TRUE(sfxpack::ScanFolder(s.Path(), true, &entries, &error)) << error;
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"a-", "bin\\", "bin\\setup.exe", "bin\\setup.ini", "bin\\",
                                        "empty.txt", "lib\\", "lib\\none\\", "lib\\none\\",
                                        "lib\\sub\\", "lib\\sub\\big.jar", "lib\\sub\\", "lib\\"}));
}

TEST(PackFormat, SameInputGivesTheSameBytes) {
    Scratch s;
    WriteFile(s / "stub", "stub");
    MakeTree(s / "in");
    sfxpack::PackOptions options = Options(s);
    options.require = {"bin/*"};
    std::string first = Create(options);
    // The same tree made in another order, at another time.
    fs::remove_all(s / "in");
    fs::create_directories(s / "in/lib/none");
    WriteFile(s / "in/a-", "dash");
    WriteFile(s / "in/empty.txt", "");
    WriteFile(s / "in/lib/sub/big.jar", std::string(5000, 'j'));
    WriteFile(s / "in/bin/setup.ini", "-vm\n");
    WriteFile(s / "in/bin/setup.exe", "#!setup");
    EXPECT_EQ(Create(options), first);
}

TEST(PackFormat, RequireListsTheMatchingEntries) {
    Scratch s;
    WriteFile(s / "stub", "");
    MakeTree(s / "in");
    sfxpack::PackOptions options = Options(s);
    options.require = {"bin/*", "*.jar"};
    std::string bytes = Create(options);
    // Entries: 0 a-, 1 bin\, 2 bin\setup.exe, 3 bin\setup.ini, 4 empty.txt, 5 lib\,
    // 6 lib\none\, 7 lib\sub\, 8 lib\sub\big.jar. The table follows the 9-entry file table.
    size_t h = bytes.size() - 8 - GetUint(bytes, bytes.size() - 8);
    size_t table = h + 36 + 8 * 9;
    // "bin/*" matches the folder entry "bin\" too.
    ASSERT_EQ(GetUint(bytes, table), 4u);
    EXPECT_EQ(GetUint(bytes, table + 4), 1u);
    EXPECT_EQ(GetUint(bytes, table + 8), 2u);
    EXPECT_EQ(GetUint(bytes, table + 12), 3u);
    EXPECT_EQ(GetUint(bytes, table + 16), 8u);
}

TEST(PackFormat, GlobsMatchWholeNames) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*", "bin\\setup.exe", true},
        {"bin/*", "bin\\setup.exe", true},
        {"bin\\*", "bin\\", true},
        {"*.jar", "lib\\sub\\big.jar", true},
        {"*.jar", "lib\\sub\\big.jar2", false},
        {"?.txt", "a.txt", true},
        {"?.txt", "ab.txt", false},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYc!", false},
        {"bin", "bin\\", false},
        {"BIN\\*", "bin\\x", false},
        {"", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sfxpack::GlobMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(PackFormat, WarnsOfTheDeepestPathBelowATypicalExtractionFolder) {
    // 67 characters of folder: names of 192 characters make paths of 259, the longest that every
    // program can open.
    const std::string n192(192, 'n'), n193(193, 'n'), n200(200, 'm');
    struct Case {
        std::vector<std::string> names;
        std::string warning; // a piece of it; empty: none
    } cases[] = {
        {{"bin\\setup.exe", n192}, ""},
        {{n192 + "\\"}, ""}, // a folder's path ends before its separator
        {{"a", n193},
         "entry '" + n193 +
             "' makes a path of 260 characters below a typical extraction folder "
             "(C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\sfx4294967295.tmp\\), over 259: "
             "the launcher copes"},
        {{n192 + "x\\"}, "path of 260 characters"},
        {{n193, "a", n200, n192},
         "'" + n200 + "' makes a path of 267 characters below a typical extraction folder " +
             "(C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\sfx4294967295.tmp\\), " +
             "over 259 (2 entries are): "},
    };
    for (const Case& c : cases) {
        std::string warning = sfxpack::DeepPathWarning(c.names);
        if (c.warning.empty())
            EXPECT_EQ(warning, "") << c.names[0].size();
        else
            EXPECT_NE(warning.find(c.warning), std::string::npos) << warning;
    }
}

TEST(PackFormat, JavaModeStoresTheAutorunAsGiven) {
    Scratch s;
    WriteFile(s / "stub", "");
    MakeTree(s / "in");
    for (uint32_t flags : {1u, 3u}) {
        sfxpack::PackOptions options = Options(s);
        options.flags = flags;
        options.autorun = "-jar lib/none/setup.jar";
        options.args = "-DextractorLoc=$#launcher#";
        std::string bytes = Create(options);
        size_t h = bytes.size() - 8 - GetUint(bytes, bytes.size() - 8);
        EXPECT_EQ(GetUint(bytes, h + 24), flags);
        EXPECT_NE(bytes.find("\x17\0\0\0-jar lib/none/setup.jar", 0), std::string::npos);
    }
}

TEST(PackFormat, KeepsTheStubsPermissions) {
    for (mode_t mode : {0755, 0644}) {
        Scratch s;
        WriteFile(s / "stub", "stub");
        chmod((s / "stub").c_str(), mode);
        MakeTree(s / "in");
        Create(Options(s));
        struct stat st;
        ASSERT_EQ(stat((s / "out.exe").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
    }
}

TEST(PackCommands, CreateListVerifyRoundTrip) {
    Scratch s;
    WriteFile(s / "stub", "MZ");
    MakeTree(s / "in");
    ToolRun run = RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                              "bin\\setup.exe", "--args", "-x $#launcher#", "--require", "bin/*",
                              "--require=a-", "-o", s / "out.exe"});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    run = RunSfxpack({"list", s / "out.exe"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* line :
         {"Signature: none\n", "Version: 1\n", "Entries: 9\n",
          "Autorun: flags 0x00000000 (native program), path 'bin\\setup.exe', "
          "arguments '-x $#launcher#'\n",
          "Required: 0 1 2 3\n", "     0          4 required a-\n",
          "     2          7 required bin\\setup.exe\n", "     4          0 optional empty.txt\n",
          "     6          0 optional lib\\none\\\n",
          "     8       5000 optional lib\\sub\\big.jar\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "in:\n" << run.out;

    run = RunSfxpack({"verify", s / "out.exe"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.rfind("OK: ", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(PackCommands, CreateAndVerifyWarnOfADeepEntryAndStillSucceed) {
    Scratch s;
    WriteFile(s / "stub", "MZ");
    const std::string a(100, 'a'), b(100, 'b');
    WriteFile(s / "in/setup.exe", "#!setup");
    WriteFile(s / ("in/" + a + "/" + b + "/c.txt"), "deep");
    std::string warning = ": warning: entry '" + a + "\\" + b + "\\c.txt' makes a path of 274 " +
                          "characters below a typical extraction folder";
    ToolRun run = RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                              "setup.exe", "-o", s / "out.exe"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.rfind("sfxpack create" + warning, 0), 0u) << run.err;
    EXPECT_NE(run.out.find("4 entries"), std::string::npos) << run.out;
    run = RunSfxpack({"verify", s / "out.exe"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.rfind("OK: ", 0), 0u) << run.out;
    EXPECT_EQ(run.err.rfind("sfxpack verify" + warning, 0), 0u) << run.err;
}

TEST(PackCommands, EachCommandHasHelp) {
    for (const char* command : {"create", "list", "verify"}) {
        ToolRun run = RunSfxpack({command, "--help"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out.rfind(std::string("usage: sfxpack ") + command, 0), 0u) << run.out;
    }
    ToolRun run = RunSfxpack({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("verify"), std::string::npos);
    EXPECT_EQ(RunSfxpack({}).exitCode, 2);
    EXPECT_EQ(RunSfxpack({"pack"}).exitCode, 2);
    EXPECT_EQ(RunSfxpack({"list"}).exitCode, 2);
}

namespace {

struct Refusal {
    const char* what;
    // Prepares s (stub "stub" and folder "in" exist with a valid tree) and returns the arguments
    // after "create"; the output is always s / "out" / "x.exe".
    std::function<std::vector<std::string>(const Scratch& s)> setup;
    std::vector<std::string> message; // pieces the error must hold
    int exitCode = 1;
};

std::vector<std::string> Standard(const Scratch& s, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--stub", s / "stub",  "--dir",
                                     s / "in", "--autorun", "bin/setup.exe"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::function<std::vector<std::string>(const Scratch&)> WithFile(std::string name) {
    return [name](const Scratch& s) {
        WriteFile(s / ("in/lib/" + name), "x");
        return Standard(s);
    };
}

} // namespace

TEST(PackCommands, RefusesWhatTheLauncherCannotUse) {
    std::vector<Refusal> refusals = {
        {"missing stub",
         [](const Scratch& s) {
             std::vector<std::string> args = Standard(s);
             args[1] = s / "nostub";
             return args;
         },
         {"nostub", "No such file"}},
        {"stub is a folder",
         [](const Scratch& s) {
             std::vector<std::string> args = Standard(s);
             args[1] = s / "in";
             return args;
         },
         {"/in: stub: is not a file"}},
        {"missing folder",
         [](const Scratch& s) {
             std::vector<std::string> args = Standard(s);
             args[3] = s / "nodir";
             return args;
         },
         {"nodir: no such folder"}},
        {"empty folder",
         [](const Scratch& s) {
             fs::create_directories(s / "empty");
             std::vector<std::string> args = Standard(s);
             args[3] = s / "empty";
             return args;
         },
         {"empty: holds no files"}},
        {"autorun not in the payload",
         [](const Scratch& s) {
             std::vector<std::string> args = Standard(s);
             args[5] = "bin/nope.exe";
             return args;
         },
         {"--autorun 'bin/nope.exe'", "is not a file in"}},
        {"autorun names a folder",
         [](const Scratch& s) {
             std::vector<std::string> args = Standard(s);
             args[5] = "bin\\";
             return args;
         },
         {"'bin\\'", "is not a file in"}},
        {"control character", WithFile("a\x01z"), {"lib/a\\x01z'", "control character \\x01"}},
        {"delete character", WithFile("a\x7fz"), {"control character \\x7F"}},
        {"byte above 0x7F", WithFile("caf\xc3\xa9"), {"caf\\xC3\\xA9'", "code page"}},
        {"less than", WithFile("a<b"), {"lib/a<b'", "'<', which Windows file functions refuse"}},
        {"greater than", WithFile("a>b"), {"'>'"}},
        {"colon", WithFile("a:b"), {"':'"}},
        {"quote", WithFile("a\"b"), {"'\"'"}},
        {"bar", WithFile("a|b"), {"'|'"}},
        {"question mark", WithFile("a?b"), {"'?'"}},
        {"asterisk", WithFile("a*b"), {"'*'"}},
        {"backslash", WithFile("a\\b"), {"backslash"}},
        {"trailing dot", WithFile("a."), {"ends with a dot"}},
        {"trailing blank", WithFile("a "), {"ends with a blank"}},
        {"device name", WithFile("nul"), {"lib/nul'", "device name"}},
        {"device name with extension", WithFile("Com1.txt"), {"device name"}},
        {"names that differ in case",
         [](const Scratch& s) {
             WriteFile(s / "in/lib/Readme", "1");
             WriteFile(s / "in/lib/README", "2");
             return Standard(s);
         },
         {"lib/Readme'", "same file on Windows as 'README'"}},
        {"folder link",
         [](const Scratch& s) {
             fs::create_directory_symlink(s / "in/bin", s / "in/lib/loop");
             return Standard(s);
         },
         {"lib/loop'", "symbolic link to a folder"}},
        {"fifo",
         [](const Scratch& s) {
             mkfifo((s / "in/lib/pipe").c_str(), 0644);
             return Standard(s);
         },
         {"lib/pipe'", "neither a file nor a folder"}},
        {"require matching nothing",
         [](const Scratch& s) {
             return Standard(s, {"--require", "*.dll"});
         },
         {"--require '*.dll'", "matches no entry"}},
        {"autorun not required",
         [](const Scratch& s) {
             return Standard(s, {"--require", "lib/*"});
         },
         {"'bin/setup.exe'", "not matched by any --require"}},
        {"arguments with a line end",
         [](const Scratch& s) {
             return Standard(s, {"--args", "a\nb"});
         },
         {"--args 'a\\x0Ab'", "control character"}},
        {"signed stub",
         [](const Scratch& s) {
             WriteFile(s / "stub", Sign(FakePe(false, 0, 0), false));
             return Standard(s);
         },
         {"stub: is code-signed"}},
        {"stub with a payload",
         [](const Scratch& s) {
             TestPayload payload;
             payload.stub = "MZ";
             payload.entries = {{"a", "1"}};
             WriteFile(s / "stub", payload.Bytes());
             return Standard(s);
         },
         {"stub: already carries a payload"}},
        {"2 GiB or more",
         [](const Scratch& s) {
             // Sparse: refused from the sizes alone, before anything is read.
             std::string big = s / "in/lib/big.bin";
             WriteFile(big, "");
             EXPECT_EQ(truncate(big.c_str(), 0x7FFFFF00), 0);
             return Standard(s);
         },
         {"x.exe: the installer would be ", "below 2 GiB"}},
        {"output folder missing",
         [](const Scratch& s) {
             fs::remove_all(s / "out");
             return Standard(s);
         },
         {"cannot create a file in", "/out'"}},
        {"java and javax",
         [](const Scratch& s) {
             return Standard(s, {"--java", "--javax"});
         },
         {"exclude each other"},
         2},
        {"no output",
         [](const Scratch& s) {
             std::vector<std::string> args = Standard(s);
             return args;
         },
         {"are required"},
         2},
        {"unknown option",
         [](const Scratch& s) { return Standard(s, {"--fast"}); },
         {"unknown argument '--fast'"},
         2},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        Scratch s;
        WriteFile(s / "stub", "stub");
        MakeTree(s / "in");
        fs::create_directories(s / "out");
        WriteFile(s / "out/previous", "kept");
        std::vector<std::string> args = refusal.setup(s);
        args.insert(args.begin(), "create");
        if (refusal.what != std::string("no output")) {
            args.push_back("-o");
            args.push_back(s / "out/x.exe");
        }
        ToolRun run = RunSfxpack(args);
        EXPECT_EQ(run.exitCode, refusal.exitCode) << run.err;
        for (const std::string& piece : refusal.message)
            EXPECT_NE(run.err.find(piece), std::string::npos) << piece << " in: " << run.err;
        // Nothing is written: no installer, no temporary file.
        if (Exists(s / "out")) {
            EXPECT_EQ(Tree(s / "out"), std::vector<std::string>{"previous"});
        }
    }
}

TEST(PackCommands, AFailedRunLeavesAnEarlierInstallerAlone) {
    Scratch s;
    WriteFile(s / "stub", "stub");
    MakeTree(s / "in");
    WriteFile(s / "out.exe", "earlier installer");
    ToolRun run = RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                              "bin/absent.exe", "-o", s / "out.exe"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadFile(s / "out.exe"), "earlier installer");
}

namespace {

// The launcher's own search for the payload's end, on a file holding bytes.
UINT PayloadEnd(const std::string& bytes) {
    Scratch s;
    WriteFile(s / "file", bytes);
    File* file = File::Open((s / "file").c_str());
    EXPECT_NE(file, nullptr);
    if (!file) return 0;
    UINT end = FindPayloadEnd(file, file->GetSize());
    file->Close(file);
    System::SafeFreeMemory(file);
    return end;
}

} // namespace

TEST(Signature, FindsATableThatEndsTheFile) {
    for (bool pe32plus : {false, true}) {
        SCOPED_TRACE(pe32plus);
        EXPECT_EQ(PayloadEnd(Sign(std::string(FakePe(pe32plus, 0, 0)) + "payload", pe32plus)),
                  0x208u);
    }
}

TEST(Signature, IgnoresAnythingElse) {
    struct Case {
        const char* what;
        std::function<void(std::string*)> damage;
    } cases[] = {
        {"not MZ", [](std::string* f) { (*f)[0] = 'X'; }},
        {"no PE signature", [](std::string* f) { (*f)[0x81] = 'X'; }},
        {"PE offset far out", [](std::string* f) { (*f)[0x3F] = '\x7F'; }},
        {"PE offset wraps", [](std::string* f) { f->replace(0x3C, 4, "\xFC\xFF\xFF\xFF"); }},
        {"other optional header", [](std::string* f) { (*f)[0x98] = 0x07; }},
        {"four directories only", [](std::string* f) { (*f)[0x98 + 92] = 4; }},
        {"table before the end", [](std::string* f) { f->push_back('x'); }},
        {"table beyond the end", [](std::string* f) { f->pop_back(); }},
        {"empty table", [](std::string* f) { PointTable(f, (uint32_t)f->size()); }},
        {"file cut inside the PE header", [](std::string* f) { f->resize(0x90); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = Sign(std::string(FakePe(false, 0, 0)) + "payload", false);
        c.damage(&file);
        EXPECT_EQ(PayloadEnd(file), file.size());
    }
}

TEST(PackCommands, ListAndVerifyReadASignedInstaller) {
    Scratch s;
    WriteFile(s / "stub", FakePe(true, 0, 0));
    MakeTree(s / "in");
    ASSERT_EQ(RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                          "bin/setup.exe", "-o", s / "plain.exe"})
                  .exitCode,
              0);
    std::string plain = ReadFile(s / "plain.exe");
    WriteFile(s / "signed.exe", Sign(plain, true));

    ToolRun run = RunSfxpack({"list", s / "signed.exe"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Signature: present, certificate table of 40 bytes at offset " +
                           std::to_string(plain.size())),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("     8       5000 required lib\\sub\\big.jar\n"), std::string::npos)
        << run.out;
    run = RunSfxpack({"verify", s / "signed.exe"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("signature: present"), std::string::npos) << run.out;

    // Without its table the same file is no longer seen as signed, and its footer is gone.
    std::string unsignedBytes = ReadFile(s / "signed.exe");
    unsignedBytes.back() ^= 1;
    unsignedBytes.push_back('x');
    WriteFile(s / "broken.exe", unsignedBytes);
    EXPECT_EQ(RunSfxpack({"verify", s / "broken.exe"}).exitCode, 1);
}

namespace {

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TEST(PackCommands, ASigningToolAddsNoPaddingAndTheSignedInstallerStillOpens) {
    if (!OnPath("osslsigncode") || !OnPath("openssl"))
        GTEST_SKIP() << "osslsigncode and openssl are needed to sign a test installer";
    Scratch s;
    WriteFile(s / "stub", FakePe(true, 0, 0));
    MakeTree(s / "in");
    ASSERT_EQ(RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                          "bin/setup.exe", "-o", s / "plain.exe"})
                  .exitCode,
              0);
    std::string sign = "cd " + s.Path() +
                       " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out "
                       "cert.pem -days 2 -subj /CN=Test >/dev/null 2>&1 && osslsigncode sign "
                       "-certs cert.pem -key key.pem -in plain.exe -out signed.exe >/dev/null";
    ASSERT_EQ(std::system(sign.c_str()), 0);
    std::string plain = ReadFile(s / "plain.exe"), signedBytes = ReadFile(s / "signed.exe");
    ASSERT_GT(signedBytes.size(), plain.size());
    // The installer's bytes stay in front: the table begins right behind them.
    EXPECT_EQ(PayloadEnd(signedBytes), plain.size());
    EXPECT_EQ(RunSfxpack({"verify", s / "signed.exe"}).exitCode, 0);
    OpenedPayload opened;
    Shown shown;
    ASSERT_TRUE(OpenCaptured(s / "signed.exe", false, false, &opened, &shown)) << shown.err;
    EXPECT_EQ(opened.header->numberOfFiles, 9u);
    Release(&opened);
}

TEST(PackCommands, VerifyNamesWhatIsWrong) {
    struct Case {
        const char* what;
        std::function<void(TestPayload*)> damage;
        std::function<void(std::string*)> cut;
        const char* message;
    } cases[] = {
        {"CRC", {}, [](std::string* b) { (*b)[b->size() - 9] ^= 1; }, "computed"},
        {"footer missing", {}, [](std::string* b) { b->resize(b->size() - 1); }, "error: "},
        {"stray bytes",
         [](TestPayload* p) {
             p->entries[1].data += "??";
             p->entries[1].size = 3;
         },
         {},
         "2 stray bytes between the last entry's data and the footer"},
        {"data past the footer",
         [](TestPayload* p) { p->entries[1].size = 100; },
         {},
         "the data of entry 1 'bin\\run.exe' runs past the footer"},
        {"required id",
         [](TestPayload* p) {
             p->required = {1, 7};
         },
         {},
         "required id 7 names no entry"},
        {"autorun id",
         [](TestPayload* p) { p->executableId = 4; },
         {},
         "the autorun path id 4 names no string"},
        {"arguments id",
         [](TestPayload* p) { p->argsId = 99; },
         {},
         "the autorun arguments id 99 names no string"},
        {"escaping name",
         [](TestPayload* p) { p->entries[0].name = "..\\"; },
         {},
         "entry 0 '..\\' cannot be extracted"},
        {"absolute name",
         [](TestPayload* p) { p->entries[1].name = "/bin/run.exe"; },
         {},
         "it is absolute"},
        {"autorun missing",
         [](TestPayload* p) { p->autorun = "bin\\other.exe"; },
         {},
         "the autorun path 'bin\\other.exe' is not a file entry"},
        {"autorun not required",
         [](TestPayload* p) { p->required = {0}; },
         {},
         "the autorun path 'bin\\run.exe' is not required"},
        {"version", [](TestPayload* p) { p->version = 2; }, {}, "header version 2"},
        {"no entries",
         [](TestPayload* p) {
             p->entries.clear();
             p->autorun = "";
         },
         {},
         "the file table is empty"},
        {"count too large",
         [](TestPayload* p) { p->count = 1000; },
         {},
         "the file table of 1000 entries runs past the footer"},
        {"package size too large",
         [](TestPayload* p) { p->packageSize = 5000; },
         {},
         "PackageSize 5000 reaches before the start of the file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPayload payload;
        payload.stub = "MZ";
        payload.entries = {{"bin\\", ""}, {"bin\\run.exe", "run"}};
        payload.autorun = "bin\\run.exe";
        if (c.damage) c.damage(&payload);
        std::string body = payload.Body();
        payload.crc = ReferenceCrc32(body);
        std::string bytes = payload.Bytes();
        if (c.cut) c.cut(&bytes);
        Scratch s;
        WriteFile(s / "x.exe", bytes);
        ToolRun run = RunSfxpack({"verify", s / "x.exe"});
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("FAILED: "), std::string::npos) << run.out;
    }
}

TEST(PackCommands, ListReportsAPayloadTheLauncherRefuses) {
    Scratch s;
    TestPayload payload;
    payload.entries = {{"a", "1"}};
    payload.version = 2;
    WriteFile(s / "x.exe", payload.Bytes());
    ToolRun run = RunSfxpack({"list", s / "x.exe"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Extracting error: SFX Header invalid\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("the launcher cannot open its payload"), std::string::npos) << run.err;
}

TEST(PackCommands, TheOutputIsNotPackedIntoItself) {
    Scratch s;
    WriteFile(s / "stub", "MZ");
    MakeTree(s / "in");
    std::vector<std::string> args = {"create", "--stub",    s / "stub",      "--dir",
                                     s / "in", "--autorun", "bin/setup.exe", "-o"};
    ASSERT_EQ(RunSfxpack({args.begin(), args.end()}).exitCode, 2);
    std::vector<std::string> outside = args, inside = args;
    outside.push_back(s / "outside.exe");
    inside.push_back(s / "in/setup.exe");
    ASSERT_EQ(RunSfxpack(outside).exitCode, 0);
    // The second run inside finds the first one's installer in the folder it packs.
    for (int run = 0; run < 2; run++) {
        ToolRun done = RunSfxpack(inside);
        ASSERT_EQ(done.exitCode, 0) << done.err;
    }
    EXPECT_EQ(ReadFile(s / "in/setup.exe"), ReadFile(s / "outside.exe"));
    EXPECT_EQ(Tree(s / "in").size(), 10u) << "a temporary file is left";
}

TEST(PackCommands, PlatformPicksTheStubBesideTheTool) {
    Scratch s;
    MakeTree(s / "in");
    std::string tools = fs::path(SFXPACK_PATH).parent_path().string();
    ToolRun run = RunSfxpack({"create", "--platform", "linux", "--dir", s / "in", "--autorun",
                              "bin/setup.exe", "-o", s / "setup.run"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string stub = ReadFile(tools + "/stubs/launcher-linux");
    EXPECT_EQ(ReadFile(s / "setup.run").substr(0, stub.size()), stub);
    // This build has no Windows launcher beside its tool; --stub still wins over the default.
    run =
        RunSfxpack({"create", "--dir", s / "in", "--autorun", "bin/setup.exe", "-o", s / "x.exe"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(
        run.err.find("no windows launcher: " + tools + "/stubs/launcher-windows.exe is missing"),
        std::string::npos)
        << run.err;
    WriteFile(s / "stub", "MZ");
    EXPECT_EQ(RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                          "bin/setup.exe", "-o", s / "x.exe"})
                  .exitCode,
              0);
    EXPECT_EQ(RunSfxpack({"create", "--platform", "macos", "--dir", s / "in", "--autorun",
                          "bin/setup.exe", "-o", s / "x.exe"})
                  .exitCode,
              2);
    run = RunSfxpack({"--version"});
    EXPECT_EQ(run.out, "sfxpack " SFXPACK_VERSION "\n");
}

TEST(PackCommands, ExtractWritesTheStoredTree) {
    Scratch s;
    WriteFile(s / "stub", FakePe(false, 0, 0));
    MakeTree(s / "in");
    WriteFile(s / "in/lib/a.zip", "PK");
    ASSERT_EQ(RunSfxpack({"create", "--stub", s / "stub", "--dir", s / "in", "--autorun",
                          "bin/setup.exe", "--require", "bin/*", "-o", s / "setup.exe"})
                  .exitCode,
              0);
    WriteFile(s / "signed.exe", Sign(ReadFile(s / "setup.exe"), false));
    fs::create_directories(s / "work");

    // Every entry, the optional and .zip ones too, into the default folder named after it.
    ToolRun run = RunSfxpack({"extract", s / "signed.exe"}, s / "work");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Tree(s / "work/signed"), Tree(s / "in"));
    for (const std::string& name : Tree(s / "in"))
        if (name.back() != '/') {
            EXPECT_EQ(ReadFile(s / "work/signed/" + name), ReadFile(s / "in/" + name)) << name;
        }
    EXPECT_NE(run.out.find("10 entries written below signed\n"), std::string::npos) << run.out;

    // Entries chosen by the ends of their names, into a folder given with -C.
    run = RunSfxpack(
        {"extract", s / "setup.exe", "-C", s / "some/where", "big.jar", "bin/setup.ini"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Tree(s / "some/where"), (std::vector<std::string>{"bin/", "bin/setup.ini", "lib/",
                                                                "lib/sub/", "lib/sub/big.jar"}));
    EXPECT_EQ(sfxpack::DefaultExtractFolder("C:\\x y\\setup"), "setup-files");
}

TEST(PackCommands, ExtractRefusesDamageAndNamesThatLeaveTheFolder) {
    struct Case {
        const char* what;
        std::function<void(TestPayload*)> damage;
        std::vector<std::string> extra; // after the installer
        std::string message;
    };
    std::vector<Case> cases = {
        {"parent folder",
         [](TestPayload* p) {
             p->entries.push_back({"..\\evil.txt", "x"});
         },
         {},
         "'..\\evil.txt' is refused"},
        {"dots Windows trims to a parent",
         [](TestPayload* p) {
             p->entries.push_back({"a\\.. \\evil.txt", "x"});
         },
         {},
         "is refused"},
        {"absolute",
         [](TestPayload* p) {
             p->entries.push_back({"\\tmp\\evil.txt", "x"});
         },
         {},
         "is refused"},
        {"drive",
         [](TestPayload* p) {
             p->entries.push_back({"C:evil.txt", "x"});
         },
         {},
         "is refused"},
        {"device",
         [](TestPayload* p) {
             p->entries.push_back({"sub\\nul.txt", "x"});
         },
         {},
         "'sub\\nul.txt' is refused"},
        {"CRC mismatch", [](TestPayload* p) { p->crc = 0x12345678; }, {}, "damaged: CRC32"},
        {"data past the payload",
         [](TestPayload* p) { p->entries[0].size = 1000; },
         {},
         "damaged: the entries' data runs"},
        {"unreadable table",
         [](TestPayload* p) { p->count = 100000; },
         {},
         "the launcher cannot open its payload"},
        {"unmatched name", [](TestPayload*) {}, {"absent.txt"}, "no entry name ends with"},
        {"default folder exists", [](TestPayload*) {}, {"-C"}, "exists already"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch s;
        TestPayload payload;
        payload.stub = "MZ";
        payload.entries = {{"good.txt", "good"}, {"sub\\", ""}};
        payload.autorun = "good.txt";
        c.damage(&payload);
        if (c.message == "damaged: CRC32") {
            EXPECT_NE(ReferenceCrc32(payload.Body()), payload.crc);
        }
        WriteFile(s / "setup.exe", payload.Bytes());
        std::vector<std::string> args = {"extract", s / "setup.exe", "-C", s / "out/x"};
        if (c.extra == std::vector<std::string>{"-C"}) {
            fs::create_directories(s / "setup");
            args.resize(2);
        } else {
            args.insert(args.end(), c.extra.begin(), c.extra.end());
        }
        ToolRun run = RunSfxpack(args, s.Path());
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        // Nothing is written, inside the folder or beside it.
        EXPECT_EQ(Tree(s.Path()), c.extra == std::vector<std::string>{"-C"}
                                      ? (std::vector<std::string>{"setup.exe", "setup/"})
                                      : std::vector<std::string>{"setup.exe"});
    }
}

// The text rule of the JSON listing (the names that create stores are ASCII, so the other
// bytes only come from other tools) and the identity member, which the listing gets from the
// resource reader of Windows stubs.
TEST(ListJson, TextsAreAsciiWithStoredBytesAsLatin1AndTheIdentityIsAnObject) {
    EXPECT_EQ(sfxpack::JsonText(std::string("a\\\"\x00\n\x1f\x7f\x80\xe9\xff", 10)),
              "\"a\\\\\\\"\\u0000\\u000a\\u001f\\u007f\\u0080\\u00e9\\u00ff\"");
    EXPECT_EQ(sfxpack::JsonText(std::u16string(u"Caf\u00e9 \u2122")), "\"Caf\\u00e9 \\u2122\"");

    std::ostringstream none, out;
    sfxpack::WriteIdentityJson(none, nullptr, "  ");
    EXPECT_EQ(none.str(), "null");
    sfxpack::InstallerIdentity identity;
    identity.windowsImage = true;
    identity.icons = {{121, {{16, 16, 32, 1128}, {256, 256, 32, 40000}}}};
    identity.fileVersion = "1.2.0.0";
    identity.versionStrings = {{"ProductName", "Caf\xc3\xa9"}};
    sfxpack::WriteIdentityJson(out, &identity, "  ");
    EXPECT_EQ(out.str(), "{\n    \"icons\": [{\"width\": 16, \"height\": 16, \"bitCount\": 32, "
                         "\"bytes\": 1128}, {\"width\": 256, \"height\": 256, \"bitCount\": 32, "
                         "\"bytes\": 40000}],\n    \"version\": {\"fileVersion\": \"1.2.0.0\", "
                         "\"productVersion\": null, \"strings\": {\"ProductName\": "
                         "\"Caf\\u00e9\"}},\n    \"executionLevel\": null\n  }");
}

TEST(PackCommands, ALinuxLauncherBringsLinuxNamingRules) {
    Scratch s;
    WriteFile(s / "linux", std::string(sfxpack::kElfMagic, 4) + " launcher");
    WriteFile(s / "windows", "MZ launcher");
    auto create = [&](const std::string& stub, const std::string& autorun) {
        return RunSfxpack({"create", "--stub", s / stub, "--dir", s / "in", "--autorun", autorun,
                           "-o", s / "x.run"});
    };
    // Names that Linux keeps and Windows does not: stored, and verified, for Linux only.
    MakeTree(s / "in");
    for (const char* name : {"a:b", "caf\xc3\xa9", "v1.", "x ", "Readme", "README"})
        WriteFile(s / ("in/lib/" + std::string(name)), name);
    // Of the files with an execute bit, those that begin as programs arrive executable.
    for (std::string name : {"bin/tool", "bin/run.sh"}) {
        WriteFile(s / ("in/" + name), name == "bin/tool" ? "no magic" : "#!/bin/sh");
        chmod((s / ("in/" + name)).c_str(), 0755);
    }
    ToolRun linux = create("linux", "bin/setup.exe");
    EXPECT_EQ(linux.exitCode, 0) << linux.err;
    EXPECT_EQ(linux.err, "sfxpack create: warning: entry 'bin\\tool' has an execute bit but "
                         "begins with neither '#!' nor the ELF magic: the launcher extracts it "
                         "without one\n");
    EXPECT_EQ(RunSfxpack({"verify", s / "x.run"}).exitCode, 0);
    EXPECT_EQ(create("windows", "bin/setup.exe").exitCode, 1);

    // Refused for Linux too, saying what to do.
    struct Row {
        std::function<void()> setup;
        std::string autorun, message;
    } rows[] = {
        {[] {}, "./bin//setup.exe",
         "'./bin//setup.exe': cannot be stored: it holds a '.' "
         "component; write 'bin/setup.exe'"},
        {[&] { fs::create_symlink(s / "in/bin/run.sh", s / "in/lib/link"); }, "bin/setup.exe",
         "lib/link': is a symbolic link, which an installer cannot store: copy its target in its "
         "place, or have the started program create the link"},
        {[&] { WriteFile(s / "in/lib/...", "dots"); }, "bin/setup.exe", "reads as '..'"},
        {[&] { WriteFile(s / "in/lib/a\\b", "x"); }, "bin/setup.exe", "backslash"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        fs::remove_all(s / "in/lib");
        fs::create_directories(s / "in/lib");
        row.setup();
        ToolRun refused = create("linux", row.autorun);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.err.find(row.message), std::string::npos) << refused.err;
    }
}

// The launcher's payload reader (OpenPayload, GetStringById, ExtractFile) on payloads written
// field by field, with the error box and the debug trace that each outcome shows.
#include "PackTestSupport.h"

#include "System.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

using namespace packtest;
namespace fs = std::filesystem;

namespace {

// The trace of the opening sequence up to the step that fails; steps[i] starts step i.
const char* const kSteps[] = {"SFX Header record parsing...",
                              "OK\nExecution Info parsing...",
                              "OK\nFile Information Table parsing...",
                              "OK\nRequired Files Table parsing...",
                              "OK\nAllocating memory for Strings Table...",
                              "OK\nParsing Strings Table..."};
enum Step { kHeaderCheck, kExecutionInfo, kFileTable, kRequiredTable, kStringsAlloc, kStrings };

std::string TraceUpTo(int step) {
    std::string trace;
    for (int i = 0; i <= step; i++)
        trace += kSteps[i];
    return trace;
}

std::string FooterTrace(uint32_t packageSize, uint32_t crc) {
    return "SFX Footer record parsed:PackageSize=" + std::to_string(packageSize) +
           " CRC=" + std::to_string(crc) + "\n";
}

TestPayload Sample() {
    TestPayload p;
    p.stub = "MZ launcher image";
    p.entries = {{"bin\\", ""}, {"bin\\setup.exe", "program"}, {"readme.txt", "hello"}};
    p.autorun = "bin\\setup.exe";
    p.args = "-x";
    p.required = {1, 2};
    p.crc = 1234;
    return p;
}

// The payload's body cut to its first length bytes, closed by a footer that covers them.
std::string Refooted(const TestPayload& p, size_t length) {
    std::string bytes = p.stub + p.Body().substr(0, length);
    PutUint(&bytes, (uint32_t)length);
    PutUint(&bytes, 0);
    return bytes;
}

std::string Take(char* text) {
    std::string copy = text ? text : "<null>";
    System::SafeFreeMemory(text);
    return copy;
}

class Reader : public ::testing::Test {
  protected:
    std::string Put(const std::string& bytes) {
        std::string path = scratch_ / "installer.exe";
        WriteFile(path, bytes);
        return path;
    }
    Scratch scratch_;
};

} // namespace

TEST_F(Reader, OpensAPayloadAndTracesEachStep) {
    TestPayload p = Sample();
    std::string bytes = p.Bytes();
    std::string path = Put(bytes);
    OpenedPayload opened;
    Shown shown;
    ASSERT_TRUE(OpenCaptured(path, true, true, &opened, &shown)) << shown.err;
    std::string trace = FooterTrace((uint32_t)p.Body().size(), 1234) + kOpenTrace;
    EXPECT_EQ(shown.err, trace);
    EXPECT_EQ(shown.log, trace);

    const UINT h = (UINT)p.stub.size(), n = 3;
    EXPECT_EQ(opened.header->Version, 1);
    EXPECT_EQ(opened.header->numberOfFiles, n);
    EXPECT_EQ(opened.executionInfo->Flags, 0u);
    EXPECT_EQ(opened.executionInfo->ExecutableStringId, n);
    EXPECT_EQ(opened.executionInfo->ArgsStringId, n + 1);
    ASSERT_EQ(opened.requiredIdsCount, 2u);
    EXPECT_EQ(opened.requiredIdsTable[0], 1u);
    EXPECT_EQ(opened.requiredIdsTable[1], 2u);
    EXPECT_EQ(fileInfoTable[1].Size, 7u);
    EXPECT_EQ(opened.stringTableOffset, h + 40 + 8 * n + 4 * 2);
    ASSERT_EQ(opened.stringTableEntriesCount, n + 2);
    UINT offset = opened.stringTableOffset;
    const char* strings[] = {"bin\\", "bin\\setup.exe", "readme.txt", "bin\\setup.exe", "-x"};
    for (UINT id = 0; id < n + 2; id++) {
        EXPECT_EQ(opened.stringTableOffsetsTable[id], offset);
        EXPECT_EQ(Take(GetStringById(id, opened.stringTableOffsetsTable, opened.self)),
                  strings[id]);
        offset += 4 + (UINT)strlen(strings[id]);
    }
    EXPECT_EQ(filesDataStartOffset, offset);
    Release(&opened);

    // Outside debug mode a successful opening shows nothing; without traceFooter no footer line.
    ASSERT_TRUE(OpenCaptured(path, true, false, &opened, &shown));
    EXPECT_EQ(shown.err, "");
    Release(&opened);
    ASSERT_TRUE(OpenCaptured(path, false, true, &opened, &shown));
    EXPECT_EQ(shown.err, kOpenTrace);
    Release(&opened);
}

TEST_F(Reader, AcceptsVersionsZeroAndOneOnly) {
    for (int version : {0, 1, 2, 255}) {
        SCOPED_TRACE(version);
        TestPayload p = Sample();
        p.version = (uint8_t)version;
        OpenedPayload opened;
        Shown shown;
        bool ok = OpenCaptured(Put(p.Bytes()), false, true, &opened, &shown);
        EXPECT_EQ(ok, version <= 1);
        if (ok) {
            EXPECT_EQ(opened.header->Version, version);
            Release(&opened);
        } else {
            EXPECT_EQ(shown.err, std::string("SFX Header record parsing...") +
                                     Box("SFX Header invalid") + "FAILED! Header is invalid.\n");
            EXPECT_EQ(shown.log, "SFX Header record parsing...FAILED! Header is invalid.\n");
        }
    }
}

TEST_F(Reader, RejectsASignatureWithAnyByteAltered) {
    for (size_t i = 0; i < 19; i++) {
        SCOPED_TRACE(i);
        TestPayload p = Sample();
        p.signature[i] ^= 0x20;
        OpenedPayload opened;
        Shown shown;
        EXPECT_FALSE(OpenCaptured(Put(p.Bytes()), false, false, &opened, &shown));
        EXPECT_EQ(shown.err, Box("SFX Header invalid"));
    }
}

TEST_F(Reader, FindsThePayloadWhateverPrecedesIt) {
    for (const std::string& stub : {std::string(), std::string("x"), std::string(5000, 'z')}) {
        TestPayload p = Sample();
        p.stub = stub;
        OpenedPayload opened;
        Shown shown;
        ASSERT_TRUE(OpenCaptured(Put(p.Bytes()), false, false, &opened, &shown)) << shown.err;
        EXPECT_EQ(opened.stringTableOffset, stub.size() + 40 + 8 * 3 + 4 * 2);
        Release(&opened);
    }
}

TEST_F(Reader, PackageSizeAtTheEdges) {
    TestPayload p = Sample();
    p.stub = "";
    const uint32_t size = (uint32_t)p.Bytes().size();
    struct Case {
        uint32_t packageSize;
        const char* outcome; // "open", "seek" (no box, a trace) or the box text
    } cases[] = {
        {size - 8, "open"}, // H = 0
        {size - 7, "seek"},
        {size, "seek"},
        {0x10000, "seek"},
        {0x7FFFFFF8, "seek"},
        // From here the distance wraps: the header is looked for at or beyond the end of the
        // file or inside the footer, where no signature is.
        {0x7FFFFFF9, "SFX Header invalid"},
        {0x80000000, "SFX Header invalid"},
        {0xFFFFFFF0, "SFX Header invalid"},
        {0xFFFFFFF8, "SFX Header invalid"},
        {0xFFFFFFF9, "SFX Header invalid"},
        {0xFFFFFFFF, "SFX Header invalid"},
        // A header that overlaps the footer: what is not there reads as zeros, and footer
        // bytes are no signature, so it is invalid.
        {0, "SFX Header invalid"},
        {10, "SFX Header invalid"},
        {11, "SFX Header invalid"},
        {15, "SFX Header invalid"},
        {16, "SFX Header invalid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packageSize);
        p.packageSize = c.packageSize;
        std::string path = Put(p.Bytes());
        OpenedPayload opened;
        Shown shown;
        bool ok = OpenCaptured(path, true, true, &opened, &shown);
        std::string footer = FooterTrace(c.packageSize, p.crc);
        std::string outcome = c.outcome;
        EXPECT_EQ(ok, outcome == "open");
        if (outcome == "open") {
            EXPECT_EQ(shown.err, footer + kOpenTrace);
            Release(&opened);
        } else if (outcome == "seek") {
            EXPECT_EQ(shown.err, footer + Box(kDamagedInstaller) +
                                     "ERROR: Failed to navigate to Header Record!");
            ASSERT_FALSE(OpenCaptured(path, true, false, &opened, &shown));
            EXPECT_EQ(shown.err, Box(kDamagedInstaller));
        } else if (outcome == "Failed to parse SFX Header") {
            EXPECT_EQ(shown.err, footer + Box(outcome) + "Failed to parse SFX Header\n");
        } else {
            EXPECT_EQ(shown.err, footer + "SFX Header record parsing..." + Box(outcome) +
                                     "FAILED! Header is invalid.\n");
        }
    }
}

TEST_F(Reader, EachFailingStepShowsItsBoxAndTrace) {
    const size_t tableEnd = 36 + 8 * 3; // of Sample(): the file table ends here
    struct Case {
        const char* what;
        std::function<std::string(TestPayload*)> make;
        int step; // the step whose trace precedes the box; -1: the box alone
        const char* box;
    } cases[] = {
        {"no file", nullptr, -1, "Failed to open extractor"},
        {"empty file", [](TestPayload*) { return std::string(); }, -1,
         "Failed to navigate to SFX Footer"},
        {"7 bytes", [](TestPayload*) { return std::string(7, '\0'); }, -1,
         "Failed to navigate to SFX Footer"},
        {"autorun record cut short", [](TestPayload* p) { return Refooted(*p, 24); },
         kExecutionInfo, "Failed to parse ExecutionInfo"},
        {"no entries",
         [](TestPayload* p) {
             p->count = 0;
             return p->Bytes();
         },
         kFileTable, "Failed to parse File Information Table"},
        {"entry count whose table size wraps",
         [](TestPayload* p) {
             p->count = 0x20000000;
             return p->Bytes();
         },
         kFileTable, "Failed to parse File Information Table"},
        {"entry count beyond the file",
         [](TestPayload* p) {
             p->count = 0x1FFFFFFF;
             return p->Bytes();
         },
         kFileTable, "Failed to parse File Information Table"},
        {"file table cut short", [&](TestPayload* p) { return Refooted(*p, tableEnd - 9); },
         kFileTable, "Failed to parse File Information Table"},
        {"required count cut short", [&](TestPayload* p) { return Refooted(*p, tableEnd - 5); },
         kRequiredTable, "Failed to parse Required Files Table"},
        {"required count whose table size wraps",
         [](TestPayload* p) {
             p->requiredCount = 0x40000000;
             return p->Bytes();
         },
         kRequiredTable, "Failed to parse Required Files Table"},
        {"required count beyond the file",
         [](TestPayload* p) {
             p->requiredCount = 0x3FFFFFFF;
             return p->Bytes();
         },
         kRequiredTable, "Failed to parse Required Files Table"},
        {"required table cut short",
         [&](TestPayload* p) { return Refooted(*p, tableEnd + 4 + 8 - 9); }, kRequiredTable,
         "Failed to parse Required Files Table"},
        {"string length cut short",
         [&](TestPayload* p) { return Refooted(*p, tableEnd + 4 + 8 + 1); }, kStrings,
         "Failed to parse Strings Table"},
        {"string length beyond 2 GiB",
         [&](TestPayload* p) {
             std::string bytes = p->Bytes();
             bytes[p->stub.size() + tableEnd + 4 + 8 + 3] = '\x80';
             return bytes;
         },
         kStrings, "Failed to parse Strings Table"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPayload p = Sample();
        std::string path = c.make ? Put(c.make(&p)) : scratch_ / "absent.exe";
        OpenedPayload opened;
        Shown shown;
        EXPECT_FALSE(OpenCaptured(path, false, true, &opened, &shown));
        std::string trace = c.step >= 0 ? TraceUpTo(c.step) : "";
        EXPECT_EQ(shown.err, trace + Box(c.box));
        EXPECT_EQ(shown.log, trace);
        EXPECT_FALSE(OpenCaptured(path, false, false, &opened, &shown));
        EXPECT_EQ(shown.err, Box(c.box));
    }
}

TEST_F(Reader, ReadsEmptyStringsAndRefusesIdsOutsideTheTable) {
    TestPayload p;
    p.entries = {{"", ""}, {"a", "1"}};
    p.autorun = "";
    p.args = "";
    OpenedPayload opened;
    Shown shown;
    ASSERT_TRUE(OpenCaptured(Put(p.Bytes()), false, false, &opened, &shown)) << shown.err;
    for (UINT id : {0u, 2u, 3u}) {
        char* text = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        ASSERT_NE(text, nullptr) << id;
        EXPECT_STREQ(text, "");
        System::SafeFreeMemory(text);
    }
    EXPECT_EQ(Take(GetStringById(1, opened.stringTableOffsetsTable, opened.self)), "a");
    for (UINT id : {4u, 5u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(GetStringById(id, opened.stringTableOffsetsTable, opened.self), nullptr) << id;
    Release(&opened);
}

TEST_F(Reader, AStringCutByTheEndOfTheFileIsNotRead) {
    // The strings walk skips past the end without noticing; the lookup finds the text missing.
    TestPayload p;
    p.entries = {{"a", ""}};
    p.autorun = "a";
    p.args = "abcdefghijklmnop";
    std::string body = p.Body();
    size_t cut = body.size() - 12;
    std::string bytes = body.substr(0, cut);
    PutUint(&bytes, (uint32_t)cut);
    PutUint(&bytes, 0);
    OpenedPayload opened;
    Shown shown;
    ASSERT_TRUE(OpenCaptured(Put(bytes), false, false, &opened, &shown)) << shown.err;
    EXPECT_EQ(Take(GetStringById(1, opened.stringTableOffsetsTable, opened.self)), "a");
    EXPECT_EQ(GetStringById(2, opened.stringTableOffsetsTable, opened.self), nullptr);
    Release(&opened);
}

namespace {

struct Extraction : public ::testing::Test {
    // Opens a payload of entries and extracts them below the target folder.
    void Open(const std::vector<TestEntry>& entries) {
        TestPayload p;
        p.stub = "MZ";
        p.entries = entries;
        p.autorun = entries[0].name;
        WriteFile(scratch_ / "installer.exe", p.Bytes());
        Shown shown;
        ASSERT_TRUE(OpenCaptured(scratch_ / "installer.exe", false, false, &opened_, &shown))
            << shown.err;
        target_ = scratch_ / "jail/target";
        fs::create_directories(target_);
    }
    void TearDown() override {
        if (opened_.self) Release(&opened_);
    }
    bool Extract(UINT id, Shown* shown = nullptr) {
        StartCapture(true);
        bool ok = ExtractFile(id, fileInfoTable, opened_.stringTableOffsetsTable, opened_.self,
                              target_.c_str());
        Shown captured = StopCapture();
        if (shown) *shown = captured;
        return ok;
    }
    Scratch scratch_;
    OpenedPayload opened_ = OpenedPayload();
    std::string target_;
};

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = (char)(random() & 0xFF);
    return bytes;
}

} // namespace

TEST_F(Extraction, PlacesEachEntrysBytesAtItsPath) {
    std::string big = RandomBytes(10000, 1), page = RandomBytes(4096, 2),
                pages = RandomBytes(8192, 3), odd = RandomBytes(4097, 4);
    // A folder entry with a size: its bytes are skipped but count for the entries after it.
    Open({{"d\\", "XXXXX", 5},
          {"d\\f.txt", "abc"},
          {"d\\", ""},
          {"big.bin", big},
          {"page.bin", page},
          {"pages.bin", pages},
          {"odd.bin", odd},
          {"e\\empty", ""},
          {"fwd/slash.txt", "s"}});
    for (UINT id = 0; id < 9; id++)
        EXPECT_TRUE(Extract(id)) << id;
    EXPECT_EQ(Tree(target_),
              (std::vector<std::string>{"big.bin", "d/", "d/f.txt", "e/", "e/empty", "fwd/",
                                        "fwd/slash.txt", "odd.bin", "page.bin", "pages.bin"}));
    EXPECT_EQ(ReadFile(target_ + "/d/f.txt"), "abc");
    EXPECT_EQ(ReadFile(target_ + "/big.bin"), big);
    EXPECT_EQ(ReadFile(target_ + "/page.bin"), page);
    EXPECT_EQ(ReadFile(target_ + "/pages.bin"), pages);
    EXPECT_EQ(ReadFile(target_ + "/odd.bin"), odd);
    EXPECT_EQ(ReadFile(target_ + "/e/empty"), "");
    EXPECT_EQ(ReadFile(target_ + "/fwd/slash.txt"), "s");
}

TEST_F(Extraction, TracesEachEntry) {
    Open({{"d\\", ""}, {"d\\f.txt", "abc"}});
    Shown shown;
    EXPECT_TRUE(Extract(1, &shown));
    std::string line = "extracting 'd\\f.txt' to '" + target_ + "/d/f.txt'...OK\n";
    EXPECT_EQ(shown.err, line);
    EXPECT_EQ(shown.log, line);
    // A folder entry extracted twice succeeds twice.
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(Extract(0, &shown));
        EXPECT_EQ(shown.err, "extracting 'd\\' to '" + target_ + "/d/'...OK\n");
    }
}

TEST_F(Extraction, ReplacesAnExistingFile) {
    Open({{"f.txt", "new"}});
    WriteFile(target_ + "/f.txt", "an older and longer content");
    EXPECT_TRUE(Extract(0));
    EXPECT_EQ(ReadFile(target_ + "/f.txt"), "new");
}

TEST_F(Extraction, RefusesIdsBeyondTheTable) {
    Open({{"f.txt", "new"}});
    for (UINT id : {1u, 2u, 0xFFFFFFFFu}) {
        Shown shown;
        EXPECT_FALSE(Extract(id, &shown)) << id;
        EXPECT_EQ(shown.err, "fileName error\n");
    }
    EXPECT_TRUE(Tree(target_).empty());
}

TEST_F(Extraction, FailsWhenTheDataIsMissing) {
    Open({{"f.txt", "abc", 100}});
    Shown shown;
    EXPECT_FALSE(Extract(0, &shown));
    EXPECT_EQ(shown.err, "extracting 'f.txt' to '" + target_ + "/f.txt'...CopyFileData error\n");
}

TEST_F(Extraction, RefusesNamesThatLeaveTheTarget) {
    // (A colon is a plain character of a Linux name.)
    std::vector<std::string> names = {
        "\\x",  "/x",           "..",        "..\\",  "..\\x",
        "../x", "a\\..\\..\\x", "a/../../x", "a\\..", "d\\..\\..\\jail\\y"};
    std::vector<TestEntry> entries;
    for (const std::string& name : names)
        entries.push_back({name, "escaped"});
    entries.push_back({"a..b\\c..", "kept"}); // dots inside a name are no component
    Open(entries);
    for (UINT id = 0; id < names.size(); id++) {
        Shown shown;
        EXPECT_FALSE(Extract(id, &shown)) << names[id];
        EXPECT_EQ(shown.err.find("extracting"), std::string::npos) << shown.err;
    }
    EXPECT_TRUE(Extract((UINT)names.size()));
    EXPECT_EQ(Tree(scratch_ / "jail"),
              (std::vector<std::string>{"target/", "target/a..b/", "target/a..b/c.."}));
    EXPECT_EQ(Tree(scratch_.Path()),
              (std::vector<std::string>{"installer.exe", "jail/", "jail/target/",
                                        "jail/target/a..b/", "jail/target/a..b/c.."}));
}

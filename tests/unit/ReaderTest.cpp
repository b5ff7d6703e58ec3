// The payload reader on both platforms (natively and under Wine): opening, string lookup,
// extraction and its refusals. The texts of boxes and traces are checked by the POSIX reader
// tests; here what matters is what opens, what lands on disk and what does not.
#include <gtest/gtest.h>

#include <filesystem>

#include "Payload.h"
#include "TestUtil.h"

namespace {

const std::string kStub = "MZ launcher image";

struct Opened {
    ScratchDir dir;
    OpenedPayload payload = {};
    bool ok = false;

    explicit Opened(const std::string& installer) {
        dir.Write("setup.exe", installer);
        ok = OpenPayload(dir.Path("setup.exe").c_str(), false, &payload);
    }
    ~Opened() {
        if (ok) ClosePayload(&payload);
    }
    std::string String(UINT id) {
        return Take(GetStringById(id, payload.stringTableOffsetsTable, payload.self));
    }
    bool Extract(UINT id, const std::string& folder) {
        return ExtractFile(id, fileInfoTable, payload.stringTableOffsetsTable, payload.self,
                           dir.Path(folder).c_str());
    }
};

} // namespace

TEST(PayloadReader, StringsAndTheirBounds) {
    Opened o(kStub + BuildPayload({{"a\\b.txt", "abc"}, {"empty", ""}}, "a\\b.txt", ""));
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.payload.header->numberOfFiles, 2u);
    EXPECT_EQ(o.String(0), "a\\b.txt");
    EXPECT_EQ(o.String(1), "empty");
    EXPECT_EQ(o.String(2), "a\\b.txt") << "the autorun path";
    EXPECT_EQ(o.String(3), "") << "empty arguments are an empty text, not none";
    EXPECT_EQ(o.String(4), "<null>") << "beyond the strings table";
    EXPECT_EQ(o.String(0xFFFFFFFF), "<null>");
    EXPECT_FALSE(o.Extract(2, "out|")) << "a file id at N is no entry";
}

TEST(PayloadReader, ExtractionLandsEveryEntryAtItsStoredPath) {
    std::string big(5000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 + 3);
    // A folder entry with a size still moves the data of later entries, and is listed twice.
    Opened o(kStub + BuildPayload({{"dir\\", "XYZ"},
                                   {"dir\\big.bin", big},
                                   {"dir\\", ""},
                                   {"dir/sub/zero.txt", ""},
                                   {"top.txt", "top"}},
                                  "top.txt", ""));
    ASSERT_TRUE(o.ok);
    o.dir.Write("out|top.txt", "an older and longer content");
    for (UINT id = 0; id < 5; id++)
        EXPECT_TRUE(o.Extract(id, "out|")) << "entry " << id;
    EXPECT_TRUE(std::filesystem::is_directory(o.dir.Path("out|dir")));
    EXPECT_EQ(o.dir.Read("out|dir|big.bin"), big);
    EXPECT_TRUE(std::filesystem::exists(o.dir.Path("out|dir|sub|zero.txt")));
    EXPECT_EQ(o.dir.Read("out|dir|sub|zero.txt"), "");
    EXPECT_EQ(o.dir.Read("out|top.txt"), "top") << "an existing file is replaced";
    EXPECT_TRUE(o.Extract(0, "out|")) << "a folder that exists already";
}

TEST(PayloadReader, NamesThatLeaveTheTargetAreRefused) {
    // (A colon leads elsewhere on Windows only: PathTest.)
    const char* names[] = {"..\\escape.txt", "a\\..\\..\\escape.txt", "\\escape.txt",
                           "a\\.. \\..\\escape.txt"};
    for (const char* name : names) {
        Opened o(kStub + BuildPayload({{name, "bad"}, {"ok.txt", "ok"}}, "ok.txt", ""));
        ASSERT_TRUE(o.ok);
        EXPECT_FALSE(o.Extract(0, "a|b|target|")) << name;
        EXPECT_TRUE(o.Extract(1, "a|b|target|"));
        EXPECT_FALSE(std::filesystem::exists(o.dir.Path("a|escape.txt"))) << name;
        EXPECT_FALSE(std::filesystem::exists(o.dir.Path("a|b|escape.txt"))) << name;
        EXPECT_FALSE(std::filesystem::exists(o.dir.Path("escape.txt"))) << name;
    }
}

TEST(PayloadReader, DamagedPayloadsDoNotOpen) {
    std::string good = BuildPayload({{"a.txt", "abc"}}, "a.txt", "");
    auto with = [&](size_t at, const std::string& bytes) {
        std::string payload = good;
        payload.replace(at, bytes.size(), bytes);
        return kStub + payload;
    };
    const size_t kCount = 20, kRequired = 44;
    struct Case {
        const char* what;
        std::string installer;
    } cases[] = {
        {"shorter than a footer", "1234567"},
        {"signature", with(0, "Org")},
        {"version 2", with(19, "\2")},
        {"no entries", kStub + BuildPayload({}, "", "")},
        {"more entries than the file holds", with(kCount, LE32(0x10000000))},
        {"required ids beyond the file", with(kRequired, LE32(0x20000000))},
        {"header before the start of the file", with(good.size() - 8, LE32(0x7FFFFFF0))},
        {"strings cut short", kStub + good.substr(0, 52) + LE32(52) + LE32(0)},
    };
    for (const Case& c : cases) {
        Opened o(c.installer);
        EXPECT_FALSE(o.ok) << c.what;
    }
    Opened intact(kStub + good);
    EXPECT_TRUE(intact.ok);
}

// A small installer cut at every byte offset, and its payload cut at every offset behind a footer
// that still covers it: each file must open, or fail at the right step with the right box and
// trace, and every string and entry of an opened one must read as the bytes that are there.
#include "PackTestSupport.h"

#include "System.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

using namespace packtest;

namespace {

enum Outcome {
    kOpened,
    kNoFooter,
    kNoHeaderSeek,
    kHeaderInvalid,
    kExecutionInfo,
    kFileTable,
    kRequiredTable,
    kStringsAlloc,
    kStrings,
};

// What the opening sequence makes of bytes, worked out on the bytes alone.
struct Model {
    Outcome outcome = kOpened;
    uint32_t count = 0;
    std::vector<uint32_t> sizes;
    std::vector<uint64_t> stringOffsets;
    uint64_t dataStart = 0;
};

class Cursor {
  public:
    explicit Cursor(const std::string& bytes) : bytes_(bytes) {}
    // A read at the position: what is there, up to n bytes; the position moves past them.
    std::string Read(size_t n) {
        std::string got = pos_ < bytes_.size() ? bytes_.substr(pos_, n) : "";
        pos_ += got.size();
        return got;
    }
    bool Uint(uint32_t* value) {
        std::string got = Read(4);
        if (got.size() != 4) return false;
        *value = GetUint(got, 0);
        return true;
    }
    uint64_t pos_ = 0;

  private:
    const std::string& bytes_;
};

Model Expect(const std::string& bytes) {
    Model m;
    const uint64_t size = bytes.size();
    if (size < 8) return m.outcome = kNoFooter, m;
    uint32_t packageSize = GetUint(bytes, size - 8);
    int64_t target = (int64_t)size + (int32_t)(0xFFFFFFF8u - packageSize);
    if (target < 0) return m.outcome = kNoHeaderSeek, m;
    Cursor at(bytes);
    at.pos_ = std::min<int64_t>(target, 0x7FFFFFFF);
    std::string signature = at.Read(19);
    std::string version = at.Read(1);
    uint32_t count = 0xFFFFFFFF;
    at.Uint(&count);
    if (signature != "org.vantrel.kit.sfx" || version.empty() || (uint8_t)version[0] > 1)
        return m.outcome = kHeaderInvalid, m;
    uint32_t record;
    for (int i = 0; i < 3; i++)
        if (!at.Uint(&record)) return m.outcome = kExecutionInfo, m;
    if (count == 0 || (uint64_t)count * 8 > size) return m.outcome = kFileTable, m;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t entrySize, nameId;
        if (!at.Uint(&entrySize) || !at.Uint(&nameId)) return m.outcome = kFileTable, m;
        m.sizes.push_back(entrySize);
    }
    uint32_t requiredCount;
    if (!at.Uint(&requiredCount) || (uint64_t)requiredCount * 4 > size ||
        at.Read(requiredCount * 4).size() != requiredCount * 4)
        return m.outcome = kRequiredTable, m;
    uint64_t stringOffset = at.pos_;
    for (uint32_t i = 0; i < count + 2; i++) {
        m.stringOffsets.push_back(at.pos_);
        uint32_t length;
        if (stringOffset > 0x7FFFFFFF || !at.Uint(&length) || length > 0x7FFFFFFF)
            return m.outcome = kStrings, m;
        at.pos_ += length;
        stringOffset = at.pos_;
    }
    m.count = count;
    m.dataStart = at.pos_;
    return m;
}

// The string the lookup must give: null when its length or its text is not all there.
const char* kNull = "<null>";
std::string ExpectString(const std::string& bytes, uint64_t offset) {
    if (offset + 4 > bytes.size()) return kNull;
    uint32_t length = GetUint(bytes, offset);
    if (offset + 4 + length > bytes.size()) return kNull;
    return bytes.substr(offset + 4, length);
}

// The text as a C string holds it: up to its first NUL.
std::string CText(const std::string& text) {
    return text == kNull ? text : text.substr(0, text.find('\0'));
}

// A name that neither starts at a root nor names a drive or stream nor climbs with "..".
bool StaysBelow(const std::string& name) {
    if (name.empty()) return true;
    if (name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos) return false;
    std::string component;
    for (char c : name + "/") {
        if (c != '\\' && c != '/') {
            component += c;
            continue;
        }
        if (component == "..") return false;
        component.clear();
    }
    return true;
}

// False when the file cannot be made: its path is a folder, or a folder on its way is a file.
bool CanCreate(const std::string& file) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(file, ec)) return false;
    for (fs::path parent = fs::path(file).parent_path(); !parent.empty() && parent != "/";
         parent = parent.parent_path())
        if (fs::exists(parent, ec) && !fs::is_directory(parent, ec)) return false;
    return true;
}

std::string ExpectedShown(Outcome outcome) {
    const char* steps[] = {"SFX Header record parsing...",
                           "OK\nExecution Info parsing...",
                           "OK\nFile Information Table parsing...",
                           "OK\nRequired Files Table parsing...",
                           "OK\nAllocating memory for Strings Table...",
                           "OK\nParsing Strings Table..."};
    auto upTo = [&](int step, const char* box) {
        std::string text;
        for (int i = 0; i <= step; i++)
            text += steps[i];
        return text + Box(box);
    };
    switch (outcome) {
    case kOpened:
        return kOpenTrace;
    case kNoFooter:
        return Box("Failed to navigate to SFX Footer");
    case kNoHeaderSeek:
        return Box(kDamagedInstaller) + "ERROR: Failed to navigate to Header Record!";
    case kHeaderInvalid:
        return std::string(steps[0]) + Box("SFX Header invalid") + "FAILED! Header is invalid.\n";
    case kExecutionInfo:
        return upTo(1, "Failed to parse ExecutionInfo");
    case kFileTable:
        return upTo(2, "Failed to parse File Information Table");
    case kRequiredTable:
        return upTo(3, "Failed to parse Required Files Table");
    case kStringsAlloc:
        return upTo(4, "Failed to allocate memory for Strings Table");
    case kStrings:
        return upTo(5, "Failed to parse Strings Table");
    }
    return "";
}

TestPayload SweepSample() {
    TestPayload p;
    p.stub = "stub-image!";
    std::string block(300, '\0');
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (char)(i * 7);
    p.entries = {{"d\\", ""}, {"d\\a.txt", "alpha"}, {"b.bin", block}, {"z", ""}};
    p.required = {1, 2};
    p.autorun = "d\\a.txt";
    p.args = "-x";
    return p;
}

// Opens bytes as an installer and checks every outcome against the model; counts each kind.
void CheckCut(const Scratch& s, const std::string& bytes, std::map<Outcome, int>* seen) {
    std::string path = s / "cut.exe";
    WriteFile(path, bytes);
    Model m = Expect(bytes);
    (*seen)[m.outcome]++;
    OpenedPayload opened;
    Shown shown;
    bool ok = OpenCaptured(path, false, true, &opened, &shown);
    ASSERT_EQ(ok, m.outcome == kOpened) << shown.err;
    EXPECT_EQ(shown.err, ExpectedShown(m.outcome));
    if (!ok) return;

    EXPECT_EQ(opened.header->numberOfFiles, m.count);
    EXPECT_EQ(filesDataStartOffset, m.dataStart);
    for (UINT id = 0; id < m.count + 2; id++) {
        EXPECT_EQ(opened.stringTableOffsetsTable[id], m.stringOffsets[id]);
        char* text = GetStringById(id, opened.stringTableOffsetsTable, opened.self);
        EXPECT_EQ(text ? std::string(text) : kNull,
                  CText(ExpectString(bytes, m.stringOffsets[id])));
        System::SafeFreeMemory(text);
    }
    std::string target = s / "out";
    uint64_t offset = m.dataStart;
    for (UINT id = 0; id < m.count; id++) {
        std::string name = CText(ExpectString(bytes, m.stringOffsets[id]));
        // An empty name joins to the target folder itself, which is a folder.
        bool folder = name.empty() || name.back() == '\\' || name.back() == '/';
        // An empty entry reads nothing, wherever its data would begin.
        bool dataThere =
            offset <= 0x7FFFFFFF && (m.sizes[id] == 0 || offset + m.sizes[id] <= bytes.size());
        std::string file = target + "/" + name;
        for (char& c : file)
            if (c == '\\') c = '/';
        bool expected =
            name != kNull && StaysBelow(name) && (folder || (dataThere && CanCreate(file)));
        bool extracted = ExtractFile(id, fileInfoTable, opened.stringTableOffsetsTable, opened.self,
                                     target.c_str());
        EXPECT_EQ(extracted, expected) << "entry " << id << " " << name;
        if (extracted && expected && !folder) {
            EXPECT_EQ(ReadFile(file), m.sizes[id] ? bytes.substr(offset, m.sizes[id]) : "")
                << "entry " << id;
        }
        offset += m.sizes[id];
    }
    std::filesystem::remove_all(target);
    Release(&opened);
}

} // namespace

TEST(Truncation, AnInstallerCutAtEveryOffset) {
    Scratch s;
    std::string whole = SweepSample().Bytes();
    std::map<Outcome, int> seen;
    for (size_t length = 0; length <= whole.size(); length++) {
        SCOPED_TRACE(length);
        CheckCut(s, whole.substr(0, length), &seen);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(seen[kOpened], 1);
    EXPECT_EQ(seen[kNoFooter], 8);
    EXPECT_GT(seen[kNoHeaderSeek] + seen[kHeaderInvalid], 0);
}

TEST(Truncation, APayloadCutAtEveryOffsetBehindAFooter) {
    Scratch s;
    TestPayload p = SweepSample();
    std::string body = p.Body();
    std::map<Outcome, int> seen;
    for (size_t length = 0; length <= body.size(); length++) {
        SCOPED_TRACE(length);
        std::string bytes = p.stub + body.substr(0, length);
        PutUint(&bytes, (uint32_t)length);
        PutUint(&bytes, 0);
        CheckCut(s, bytes, &seen);
        if (HasFatalFailure()) return;
    }
    // Each step of the opening sequence is reached by some cut.
    for (Outcome outcome :
         {kOpened, kHeaderInvalid, kExecutionInfo, kFileTable, kRequiredTable, kStrings})
        EXPECT_GT(seen[outcome], 0) << outcome;
}

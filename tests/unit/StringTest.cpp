#include <gtest/gtest.h>

#include <string>

#include "String.h"
#include "TestUtil.h"

TEST(String, NullAndEmptyArguments) {
    EXPECT_EQ(String::StrLen(nullptr), 0u);
    EXPECT_EQ(String::StrLen(""), 0u);
    EXPECT_EQ(Take(String::StrDup(nullptr)), "");
    char dest[4] = "abc";
    String::StrCpy(dest, nullptr);
    String::StrCat(dest, nullptr);
    String::StrNCpy(dest, nullptr, 3);
    EXPECT_STREQ(dest, "abc");
    EXPECT_FALSE(String::EndsWith(nullptr, ""));
    EXPECT_FALSE(String::StartsWith("a", nullptr));
    EXPECT_EQ(String::LastIndexOf(nullptr, "abc"), 0);
    EXPECT_EQ(String::LastIndexOf("\\", nullptr), 0);
}

TEST(String, StrNCpyCopiesCountMinusOne) {
    char dest[8];
    String::StrNCpy(dest, "abcdef", 1);
    EXPECT_STREQ(dest, "");
    String::StrNCpy(dest, "abcdef", 4);
    EXPECT_STREQ(dest, "abc");
    String::StrNCpy(dest, "ab", 8);
    EXPECT_STREQ(dest, "ab");
}

TEST(String, Searches) {
    char abc[] = "abc";
    EXPECT_EQ(String::StrStr(abc, ""), abc);
    EXPECT_EQ(String::StrStr(abc, "abc"), abc);
    EXPECT_EQ(String::StrStr(abc, "c"), abc + 2);
    EXPECT_EQ(String::StrStr(abc, "abcd"), nullptr);
    EXPECT_EQ(String::StrStr(abc, "C"), nullptr);

    struct Case {
        const char* needle;
        const char* text;
        int index;
    } cases[] = {{"\\", "C:\\dir\\setup.exe", 6},
                 {"\\", "setup.exe", -1},
                 {"", "abc", 3},
                 {"abcd", "abc", -1},
                 {"aa", "aaaa", 2},
                 {"a", "a", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(String::LastIndexOf(c.needle, c.text), c.index) << c.needle << " in " << c.text;
}

TEST(String, EndsAndStartsWith) {
    struct Case {
        const char* text;
        const char* affix;
        bool ends, starts;
    } cases[] = {{"a.zip", ".zip", true, false},
                 {".zip", ".zip", true, true},
                 {"zip", ".zip", false, false},
                 {"A.ZIP", ".zip", false, false},
                 {"abc", "", true, true},
                 {"", "", true, true},
                 {"Bundle-Version: 1", "Bundle-Version: ", false, true},
                 {"Bundle-Version:", "Bundle-Version: ", false, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(String::EndsWith(c.text, c.affix), c.ends) << c.text << " / " << c.affix;
        EXPECT_EQ(String::StartsWith(c.text, c.affix), c.starts) << c.text << " / " << c.affix;
    }
}

TEST(String, ReplaceAll) {
    struct Case {
        const char* text;
        const char* needle;
        const char* value;
        const char* expected;
    } cases[] = {
        {"x -debug y -debug", " -debug", "", "x y"},
        {"aabb", "ab", "", ""}, // a second pass removes what the first one joined
        {"nothing here", "$#launcher#", "C:\\x.exe", "nothing here"},
        {"-a $#launcher# -b $#launcher#", "$#launcher#", "C:\\s.exe", "-a C:\\s.exe -b C:\\s.exe"},
        // Values that hold or rebuild the text to replace end after one pass.
        {"$#launcher#", "$#launcher#", "C:\\$#launcher#\\s.exe", "C:\\$#launcher#\\s.exe"},
        {"abb", "ab", "bbaa", "bbaab"},
        {"abc", "", "x", "abc"},
        {"", "a", "b", ""},
    };
    for (const Case& c : cases) {
        char* original = String::StrDup(c.text);
        char* result = String::ReplaceAll(original, c.needle, c.value);
        ASSERT_NE(result, nullptr);
        EXPECT_NE(result, original) << "always a new block";
        EXPECT_STREQ(result, c.expected) << c.text;
        EXPECT_STREQ(original, c.text) << "the input is unchanged";
        System::SafeFreeMemory(result);
        System::SafeFreeMemory(original);
    }
}

TEST(String, FormatConversionsAndCut) {
    char buffer[1024];
    String::Sprintf2(buffer, "sfx%u.tmp%s", NumArg(0), "\\");
    EXPECT_STREQ(buffer, "sfx0.tmp\\");
    String::Sprintf2(buffer, "sfx%u.tmp%s", NumArg(4294967295u), "\\");
    EXPECT_STREQ(buffer, "sfx4294967295.tmp\\");
    String::Sprintf2(buffer, "PackageSize=%u CRC=%u\n", NumArg(100), NumArg(0));
    EXPECT_STREQ(buffer, "PackageSize=100 CRC=0\n");
    String::Sprintf2(buffer, "%d|%x|%%|%s", NumArg((UINT)-5), NumArg(255));
    EXPECT_STREQ(buffer, "-5|ff|%|(null)") << "a third argument is not read";
    String::Sprintf2(buffer, "[%c%c]", NumArg('o'), NumArg('k'));
    EXPECT_STREQ(buffer, "[ok]");

    std::string longText(2000, 'x');
    String::Sprintf2(buffer, "%s %s", longText.c_str(), "tail");
    EXPECT_EQ(std::string(buffer), std::string(1023, 'x'));

    char small[8];
    String::Format(small, sizeof small, "Ignoring ZIP: %s\n", "a.zip", nullptr);
    EXPECT_STREQ(small, "Ignorin");
}

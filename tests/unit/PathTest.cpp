#include <gtest/gtest.h>

#include "Path.h"
#include "TestUtil.h"

TEST(Path, Combine) {
    struct Case {
        const char* folder;
        const char* name;
        const char* expected;
    } cases[] = {
        {"C:|tmp", "jre/bin/java.exe", "C:|tmp|jre|bin|java.exe"},
        {"C:|tmp|", "a", "C:|tmp|a"},
        {"C:|tmp", "\\a", "C:|tmp||a"}, // a leading separator is not trimmed
        {"C:|tmp", "conf\\a.ini", "C:|tmp|conf|a.ini"},
        {"C:|tmp", nullptr, "C:|tmp|"},
        {"", "a\\b", "a|b"}, // an empty folder leaves the name relative
    };
    for (const Case& c : cases) {
        std::string folder = P(c.folder);
        EXPECT_EQ(Take(Path::Combine(folder.c_str(), c.name)), P(c.expected))
            << c.folder << " + " << (c.name ? c.name : "null");
    }
}

TEST(Path, GetFileFolder) {
    struct Case {
        const char* path;
        const char* expected;
    } cases[] = {{"C:|dir|file.txt", "C:|dir"},
                 {"C:|dir|", "C:"},
                 {"file.txt", "<null>"},
                 {"a", "<null>"},
                 {"", "<null>"},
                 {"|file", ""}};
    for (const Case& c : cases)
        EXPECT_EQ(Take(Path::GetFileFolder(P(c.path).c_str())), P(c.expected)) << c.path;
    EXPECT_EQ(Path::GetFileFolder(nullptr), nullptr);
}

TEST(Path, IsDirectory) {
    EXPECT_TRUE(Path::IsDirectory(P("C:|dir|").c_str()));
    EXPECT_FALSE(Path::IsDirectory(P("C:|dir").c_str()));
    EXPECT_FALSE(Path::IsDirectory(nullptr));
    EXPECT_FALSE(Path::IsDirectory(""));
}

TEST(Path, ReplaceInPlace) {
    char text[] = "a/b/c";
    Replace(text, '/', '\\');
    EXPECT_STREQ(text, "a\\b\\c");
    Replace(nullptr, 'a', 'b');
}

TEST(Path, StaysInsideRefusesNamesThatLeaveTheFolder) {
    const char* inside[] = {"a",       "a\\b.txt", "a/b/",
                            "dir\\",   "..a\\b",   "a..\\b",
                            "a\\.\\c", ". \\x",    "plugins\\x_1.0\\splash.bmp",
                            ""};
    // Windows trims trailing dots and blanks of a component, so "... " and ". ." lead up too.
    const char* outside[] = {"\\abs",        "/abs",      "..",     "..\\x",
                             "a\\..\\..\\x", "a/../b",    "a\\..",  "x\\..\\",
                             "a\\...\\c",    "a\\.. \\x", ". .\\x", "x\\ ..."};
    for (const char* name : inside)
        EXPECT_TRUE(Path::StaysInside(name)) << name;
    for (const char* name : outside)
        EXPECT_FALSE(Path::StaysInside(name)) << name;
    // A colon names a drive or a stream on Windows only.
    for (const char* name : {"C:x", "C:\\x", "a\\b:stream"})
        EXPECT_EQ(Path::StaysInside(name), OS::kSeparator == '/') << name;
    EXPECT_FALSE(Path::StaysInside(nullptr));
}

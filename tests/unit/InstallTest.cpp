#include <gtest/gtest.h>

#include <string>

#include "Splash.h"
#include "main.h"
#include "TestUtil.h"

TEST(Install, TemporaryFolderName) {
    EXPECT_EQ(Take(CreateTempFolder(0)), P("sfx0.tmp|"));
    std::string longest = Take(CreateTempFolder(4294967295u));
    EXPECT_EQ(longest, P("sfx4294967295.tmp|"));
    EXPECT_EQ(longest.size(), 18u);
}

TEST(Install, VersionFromManifest) {
    struct Case {
        const char* content;
        const char* version;
    } cases[] = {
        {"Manifest-Version: 1.0\r\nBundle-Version: 3.1.0\r\nX: y\r\n", "3.1.0"},
        {"Bundle-Version: 3.1.0\r\nX: y\r\n", "<null>"}, // the first line never matches
        {"Manifest-Version: 1.0\nBundle-Version: 3.1.0\n", "<null>"},
        {"A: b\r\nBundle-Version:  3.1\r\n", " 3.1"},
        {"A: b\r\nbundle-version: 3.1\r\n", "<null>"},
        {"A: b\r\nBundle-Version: 3.1", "<null>"}, // last line without CR LF
        {"A: b\r\nBundle-Version: 1\r\nBundle-Version: 2\r\n", "1"},
        {"A: b\r\nBundle-Version: 1.0\nmore\r\n", "1.0\nmore"},
        {"A: b\r\nBundle-Version: \r\n", ""},
        {"", "<null>"},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        dir.Write("MANIFEST.MF", c.content);
        EXPECT_EQ(Take(readVersionFromFile(dir.Path("MANIFEST.MF").c_str())), c.version)
            << c.content;
    }
    EXPECT_EQ(Take(readVersionFromFile(dir.Path("missing|MANIFEST.MF").c_str())), "<null>");
    // The content is a text that ends at its first zero byte.
    const char withZero[] = "A: b\r\nC: d\0\r\nBundle-Version: 9\r\n";
    dir.Write("MANIFEST.MF", std::string(withZero, sizeof withZero - 1));
    EXPECT_EQ(Take(readVersionFromFile(dir.Path("MANIFEST.MF").c_str())), "<null>");
}

TEST(Install, VmArgumentsStartOnALineOfTheirOwn) {
    struct Case {
        const char* content;
        const char* written;
    } cases[] = {
        {"", ""},
        {"-vmargs\r\n", ""},
        {"-vmargs\n", ""}, // a line feed alone ends the line too
        {"-vmargs\r\n-Xmx512m", "\r\n"},
        {"-Xmx512m\r", "\r\n"}, // a carriage return alone does not
    };
    ScratchDir dir;
    char first[] = "-DextractorLoc=x";
    char second[] = "-Dk=v";
    char* items[] = {first, second};
    ArgList vmArgs = {items, 2, 2};
    for (const Case& c : cases) {
        dir.Write("app.ini", c.content);
        WriteVmArguments(dir.Path("app.exe").c_str(), &vmArgs);
        EXPECT_EQ(dir.Read("app.ini"),
                  std::string(c.content) + c.written + "-DextractorLoc=x\r\n-Dk=v\r\n")
            << c.content;
    }
    // No lines: the file stays as it is.
    ArgList none = {items, 0, 2};
    dir.Write("app.ini", "-Xmx512m");
    WriteVmArguments(dir.Path("app.exe").c_str(), &none);
    EXPECT_EQ(dir.Read("app.ini"), "-Xmx512m");
}

TEST(Install, IniFileBesideTheProgram) {
    struct Case {
        const char* program;
        const char* byExtension;
        const char* lastThree;
    } cases[] = {
        {"bin|start.sh", "bin|start.ini", "bin|startini"},
        {"bin|setup", "bin|setup.ini", "bin|seini"},
        {"bin|setup.exe", "bin|setup.ini", "bin|setup.ini"},
        {"a.b|setup", "a.b|setup.ini", "a.b|seini"},
        {"bin|.start", "bin|.start.ini", "bin|.stini"},
        {"java", "java.ini", "jini"},
        {"x.tar.gz", "x.tar.ini", "x.tarini"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Take(IniFileName(P(c.program).c_str(), true)), P(c.byExtension));
        EXPECT_EQ(Take(IniFileName(P(c.program).c_str(), false)), P(c.lastThree));
    }
}

TEST(Splash, CentredWithTruncationTowardZero) {
    EXPECT_EQ(SplashOrigin(1920, 640), 640);
    EXPECT_EQ(SplashOrigin(1080, 400), 340);
    EXPECT_EQ(SplashOrigin(1024, 501), 261);
    EXPECT_EQ(SplashOrigin(1920, 2001), -40);
}

TEST(Splash, TextBeforeAnyWindowIsHarmless) {
    setSplashText("Initializing...");
}

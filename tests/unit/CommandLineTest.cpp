#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main.h"
#include "TestUtil.h"

namespace {

struct Analysis {
    bool debug = false;
    std::string arguments;
    std::vector<std::string> vmArgs;
    LaunchMode mode = kModeInstall;
    std::string name, folder;
};

Analysis Analyze(const std::string& raw, const char* module) {
    ParsedCommandLine parsed;
    EXPECT_TRUE(AnalyzeCommandLine(raw.c_str(), module, &parsed));
    Analysis a;
    a.debug = parsed.debug;
    a.arguments = parsed.arguments;
    for (UINT i = 0; i < parsed.vmArgs.count; i++) {
        a.vmArgs.push_back(parsed.vmArgs.items[i]);
        System::SafeFreeMemory(parsed.vmArgs.items[i]);
    }
    a.mode = parsed.mode;
    if (parsed.mode == kModeExtract) {
        a.name = parsed.fileToExtract;
        a.folder = parsed.destPath;
    }
    ArgListRelease(&parsed.vmArgs);
    System::SafeFreeMemory(parsed.arguments);
    return a;
}

const std::string kModule = P("C:|dl|setup.exe");
const std::string kLoc = "-DextractorLoc=" + kModule;

} // namespace

TEST(CommandLine, DebugSwitchAndOwnNames) {
    struct Case {
        std::string raw;
        bool debug;
        std::string arguments;
    } cases[] = {
        {"\"" + kModule + "\"", false, "\"\""},
        {kModule + " -debug", true, ""},
        {kModule + " -debugX", true, "X"},
        {"\"" + kModule + "\"-debug", false, "\"\"-debug"}, // no blank in front
        {kModule + " -debug a -debug", true, " a"},
        {"setup.exe a", false, " a"},  // the short name alone
        {"setup b", false, "setup b"}, // typed differently: stays
        {P("c:|DL|SETUP.EXE x"), false, P("c:|DL|SETUP.EXE x")},
        {P("C:|dl|setup.exe C:|dl|setup.exe"), false, " "},
    };
    for (const Case& c : cases) {
        Analysis a = Analyze(c.raw, kModule.c_str());
        EXPECT_EQ(a.debug, c.debug) << c.raw;
        EXPECT_EQ(a.arguments, c.arguments) << c.raw;
        EXPECT_EQ(a.mode, kModeInstall) << c.raw;
        ASSERT_FALSE(a.vmArgs.empty());
        EXPECT_EQ(a.vmArgs[0], kLoc);
    }
}

TEST(CommandLine, VmArguments) {
    struct Case {
        std::string tail;
        std::string arguments;
        std::vector<std::string> vmArgs;
    } cases[] = {
        {" -vmargs -Xmx512m -Dx=1", " ", {"-Xmx512m", "-Dx=1"}},
        {" a -vmargs", " a -vmargs", {}}, // the keyword last: kept, nothing added
        {" a -vmargs   ", " a ", {}},
        {" -vmargs  -Xa   -Xb ", " ", {"-Xa", "-Xb"}},
        {" -vmargs-Xmx512m", " ", {"-Xmx512m"}},
        {" -vmargs \"-Dp=a b\"", " ", {"\"-Dp=a", "b\""}},
        {" -vmargs -extract=a@b", " ", {"-extract=a@b"}},
        {" x -vmargs a -vmargs b", " x ", {"a", "-vmargs", "b"}},
    };
    for (const Case& c : cases) {
        Analysis a = Analyze("\"" + kModule + "\"" + c.tail, kModule.c_str());
        EXPECT_EQ(a.arguments, "\"\"" + c.arguments) << c.tail;
        std::vector<std::string> expected = {kLoc};
        expected.insert(expected.end(), c.vmArgs.begin(), c.vmArgs.end());
        EXPECT_EQ(a.vmArgs, expected) << c.tail;
        EXPECT_EQ(a.mode, kModeInstall) << c.tail;
    }
}

TEST(CommandLine, ExtractionSwitch) {
    struct Case {
        std::string tail;
        LaunchMode mode;
        std::string name, folder;
    } cases[] = {
        {" -extract=conf.ini@C:\\x", kModeExtract, "conf.ini", "C:\\x"},
        {" \"-extract=conf.ini@C:\\Program Files\\x\"", kModeExtract, "conf.ini",
         "C:\\Program Files\\x"},
        {" -extract=a@b@c", kModeExtract, "a", "b@c"},
        {" -extract=@C:\\x", kModeExtract, "", "C:\\x"},
        {" -extract=a@", kModeExtract, "a", ""},
        {" -extract=a@\" \"", kModeExtract, "a", ""},
        {" -extract= a b@ d \" ", kModeExtract, " a b", " d"},
        {" -extract=noat", kModeNone, "", ""},
        {" -extract=x@y -vmargs -Dz", kModeExtract, "x", "y"},
        {" -vmargs -extract=x@y", kModeInstall, "", ""},
        // Typed with the platform's separator; the stored names use '\'.
        {P(" -extract=lib|x.py@out"), kModeExtract, "lib\\x.py", "out"},
    };
    for (const Case& c : cases) {
        Analysis a = Analyze(kModule + c.tail, kModule.c_str());
        EXPECT_EQ(a.mode, c.mode) << c.tail;
        EXPECT_EQ(a.name, c.name) << c.tail;
        EXPECT_EQ(a.folder, c.folder) << c.tail;
    }
}

TEST(CommandLine, MissingOrEmptyModulePathRemovesNothing) {
    for (const char* module : {(const char*)nullptr, ""}) {
        Analysis a = Analyze("setup.exe -debug x", module);
        EXPECT_TRUE(a.debug);
        EXPECT_EQ(a.arguments, "setup.exe x");
        EXPECT_EQ(a.vmArgs, std::vector<std::string>{"-DextractorLoc="});
    }
    // A module path without a folder removes its full name only.
    Analysis bare = Analyze("setup.exe x", "setup.exe");
    EXPECT_EQ(bare.arguments, " x");
}

TEST(CommandLine, LauncherPathHoldingTheMarker) {
    // The path may hold anything, also the marker that the install run replaces later.
    std::string module = P("C:|$#launcher#|setup.exe");
    Analysis a = Analyze(module + " -vmargs -Da", module.c_str());
    EXPECT_EQ(a.arguments, " ");
    EXPECT_EQ(a.vmArgs[0], "-DextractorLoc=" + module);
}

namespace {
std::vector<std::string> Taken(ArgList* list) {
    std::vector<std::string> words;
    for (UINT i = 0; i < list->count; i++)
        words.push_back(Take(list->items[i]));
    ArgListRelease(list);
    return words;
}
} // namespace

TEST(CommandLine, StoredArgumentsSplitIntoWords) {
    struct Case {
        const char* text;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {" \t ", {}},
        {"a  b\tc ", {"a", "b", "c"}},
        {"\"a b\" x\"y z\"w", {"a b", "xy zw"}},
        {"\"\" ''", {"", "''"}}, // single quotes are plain
        {"\"a\\\"b\\\\c\\d\"", {"a\"b\\c\\d"}},
        {"C:\\dir\\x \\\"", {"C:\\dir\\x", "\\"}}, // outside quotes a backslash is plain
        {"--loc=$#launcher# \"$#launcher#\"", {"--loc=/a b/$x \"s\".run", "/a b/$x \"s\".run"}},
        {"\"open", {"open"}}, // an unclosed quote runs to the end
    };
    for (const Case& c : cases) {
        ArgList list = {};
        ASSERT_TRUE(SplitWords(c.text, "$#launcher#", "/a b/$x \"s\".run", &list));
        EXPECT_EQ(Taken(&list), c.words) << c.text;
    }
}

TEST(CommandLine, UserArgumentsLessTheLaunchersSwitches) {
    struct Case {
        std::vector<const char*> argv;
        std::vector<std::string> passed;
    } cases[] = {
        {{"", "it's", "$HOME", "a b"}, {"", "it's", "$HOME", "a b"}},
        {{"-debug", "x", "-debugY", "a -debug"}, {"x", "Y", "a"}},
        {{"u", "-vmargs", "-Xmx1m"}, {"u"}},
        {{"u", "x-vmargs", "y"}, {"u", "x"}},
        {{"u", "-vmargs"}, {"u", "-vmargs"}}, // nothing follows: kept, as the line keeps it
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {(char*)"setup.run"};
        for (const char* word : c.argv)
            argv.push_back((char*)word);
        ArgList list = {};
        ASSERT_TRUE(UserArguments((int)argv.size(), argv.data(), &list));
        EXPECT_EQ(Taken(&list), c.passed) << c.argv.size();
    }
}

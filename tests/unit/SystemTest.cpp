#include <gtest/gtest.h>

#include <string>

#include "System.h"
#include "TestUtil.h"

TEST(System, Memory) {
    EXPECT_EQ(System::SafeAllocMemory(0), nullptr);
    EXPECT_FALSE(System::SafeFreeMemory(nullptr));
    BYTE* block = (BYTE*)System::SafeAllocMemory(64);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(block[i], 0) << "zero-filled at " << i;
    EXPECT_TRUE(System::SafeFreeMemory(block));
}

TEST(System, MemCmpAndMemCpy) {
    const BYTE a[] = {1, 2, 3}, b[] = {1, 2, 4};
    EXPECT_EQ(System::MemCmp(a, b, 0), 0);
    EXPECT_EQ(System::MemCmp(a, b, 2), 0);
    EXPECT_EQ(System::MemCmp(a, b, 3), -1);
    EXPECT_EQ(System::MemCmp(b, a, 3), -1) << "equality only, no order";

    BYTE overlap[] = {1, 2, 3, 4, 5, 0};
    System::MemCpy(overlap + 1, overlap, 5); // backwards: safe towards higher addresses
    const BYTE expected[] = {1, 1, 2, 3, 4, 5};
    EXPECT_EQ(System::MemCmp(overlap, expected, 6), 0);
    System::MemCpy(overlap, expected, 0);
    System::MemCpy(overlap, expected, -3);
}

TEST(System, TemporaryFolderEndsWithSeparator) {
    std::string folder = Take(System::GetTemporaryFolder());
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), OS::kSeparator);
}

TEST(System, ExecuteAndWaitKeepsTheExitCode) {
#ifdef _WIN32
    ScratchDir dir;
    EXPECT_TRUE(System::ExecuteAndWait("cmd", "/C exit 7"));
    EXPECT_EQ(System::GetLastProcessExitCode(), 7u);
    // A long command line is started whole, not cut at 1023 characters.
    std::string marker = dir.Path("long.txt");
    std::string longArgs = "/C echo " + std::string(1500, 'x') + "> \"" + marker + "\"";
    EXPECT_TRUE(System::ExecuteAndWait("cmd", longArgs.c_str()));
    EXPECT_EQ(System::GetLastProcessExitCode(), 0u);
    EXPECT_NE(dir.Read("long.txt").find(std::string(1500, 'x')), std::string::npos);
#else
    // A bare name is looked up on PATH; the codes 126 and 127 are the program's own.
    for (const char* code : {"7", "126", "127"}) {
        const char* argv[] = {"sh", "-c", "exit \"$0\"", code, nullptr};
        EXPECT_TRUE(System::ExecuteAndWait(nullptr, nullptr, argv));
        EXPECT_EQ(System::GetLastProcessExitCode(), (UINT)std::stoul(code));
    }
#endif
}

TEST(System, ExecuteAndWaitOfAProgramThatCannotRun) {
    ScratchDir dir;
    std::string missing = dir.Path("no such program.exe");
#ifdef _WIN32
    EXPECT_FALSE(System::ExecuteAndWait(("\"" + missing + "\"").c_str(), ""));
#else
    // Known at the start, as Windows knows it (the end-to-end test has the other kinds).
    for (std::string program : {missing, std::string("no-such-program-on-path")}) {
        const char* argv[] = {program.c_str(), nullptr};
        EXPECT_FALSE(System::ExecuteAndWait(nullptr, nullptr, argv)) << program;
    }
#endif
}

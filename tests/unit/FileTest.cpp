#include <gtest/gtest.h>

#include <filesystem>

#include "File.h"
#include "TestUtil.h"

namespace {
void Release(File* file) {
    if (!file) return;
    file->Close(file);
    System::SafeFreeMemory(file);
}
} // namespace

TEST(File, OpenAndCreate) {
    ScratchDir dir;
    EXPECT_EQ(File::Open(dir.Path("missing").c_str()), nullptr);
    EXPECT_EQ(File::Open(nullptr), nullptr);
    EXPECT_EQ(File::Create(nullptr), nullptr);

    dir.Write("present", "0123");
    File* file = File::Open(dir.Path("present").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->GetCurentPos(file), 0u);
    EXPECT_EQ(file->GetSize(), 4u);
    Release(file);

    // Create makes the missing folders, and empties an existing file.
    File* created = File::Create(dir.Path("a|b|c.txt").c_str());
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->Write(created, (const BYTE*)"xyz", 3));
    Release(created);
    EXPECT_EQ(dir.Read("a|b|c.txt"), "xyz");
    Release(File::Create(dir.Path("a|b|c.txt").c_str()));
    EXPECT_EQ(dir.Read("a|b|c.txt"), "");
}

TEST(File, DeepTreesAtAnyLength) {
    // Past MAX_PATH of the Windows ANSI file functions, as a deep payload entry goes.
    ScratchDir dir;
    std::string deep = dir.Folder();
    while (deep.size() < 300)
        deep += "plugin-with-a-versioned-name_" + std::to_string(deep.size()) + OS::kSeparator;
    std::string path = deep + "entry.txt";
    File* created = File::Create(path.c_str());
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->Write(created, (const BYTE*)"deep", 4));
    Release(created);
    EXPECT_TRUE(OS::PathExists(path.c_str()));
    File* opened = File::Open(path.c_str());
    ASSERT_NE(opened, nullptr);
    BYTE buffer[8] = {};
    EXPECT_EQ(opened->Read(opened, buffer, 4), 4u);
    EXPECT_EQ(std::string((const char*)buffer), "deep");
    Release(opened);
    EXPECT_EQ(OS::CreateFolderTree(deep.c_str()), OS::kFolderExisted);
    EXPECT_EQ(OS::CreateFolderOnce((deep + "more").c_str()), OS::kFolderCreated);
    EXPECT_EQ(OS::CreateFolderTree((deep + "a" + OS::kSeparator + "b").c_str()),
              OS::kFolderCreated);
}

TEST(File, ConstructorOpensExistingFilesOnly) {
    ScratchDir dir;
    {
        // Read mode makes the folder, then fails to open.
        File missing(dir.Path("newdir|missing.txt").c_str(), true);
        EXPECT_TRUE(std::filesystem::is_directory(dir.Path("newdir")));
        EXPECT_EQ(missing.GetSize(), 0xFFFFFFFFu);
        BYTE buffer[4];
        EXPECT_EQ(missing.Read(&missing, buffer, 4), 0u);
    }
    {
        // Write mode never creates the file.
        File missing(dir.Path("none.ini").c_str(), false);
        EXPECT_FALSE(missing.Write(&missing, (const BYTE*)"x", 1));
        EXPECT_FALSE(std::filesystem::exists(dir.Path("none.ini")));
    }
    dir.Write("app.ini", "-vmargs");
    {
        File ini(dir.Path("app.ini").c_str(), false);
        EXPECT_TRUE(ini.Seek(&ini, (int32_t)ini.GetSize(), 0));
        EXPECT_TRUE(ini.Write(&ini, (const BYTE*)"\r\n-Dx", 5));
    }
    EXPECT_EQ(dir.Read("app.ini"), "-vmargs\r\n-Dx");
}

TEST(File, OperationsAfterClose) {
    ScratchDir dir;
    dir.Write("f", "abcd");
    File* file = File::Open(dir.Path("f").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->Close(file));
    EXPECT_FALSE(file->Close(file));
    BYTE buffer[10];
    EXPECT_FALSE(file->Seek(file, 0, 0));
    EXPECT_FALSE(file->Skip(file, 1));
    EXPECT_FALSE(file->Write(file, buffer, 1));
    EXPECT_EQ(file->GetCurentPos(file), 0xFFFFFFFFu);
    EXPECT_EQ(file->ReadUINT(file), 0xFFFFFFFFu);
    EXPECT_EQ(file->Read(file, buffer, 10), 12u);
    EXPECT_EQ(file->Read(file, nullptr, 10), 11u);
    EXPECT_EQ(file->Read(file, buffer, 0), 0u);
    System::SafeFreeMemory(file);
}

TEST(File, SeekReadAndReadUINT) {
    ScratchDir dir;
    dir.Write("f", std::string("\x01\x02\x03\x04\xff\xff\xff\xff\x05", 9));
    File* file = File::Open(dir.Path("f").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->ReadUINT(file), 0x04030201u);
    UINT value = 0;
    EXPECT_TRUE(file->ReadUINT(file, &value)) << "a stored 0xFFFFFFFF is a full read";
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_FALSE(file->ReadUINT(file, &value)) << "one byte left is a short read";

    EXPECT_FALSE(file->Seek(file, -10, 2)) << "before the start";
    EXPECT_TRUE(file->Seek(file, 100, 2)) << "beyond the end is allowed";
    BYTE buffer[4];
    EXPECT_EQ(file->Read(file, buffer, 4), 0u);
    EXPECT_TRUE(file->Seek(file, 2, 0));
    EXPECT_TRUE(file->Skip(file, 3));
    EXPECT_EQ(file->GetCurentPos(file), 5u);
    EXPECT_EQ(file->Read(file, buffer, 4), 4u);
    EXPECT_EQ(file->Read(file, buffer, 4), 0u) << "at the end";
    EXPECT_TRUE(file->Write(file, buffer, 0)) << "writing nothing succeeds";
    Release(file);
}

TEST(File, CreateDirectory) {
    ScratchDir dir;
    EXPECT_TRUE(File::CreateDirectoryA(dir.Path("x|y|z").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path("x|y|z")));
    EXPECT_TRUE(File::CreateDirectoryA(dir.Path("x|y|z").c_str())) << "existing folder";
    EXPECT_TRUE(File::CreateDirectoryA(dir.Path("x|y|").c_str())) << "trailing separator";
    dir.Write("plain", "");
    EXPECT_FALSE(File::CreateDirectoryA(dir.Path("plain|sub").c_str()));
}

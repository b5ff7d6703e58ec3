// The path forms of the Win32 platform layer: wide paths for the file functions, ANSI forms of
// the paths that the system gives, the command line's program path. (The removal's deep parts:
// tests/e2e/test_paths.py.)
#include <gtest/gtest.h>

#include <string>

#include "../TestUtil.h"
#include "os/Win32Path.h"

namespace {

using OS::Win32::kLongPath;

std::wstring Wide(const std::string& ansi) {
    std::wstring wide(ansi.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &wide[0], (int)wide.size());
    wide.resize(length > 0 ? length - 1 : 0);
    return wide;
}

// The ANSI text that the system's ANSI functions make of a wide one: "?" for what is missing.
std::string Ansi(const std::wstring& wide) {
    std::string ansi(wide.size() * 2 + 1, '\0');
    int length =
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &ansi[0], (int)ansi.size(), NULL, NULL);
    ansi.resize(length > 0 ? length - 1 : 0);
    return ansi;
}

std::wstring TakeWide(WCHAR* text) {
    std::wstring copy = text ? text : L"<null>";
    OS::Free(text);
    return copy;
}

bool WideExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CurrentFolder() {
    WCHAR folder[MAX_PATH + 1];
    GetCurrentDirectoryW(MAX_PATH + 1, folder);
    return folder;
}

// A folder name that the ANSI code page of a Western-European system lacks.
const std::wstring kCyrillic = L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439";

// A subfolder named name of a scratch folder of its own.
class NamedFolder {
  public:
    explicit NamedFolder(const std::wstring& name)
        : path_(Wide(dir_.Folder()) + name), made_(CreateDirectoryW(path_.c_str(), NULL)) {}
    const std::wstring& Path() const { return path_; }
    bool Made() const { return made_; }

  private:
    ScratchDir dir_;
    std::wstring path_;
    bool made_;
};

} // namespace

TEST(Win32Path, WidePathForms) {
    if (GetACP() != 1252) GTEST_SKIP() << "the table is written for code page 1252";
    std::string many(kLongPath, 'a');
    std::wstring wideMany = Wide(many);
    std::string cwd = Ansi(CurrentFolder());
    if (cwd.back() != '\\') cwd += '\\';
    struct Row {
        const char* label;
        std::string path;
        bool extended;
        std::wstring expected;
    } rows[] = {
        {"short, as it is", "C:\\dir\\file.txt", false, L"C:\\dir\\file.txt"},
        {"from the ANSI code page", "C:\\caf\xE9\\\x80.txt", false, L"C:\\caf\u00e9\\\u20ac.txt"},
        {"short relative, as it is", "sub/./x", false, L"sub/./x"},
        {"long absolute", "C:\\" + many, false, L"\\\\?\\C:\\" + wideMany},
        {"long, normalised", "C:/x/./y/../" + many, false, L"\\\\?\\C:\\x\\" + wideMany},
        {"long network path", "\\\\host\\share\\" + many, false,
         L"\\\\?\\UNC\\host\\share\\" + wideMany},
        {"long relative", "x\\" + many, false, L"\\\\?\\" + Wide(cwd) + L"x\\" + wideMany},
        {"extended already", "\\\\?\\C:\\" + many, false, L"\\\\?\\C:\\" + wideMany},
        {"extended on request", "C:\\short\\", true, L"\\\\?\\C:\\short\\"},
        {"just below the limit", "C:\\" + many.substr(4), false, L"C:\\" + wideMany.substr(4)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TakeWide(OS::Win32::WidePath(row.path.c_str(), row.extended)), row.expected)
            << row.label;
}

TEST(Win32Path, AnsiFormIsThePathOrItsShortForm) {
    // An exact path needs no short form, nor to exist; an inexact one that does not exist has
    // no form.
    EXPECT_EQ(Take(OS::Win32::AnsiForm(L"C:\\no such folder\\x")), "C:\\no such folder\\x");
    EXPECT_EQ(OS::Win32::AnsiForm((L"C:\\missing\\" + kCyrillic).c_str()), nullptr);
    // "\u015f" has a best-fit "s" in code page 1252: a different folder, never the answer.
    for (const std::wstring& name : {kCyrillic, std::wstring(L"ki\u015fi")}) {
        NamedFolder folder(name);
        ASSERT_TRUE(folder.Made());
        WCHAR shortForm[MAX_PATH];
        ASSERT_GT(GetShortPathNameW(folder.Path().c_str(), shortForm, MAX_PATH), 0u);
        if (folder.Path() == shortForm) GTEST_SKIP() << "no short names on this volume";
        std::string form = Take(OS::Win32::AnsiForm(folder.Path().c_str()));
        EXPECT_EQ(Wide(form), shortForm);
        EXPECT_EQ(form.find('?'), std::string::npos) << form;
        EXPECT_NE(form.substr(form.size() - 4), "kisi");
        // The ANSI functions reach the folder through it.
        std::string inside = form + "\\made.txt";
        HANDLE file = CreateFileA(inside.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << inside;
        CloseHandle(file);
        EXPECT_TRUE(WideExists(folder.Path() + L"\\made.txt"));
    }
}

TEST(Win32Path, CommandLineGetsTheProgramPathsAnsiForm) {
    NamedFolder folder(kCyrillic);
    ASSERT_TRUE(folder.Made());
    std::wstring program = folder.Path() + L"\\setup.exe";
    HANDLE file = CreateFileW(program.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    std::string form = Take(OS::Win32::AnsiForm(program.c_str()));
    ASSERT_EQ(form.find('?'), std::string::npos) << form;

    std::wstring argument = L" -x \"" + kCyrillic + L" y\"\t-vmargs -Da=b";
    struct Row {
        const char* label;
        std::wstring wide;
        std::string expected; // empty: the line stays as it is
    } rows[] = {
        // The rest of the line stays as the ANSI line has it, "?" included.
        {"quoted", L"\"" + program + L"\"" + argument, "\"" + form + "\"" + Ansi(argument)},
        {"unquoted", program + argument, form + Ansi(argument)},
        {"alone", L"\"" + program + L"\"", "\"" + form + "\""},
        {"exact", L"\"C:\\x\\setup.exe\" " + kCyrillic, ""},
        {"no such program", L"\"" + folder.Path() + L"\\none.exe\" x", ""},
    };
    for (const Row& row : rows) {
        std::string ansi = Ansi(row.wide);
        char* line = OS::Win32::CommandLineWithAnsiProgram(ansi.c_str(), row.wide.c_str());
        if (row.expected.empty())
            EXPECT_EQ(line, nullptr) << row.label << ": " << line;
        else
            EXPECT_EQ(Take(line), row.expected) << row.label;
    }
}

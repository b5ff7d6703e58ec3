#include "PackTestSupport.h"

#include "Inspect.h"
#include "System.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace packtest {

const char* const kOpenTrace = "SFX Header record parsing...OK\n"
                               "Execution Info parsing...OK\n"
                               "File Information Table parsing...OK\n"
                               "Required Files Table parsing...OK\n"
                               "Allocating memory for Strings Table...OK\n"
                               "Parsing Strings Table...OK\n";

namespace {

std::string logPath;

// One folder for the whole run, made the temporary folder so that the debug log lands there;
// the debug console is opened once, as the launcher opens it once per run.
class DebugConsoleEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/sfxpack-tests.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root_ = name.data();
        setenv("TMPDIR", root_.c_str(), 1);
        testing::internal::CaptureStderr();
        System::AllocateConsole("sfxpack tests");
        testing::internal::GetCapturedStderr();
        logPath = root_ + "/quillane.log";
        ASSERT_TRUE(Exists(logPath));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

  private:
    std::string root_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new DebugConsoleEnvironment);

uintmax_t logMark = 0;

} // namespace

void PutUint(std::string* bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes->push_back((char)(uint8_t)(value >> shift));
}

uint32_t GetUint(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = value << 8 | (uint8_t)bytes.at(offset + i);
    return value;
}

std::string TestPayload::Body() const {
    uint32_t n = count >= 0 ? (uint32_t)count : (uint32_t)entries.size();
    std::string bytes = signature;
    bytes.push_back((char)version);
    PutUint(&bytes, n);
    PutUint(&bytes, flags);
    PutUint(&bytes, executableId >= 0 ? (uint32_t)executableId : (uint32_t)entries.size());
    PutUint(&bytes, argsId >= 0 ? (uint32_t)argsId : (uint32_t)entries.size() + 1);
    for (size_t i = 0; i < entries.size(); i++) {
        PutUint(&bytes, entries[i].size >= 0 ? (uint32_t)entries[i].size
                                             : (uint32_t)entries[i].data.size());
        PutUint(&bytes, 0xFFFFFFFF); // never read as a string id
    }
    PutUint(&bytes, requiredCount >= 0 ? (uint32_t)requiredCount : (uint32_t)required.size());
    for (uint32_t id : required)
        PutUint(&bytes, id);
    for (const TestEntry& entry : entries) {
        PutUint(&bytes, (uint32_t)entry.name.size());
        bytes += entry.name;
    }
    PutUint(&bytes, (uint32_t)autorun.size());
    bytes += autorun;
    PutUint(&bytes, (uint32_t)args.size());
    bytes += args;
    for (const TestEntry& entry : entries)
        bytes += entry.data;
    return bytes;
}

std::string TestPayload::Bytes() const {
    std::string body = Body();
    std::string bytes = stub + body;
    PutUint(&bytes, packageSize >= 0 ? (uint32_t)packageSize : (uint32_t)body.size());
    PutUint(&bytes, crc);
    return bytes;
}

uint32_t ReferenceCrc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

Scratch::Scratch() {
    std::string pattern = fs::temp_directory_path().string() + "/scratch.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data())) path_ = name.data();
}

Scratch::~Scratch() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    fs::path file(path);
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

std::vector<std::string> Tree(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string name = fs::relative(it->path(), folder).string();
        if (it->is_directory() && !it->is_symlink()) name += "/";
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

ToolRun RunSfxpack(const std::vector<std::string>& args, const std::string& cwd) {
    Scratch capture;
    std::string outPath = capture / "out", errPath = capture / "err";
    std::vector<char*> argv;
    std::string program = SFXPACK_PATH;
    argv.push_back(&program[0]);
    std::vector<std::string> copies = args;
    for (std::string& arg : copies)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    ToolRun run;
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadFile(outPath);
    run.err = ReadFile(errPath);
    return run;
}

std::string Box(const std::string& text) {
    return "Extracting error: " + text + "\n";
}

void StartCapture(bool debug) {
    std::error_code ignored;
    logMark = fs::file_size(logPath, ignored);
    in_debug_mode = debug;
    testing::internal::CaptureStderr();
}

Shown StopCapture() {
    Shown shown;
    shown.err = testing::internal::GetCapturedStderr();
    in_debug_mode = false;
    shown.log = ReadFile(logPath).substr((size_t)logMark);
    return shown;
}

bool OpenCaptured(const std::string& path, bool traceFooter, bool debug, OpenedPayload* opened,
                  Shown* shown) {
    *opened = OpenedPayload();
    StartCapture(debug);
    bool ok = OpenPayload(path.c_str(), traceFooter, opened);
    *shown = StopCapture();
    return ok;
}

void Release(OpenedPayload* opened) {
    ClosePayload(opened);
}

} // namespace packtest

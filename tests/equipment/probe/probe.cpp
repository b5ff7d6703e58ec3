// probe: a stand-in for the autorun program that the launcher starts, for the end-to-end tests.
//
// It reads "probe.cfg" beside its own executable, else in its working directory (so that a copy
// named java or javax on the search path finds the one at the top of the extraction folder).
// One setting per line; the actions run in the order of their lines:
//
//   report=PATH          where the report goes (required; relative to the working directory)
//   exit=N               the exit code (default 0)
//   check=REL_PATH       records whether that file or folder exists (relative to the working
//                        directory)
//   read=PATH            records the content of that file
//   connect=1            connects once to 127.0.0.1:12345 (the splash close signal)
//   fetch=NAME@DIR       runs the launcher named by "-DextractorLoc=" (in the ini file, else in
//                        the command line) with "-extract=NAME@DIR", waits and records its exit
//                        code; on Windows the switch is quoted whole when it holds a blank
//                        (the POSIX launcher quotes such an argument itself)
//   sleep_ms=N           waits N milliseconds
//
// The report has one "key=value" line per fact, values escaped so that CR, LF, tabs,
// backslashes and bytes outside printable ASCII stay visible: \r \n \t \\ \xHH.
//   self, cmdline, argc, argv=<each element>, cwd, config, ini.path, ini.exists, ini,
//   then per action: check=<0|1> REL, read=<0|1> PATH, read.content=..., connect=<0|1>,
//   fetch.launcher=..., fetch=<exit code> NAME@DIR (-1 when it could not start), slept=N,
//   config.error=... for a setting it does not know, and last exit=N.
// Exit code: the one configured; 2 when no configuration or no report path was found.
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const char kConfigName[] = "probe.cfg";
const char kLocationKey[] = "-DextractorLoc=";
const unsigned short kClosePort = 12345;

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += (char)c;
    }
    return out;
}

bool ReadFile(const std::string& path, std::string* content) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    content->clear();
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content->append(buffer, got);
    std::fclose(file);
    return true;
}

std::string Folder(const std::string& path) {
    size_t last = path.find_last_of(kSeparator);
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// ---- the few platform services the probe needs -------------------------------------------

#ifdef _WIN32

std::string SelfPath() {
    char buffer[MAX_PATH + 1] = {};
    GetModuleFileNameA(NULL, buffer, MAX_PATH);
    return buffer;
}

std::string RawCommandLine() {
    return GetCommandLineA();
}

std::string WorkingDirectory() {
    char buffer[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(MAX_PATH, buffer);
    return buffer;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The exit code of the finished program, or -1 when it could not be started.
long RunAndWait(const std::string& program, const std::string& argument) {
    std::string commandLine = "\"" + program + "\" " + argument;
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(0);
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, buffer.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return (long)(int)code;
}

bool ConnectToClosePort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    bool connected = false;
    if (s != INVALID_SOCKET) {
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(kClosePort);
        connected = connect(s, (sockaddr*)&address, sizeof address) == 0;
        closesocket(s);
    }
    WSACleanup();
    return connected;
}

#else

std::vector<std::string> arguments;

std::string SelfPath() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return std::string(buffer, length < 0 ? 0 : (size_t)length);
}

std::string RawCommandLine() {
    std::string line;
    for (size_t i = 0; i < arguments.size(); i++)
        line += (i ? " " : "") + arguments[i];
    return line;
}

std::string WorkingDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long RunAndWait(const std::string& program, const std::string& argument) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), argument.c_str(), (char*)0);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    if (!WIFEXITED(status)) return 128 + WTERMSIG(status);
    int code = WEXITSTATUS(status);
    // A failed exec is reported like a program that could not be started.
    return code == 127 ? -1 : code;
}

bool ConnectToClosePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(kClosePort);
    bool connected = connect(s, (sockaddr*)&address, sizeof address) == 0;
    close(s);
    return connected;
}

#endif

// ---- the probe -----------------------------------------------------------------------------

struct Report {
    std::vector<std::pair<std::string, std::string>> lines;
    void Add(const std::string& key, const std::string& value) { lines.emplace_back(key, value); }
};

// The launcher named after "-DextractorLoc=": the ini line wins; in the command line the value
// runs to the closing quote when the switch was quoted, else to the next blank.
std::string FindLauncher(const std::string& ini, const std::string& commandLine) {
    size_t at = ini.find(kLocationKey);
    if (at != std::string::npos) {
        size_t start = at + std::strlen(kLocationKey);
        size_t end = ini.find_first_of("\r\n", start);
        return ini.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    at = commandLine.find(kLocationKey);
    if (at == std::string::npos) return std::string();
    size_t start = at + std::strlen(kLocationKey);
    bool quoted = at > 0 && commandLine[at - 1] == '"';
    size_t end = commandLine.find(quoted ? '"' : ' ', start);
    return commandLine.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::pair<std::string, std::string>> ParseConfig(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> settings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            settings.emplace_back(line, std::string());
        else
            settings.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return settings;
}

int Run() {
    Report report;
    std::string self = SelfPath();
    std::string commandLine = RawCommandLine();
    report.Add("self", self);
    report.Add("cmdline", commandLine);
#ifdef _WIN32
    report.Add("argc", std::to_string(__argc));
    for (int i = 0; i < __argc; i++)
        report.Add("argv", __argv[i]);
#else
    report.Add("argc", std::to_string(arguments.size()));
    for (const std::string& argument : arguments)
        report.Add("argv", argument);
#endif
    report.Add("cwd", WorkingDirectory());

    std::string configPath = Folder(self) + kConfigName, configText;
    if (!ReadFile(configPath, &configText)) {
        configPath = kConfigName;
        if (!ReadFile(configPath, &configText)) {
            std::fprintf(stderr, "probe: no %s\n", kConfigName);
            return 2;
        }
    }
    report.Add("config", configPath);

    // The ini file beside the program: its path with the last three characters made "ini".
    std::string iniPath = self.size() >= 3 ? self.substr(0, self.size() - 3) + "ini" : self;
    std::string ini;
    bool haveIni = ReadFile(iniPath, &ini);
    report.Add("ini.path", iniPath);
    report.Add("ini.exists", haveIni ? "1" : "0");
    report.Add("ini", ini);

    std::string reportPath;
    long exitCode = 0;
    for (const auto& setting : ParseConfig(configText)) {
        const std::string& key = setting.first;
        const std::string& value = setting.second;
        if (key == "report") {
            reportPath = value;
        } else if (key == "exit") {
            exitCode = std::strtol(value.c_str(), 0, 10);
        } else if (key == "check") {
            report.Add("check", std::string(Exists(value) ? "1 " : "0 ") + value);
        } else if (key == "read") {
            std::string content;
            bool read = ReadFile(value, &content);
            report.Add("read", std::string(read ? "1 " : "0 ") + value);
            report.Add("read.content", content);
        } else if (key == "connect") {
            report.Add("connect", ConnectToClosePort() ? "1" : "0");
        } else if (key == "fetch") {
            std::string launcher = FindLauncher(ini, commandLine);
            report.Add("fetch.launcher", launcher);
            std::string argument = "-extract=" + value;
#ifdef _WIN32
            if (argument.find(' ') != std::string::npos) argument = "\"" + argument + "\"";
#endif
            long code = launcher.empty() ? -1 : RunAndWait(launcher, argument);
            report.Add("fetch", std::to_string(code) + " " + value);
        } else if (key == "sleep_ms") {
            long ms = std::strtol(value.c_str(), 0, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            report.Add("slept", std::to_string(ms));
        } else {
            report.Add("config.error", "unknown setting '" + key + "'");
        }
    }
    report.Add("exit", std::to_string(exitCode));

    if (reportPath.empty()) {
        std::fprintf(stderr, "probe: no report path in %s\n", configPath.c_str());
        return 2;
    }
    // Written under another name and renamed, so that a reader never sees half a report.
    std::string partial = reportPath + ".part";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (!out) return 2;
    for (const auto& line : report.lines)
        std::fprintf(out, "%s=%s\n", line.first.c_str(), Escape(line.second).c_str());
    std::fclose(out);
    std::remove(reportPath.c_str());
    if (std::rename(partial.c_str(), reportPath.c_str()) != 0) return 2;
    return (int)exitCode;
}

} // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    arguments.assign(argv, argv + argc);
#else
    (void)argc;
    (void)argv;
#endif
    return Run();
}

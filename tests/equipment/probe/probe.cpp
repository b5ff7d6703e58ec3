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
//   get=NAME@DIR         the same, and records whether DIR/NAME arrived
//   sleep_ms=N           waits N milliseconds
//   wait_for=PATH        waits until that file exists (at most two minutes)
//
// The report has one "key=value" line per fact, values escaped so that CR, LF, tabs,
// backslashes and bytes outside printable ASCII stay visible: \r \n \t \\ \xHH.
//   self, cmdline, argc, argv=<each element>, cwd, config, ini.path, ini.exists, ini,
//   then per action: check=<0|1> REL, read=<0|1> PATH, read.content=..., connect=<0|1>,
//   fetch.launcher=..., fetch=<exit code> NAME@DIR (-1 when it could not start),
//   get=<0|1> NAME@DIR, slept=N,
//   waited=<0|1> PATH,
//   config.error=... for a setting it does not know, and last exit=N.
// Exit code: the one configured; 2 when no configuration or no report path was found.
//
// The launcher's path from the ini file, the splash close and the extraction requests are those
// of the helper that ships for started programs (sfxlauncher.h), so these tests exercise it.
#include "sfxlauncher.h"

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
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    // Deep entries lie beyond MAX_PATH, where only the wide functions reach, in the \\?\ form.
    std::wstring wide(path.size() + 1, L'\0'), full(32768, L'\0');
    if (!MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], (int)wide.size())) return false;
    DWORD length = GetFullPathNameW(wide.c_str(), (DWORD)full.size(), &full[0], NULL);
    if (length == 0 || length >= full.size()) return false;
    full.resize(length);
    return GetFileAttributesW((L"\\\\?\\" + full).c_str()) != INVALID_FILE_ATTRIBUTES;
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

#endif

// ---- the probe -----------------------------------------------------------------------------

struct Report {
    std::vector<std::pair<std::string, std::string>> lines;
    void Add(const std::string& key, const std::string& value) { lines.emplace_back(key, value); }
};

// The launcher named after "-DextractorLoc=": the ini line wins; in the command line the value
// runs to the closing quote when the switch was quoted, else to the next blank.
std::string FindLauncher(const std::string& commandLine) {
    char fromIni[4096];
    if (sfx_launcher_path(fromIni, sizeof fromIni)) return fromIni;
    size_t at = commandLine.find(kLocationKey);
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
            report.Add("connect", sfx_close_splash() ? "1" : "0");
        } else if (key == "fetch" || key == "get") {
            // The launcher, too, splits at the first "@".
            size_t at = value.find('@');
            std::string name = value.substr(0, at);
            std::string folder = at == std::string::npos ? "" : value.substr(at + 1);
            std::string launcher = FindLauncher(commandLine);
            if (key == "get") {
                bool arrived = sfx_fetch(launcher.c_str(), name.c_str(), folder.c_str());
                report.Add("get", std::string(arrived ? "1 " : "0 ") + value);
                continue;
            }
            report.Add("fetch.launcher", launcher);
            long code = launcher.empty()
                            ? -1
                            : sfx_run_extract(launcher.c_str(), name.c_str(), folder.c_str());
            report.Add("fetch", std::to_string(code) + " " + value);
        } else if (key == "sleep_ms") {
            long ms = std::strtol(value.c_str(), 0, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            report.Add("slept", std::to_string(ms));
        } else if (key == "wait_for") {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            while (!Exists(value) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            report.Add("waited", std::string(Exists(value) ? "1 " : "0 ") + value);
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

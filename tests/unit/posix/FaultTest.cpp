// Every operation of the platform layer made to fail in turn, call by call, in the build's own
// launcher (its fault table, src/os/FaultTable.h): an install run and an extraction of a small
// payload, once cleanly to count the calls, then once per operation and per call with that call
// failing. Each run must end as the clean run does, or with exactly one of the launcher's boxes,
// its clean-up and exit status 1, and leave nothing behind but what it was asked to write. A
// program that cannot be executed is known at its start, as a failed start.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../TestUtil.h"
#include "os/FaultTable.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
typedef std::vector<std::string> Lines;

const std::string kBoxPrefix = "Extracting error: ";
const char kStartBox[] = "Failed to start or wait for executable.";
const char kExtractBox[] = "Failed to extract required file";
// The opening sequence's boxes, in both modes.
const std::set<std::string> kOpeningBoxes = {"Failed to open extractor",
                                             "Failed to navigate to SFX Footer",
                                             "Failed to parse SFX Header",
                                             "SFX Header invalid",
                                             "Failed to parse ExecutionInfo",
                                             "Failed to parse File Information Table",
                                             "Failed to parse Required Files Table",
                                             "Failed to allocate memory for Strings Table",
                                             "Failed to parse Strings Table"};
// The install run's boxes before the first extraction: no removal follows.
const std::set<std::string> kBeforeExtractionBoxes = {
    "Failed to get extractor name", "Failed to get system temporary folder",
    "Failed to form extraction temporary folder", "Failed to combine extraction folder"};
// The install run's boxes from the first extraction on: the folder's removal follows.
const std::set<std::string> kRemovalBoxes = {
    "Failed to extract version file.",
    "Failed to extract splash bitmap.",
    "Failed to extract file(s). Ensure that your temporary folder is accessible and have enough "
    "free size.",
    "Failed to retreive arguments for executable.",
    "Failed to allocate enough memory to form execution string.",
    "Failed to set current directory",
    kStartBox};

const std::regex kFolder("sfx[0-9]+\\.tmp");

const int kProgramExit = 7;
// The started program keeps what it found: its arguments and a copy of its working directory.
const char kProgram[] = "#!/bin/sh\n"
                        "exec 2>\"$FAULT_TEST_SNAPSHOT/err\"\n"
                        "printf '%s\\n' \"$@\" >\"$FAULT_TEST_SNAPSHOT/args\"\n"
                        "cp -R . \"$FAULT_TEST_SNAPSHOT/tree\"\n"
                        "exit 7\n";
const char kIni[] = "bin/start.ini";
const char kZip[] = "plugins/extra.zip";

std::string Pattern(size_t size, int seed) {
    std::string bytes(size, 0);
    for (size_t i = 0; i < size; i++)
        bytes[i] = (char)('a' + (i * 7 + seed) % 26);
    return bytes;
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Names below folder, '/'-separated, folders with a trailing '/'; only the top level when flat.
std::set<std::string> Tree(const fs::path& folder, bool flat = false) {
    std::set<std::string> names;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        names.insert(it->path().lexically_relative(folder).string() +
                     (it->is_directory() && !flat ? "/" : ""));
        if (flat) it.disable_recursion_pending();
    }
    return names;
}

template <class Names> std::string Join(const Names& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return "[" + text + "]\n";
}

struct Outcome {
    int status = -1;     // the exit status; -1 when the launcher did not exit
    bool settled = true; // every process that it left behind ended in time
    Lines boxes;
    std::string other; // standard error that is no box
    Lines journal;
    std::map<std::string, unsigned> calls;
    bool fired = false;
};

// The scratch layout: the installer in a folder of its own, the temporary folder (its name holds
// what a shell would take as syntax), the extraction's requested folder, the launcher's working
// directory and the test's own files; and what a run must have done there.
class Rig {
  public:
    explicit Rig(const std::vector<TestEntry>& entries)
        : installer_(dir_.Path("inst|setup.run")), temp_(dir_.Path("t $HOME `true` \"q\" \\ '")),
          out_(dir_.Path("out")), cwd_(dir_.Path("cwd")), own_(dir_.Path("test")) {
        for (const fs::path& folder : {fs::path(installer_).parent_path(), temp_, out_, cwd_, own_})
            fs::create_directories(folder);
        std::ofstream(installer_, std::ios::binary)
            << ReadAll(LAUNCHER_PATH)
            << BuildPayload(entries, "bin\\start.run", "--launcher \"$#launcher#\" --stored");
        chmod(installer_.c_str(), 0755);
        for (const TestEntry& entry : entries) {
            std::string name = entry.name;
            for (char& c : name)
                if (c == '\\') c = '/';
            for (size_t slash = name.find('/'); slash != std::string::npos;
                 slash = name.find('/', slash + 1))
                tree_.insert(name.substr(0, slash + 1));
            if (name != kZip) tree_.insert(name);
            files_[name] = entry.data;
        }
    }
    const std::string& Installer() const { return installer_; }
    // The started program ran in the last run.
    bool ProgramRan() const { return fs::exists(own_ / "snapshot" / "args"); }
    const fs::path& Out() const { return out_; }

    // Runs the installer with these arguments, the nth call of an operation failing when fault
    // ("<operation>:<n>") is given, and waits for everything that it started.
    Outcome Run(Lines arguments, const std::string& fault) const {
        fs::path log = own_ / "faults", err = own_ / "err";
        fs::remove(log);
        fs::remove_all(own_ / "snapshot");
        fs::create_directories(own_ / "snapshot");
        Lines settings = {"TMPDIR=" + temp_.string(), "LAUNCHER_FAULT_LOG=" + log.string(),
                          "FAULT_TEST_SNAPSHOT=" + (own_ / "snapshot").string(),
                          // The launcher leaves its heap to the end of the process.
                          "ASAN_OPTIONS=detect_leaks=0:exitcode=86", "UBSAN_OPTIONS=exitcode=86"};
        if (!fault.empty()) settings.push_back("LAUNCHER_FAULT=" + fault);
        for (char** variable = environ; *variable; variable++) {
            std::string name = *variable;
            name = name.substr(0, name.find('=') + 1);
            if (name != "TMPDIR=" && name.compare(0, 9, "LAUNCHER_") != 0 &&
                name.find("SAN_OPTIONS=") == std::string::npos)
                settings.push_back(*variable);
        }
        arguments.insert(arguments.begin(), installer_);
        std::vector<char*> envp, argv;
        for (std::string& setting : settings)
            envp.push_back(&setting[0]);
        for (std::string& argument : arguments)
            argv.push_back(&argument[0]);
        envp.push_back(nullptr);
        argv.push_back(nullptr);

        // Spawned rather than forked, so that this process's sanitizer shadow is not copied.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, cwd_.c_str());
        fs::remove(err);
        pid_t pid = -1;
        Outcome outcome;
        int status = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0 &&
            waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            outcome.status = WEXITSTATUS(status);
        posix_spawn_file_actions_destroy(&actions);
        // The removal and the started program may outlive the launcher: this process is their
        // subreaper and collects them.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (pid_t ended; (ended = waitpid(-1, &status, WNOHANG)) >= 0 && outcome.settled;) {
            if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            outcome.settled = std::chrono::steady_clock::now() < deadline;
        }

        std::istringstream errLines(ReadAll(err)), logLines(ReadAll(log));
        for (std::string line; std::getline(errLines, line);) {
            if (line.compare(0, kBoxPrefix.size(), kBoxPrefix) == 0)
                outcome.boxes.push_back(line.substr(kBoxPrefix.size()));
            else
                outcome.other += line + "\n";
        }
        for (std::string line; std::getline(logLines, line);) {
            std::istringstream words(line);
            std::string word, name;
            unsigned count = 0;
            if (words >> word && word == "calls" && words >> name >> count)
                outcome.calls[name] = count;
            else if (word == "fired")
                outcome.fired = line == "fired 1";
            else
                outcome.journal.push_back(line);
        }
        return outcome;
    }

    // What an install run must have done: an empty text when it did.
    std::string CheckInstall(const Outcome& run) const {
        std::string problem = Common(run);
        // The folder and its mark are left only when their removal failed; the removal has
        // finished when the launcher returns.
        bool removalFailed = !run.journal.empty() && run.journal.back() == "RemoveTree failed";
        std::set<std::string> left = Tree(temp_, true);
        for (const std::string& name : planted_)
            left.erase(name);
        planted_.clear();
        fs::remove_all(temp_);
        fs::create_directories(temp_);
        if (left.size() > (removalFailed ? 2 : 0) ||
            (removalFailed && (left.size() != 2 || !std::regex_match(*left.begin(), kFolder) ||
                               *left.rbegin() != *left.begin() + ".live")))
            problem += "left in the temporary folder: " + Join(left);
        Lines journal = {removalFailed ? "RemoveTree failed" : "RemoveTree"};
        if (run.boxes.empty()) {
            if (run.calls.count("FileOpen") && run.calls.at("FileOpen") == 0)
                return problem + Silent(run);
            journal.insert(journal.begin(), "StartProcess");
            if (run.status != kProgramExit) problem += "exit status without a box\n";
            if (run.journal != journal) problem += "journal: " + Join(run.journal);
            return problem + Program();
        }
        const std::string& box = run.boxes[0];
        // A folder that the run could not make is not removed either: nothing is left, as
        // checked above.
        if (!kRemovalBoxes.count(box) || run.journal == Lines{"ErrorBox"}) journal.clear();
        journal.insert(journal.begin(), "ErrorBox");
        // Only a start that failed, or a wait, shows the start box after the program's start.
        bool started =
            box == kStartBox && run.journal.size() > 1 && run.journal[0] == "StartProcess";
        if (box == kStartBox && run.journal.size() > 1 && run.journal[0].find("StartProcess") == 0)
            journal.insert(journal.begin(), run.journal[0]);
        if (!kOpeningBoxes.count(box) && !kBeforeExtractionBoxes.count(box) &&
            !kRemovalBoxes.count(box))
            problem += "not an install box: " + box + "\n";
        if (run.journal != journal) problem += "journal: " + Join(run.journal);
        if (!started && fs::exists(own_ / "snapshot" / "args")) problem += "the program ran\n";
        return problem;
    }

    // What an extraction must have done: an empty text when it did.
    std::string CheckExtract(const Outcome& run) const {
        std::string problem = Common(run);
        if (!Tree(temp_).empty()) problem += "written to the temporary folder\n";
        std::set<std::string> out = Tree(out_);
        std::string zip = files_.at(kZip), got = ReadAll(out_ / kZip);
        fs::remove_all(out_);
        fs::create_directories(out_);
        if (run.journal != Lines(run.boxes.size(), "ErrorBox"))
            problem += "journal: " + Join(run.journal);
        if (run.status == 0 && run.boxes.empty()) {
            if (out != std::set<std::string>{"plugins/", kZip} || got != zip)
                problem += "extracted: " + Join(out);
            return problem;
        }
        if (run.boxes.empty() && run.calls.count("FileOpen") && run.calls.at("FileOpen") == 0)
            return problem + Silent(run);
        // Without a box the entry was not found; what was written before a failure stays, and
        // is the entry's beginning.
        if (run.status != 1) problem += "exit status " + std::to_string(run.status) + "\n";
        if (!run.boxes.empty() && !kOpeningBoxes.count(run.boxes[0]) && run.boxes[0] != kExtractBox)
            problem += "not an extraction box: " + run.boxes[0] + "\n";
        out.erase("plugins/");
        out.erase(kZip);
        if (!out.empty() || zip.compare(0, got.size(), got) != 0)
            problem += "extracted: " + Join(out);
        return problem;
    }

    // Plants links to target under the folder names (and every fourth mark name) that the tick
    // counts give from now to three seconds after the planting: the launcher's tick count is this
    // clock's, and the planting itself may take a while on a busy machine.
    void Plant(const fs::path& target) {
        auto now = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
        for (auto tick = now() - 100; tick < now() + 3000; tick++) {
            std::string name = "sfx" + std::to_string((uint32_t)tick) + ".tmp";
            if (tick % 4 == 0) name += ".live";
            if (symlink(target.c_str(), (temp_ / name).c_str()) == 0) planted_.insert(name);
        }
    }

  private:
    // Every run: it ends by itself with at most one box and nothing else on standard error, and
    // writes nowhere but where it may.
    std::string Common(const Outcome& run) const {
        std::string problem;
        if (!run.settled) problem += "a started process did not end\n";
        if (run.status < 0) problem += "the launcher did not exit\n";
        if (!run.other.empty()) problem += "standard error: " + run.other;
        if (run.boxes.size() > 1) problem += "boxes: " + Join(run.boxes);
        if (run.boxes.size() == 1 && run.status != 1) problem += "exit status after a box\n";
        if (Tree(fs::path(installer_).parent_path()) != std::set<std::string>{"setup.run"})
            problem += "written beside the installer\n";
        if (!Tree(cwd_).empty()) problem += "written to the working directory\n";
        if (!run.calls.count("FileOpen")) problem += "no call counts\n";
        return problem;
    }

    // Without memory to analyse the command line, nothing runs.
    std::string Silent(const Outcome& run) const {
        return run.status != 1 || !run.journal.empty() ? "ended without a box: " + Join(run.journal)
                                                       : "";
    }

    // The started program found its arguments and every entry complete.
    std::string Program() const {
        std::string problem;
        fs::path snapshot = own_ / "snapshot";
        Lines args = {"--launcher", installer_, "--stored", "--user", "two words"};
        std::string expected;
        for (const std::string& arg : args)
            expected += arg + "\n";
        if (ReadAll(snapshot / "args") != expected)
            problem += "arguments: " + ReadAll(snapshot / "args") + "\n";
        problem += ReadAll(snapshot / "err");
        if (Tree(snapshot / "tree") != tree_)
            problem += "extracted: " + Join(Tree(snapshot / "tree"));
        for (const auto& file : files_) {
            std::string content = ReadAll(snapshot / "tree" / file.first);
            if (!tree_.count(file.first) || content == file.second) continue;
            // An ini file that cannot be written is no failure: the lines appended are the
            // first ones, up to a write that failed.
            std::string lines = "-DextractorLoc=" + installer_ + "\r\n-Xmx1m\r\n";
            std::string appended = content.substr(std::min(content.size(), file.second.size()));
            if (file.first != kIni || content.compare(0, file.second.size(), file.second) != 0 ||
                lines.compare(0, appended.size(), appended) != 0)
                problem += "content of " + file.first + ": " + content + "\n";
        }
        return problem;
    }

    ScratchDir dir_;
    std::string installer_;
    fs::path temp_, out_, cwd_, own_;
    std::map<std::string, std::string> files_;
    std::set<std::string> tree_;
    mutable std::set<std::string> planted_;
};

} // namespace

const std::vector<TestEntry> kEntries = {
    {"bin\\", ""},
    {"bin\\start.run", kProgram},
    {"bin\\start.ini", "-vmargs\r\n-Xms8m\r\n"},
    {"com.kestrom.tarnix.ide.installer_2.5.0\\META-INF\\MANIFEST.MF",
     "Manifest-Version: 1.0\r\nBundle-Version: 2.5.0\r\n"},
    {"lib\\", ""},
    {"lib\\deep\\", ""},
    {"lib\\deep\\data.bin", Pattern(3 * 4096 + 100, 1)},
    {"plugins\\", ""},
    {"plugins\\extra.zip", Pattern(2 * 4096 + 7, 2)},
    {"splash.bmp", "BM" + Pattern(60, 3)},
};

TEST(Faults, EveryPlatformCallFailsInTurn) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Rig rig(kEntries);
    struct Mode {
        const char* name;
        Lines arguments;
        std::string (Rig::*check)(const Outcome&) const;
    } modes[] = {
        {"install", {"--user", "two words", "-vmargs", "-Xmx1m"}, &Rig::CheckInstall},
        {"extract", {"-extract=extra.zip@" + rig.Out().string()}, &Rig::CheckExtract},
    };
    unsigned runs[2][OS::Fault::kObservedOnly] = {}, total = 0;
    Lines problems;
    for (int m = 0; m < 2; m++) {
        const Mode& mode = modes[m];
        Outcome clean = rig.Run(mode.arguments, "");
        ASSERT_EQ((rig.*mode.check)(clean), "") << mode.name << ", no fault";
        ASSERT_TRUE(clean.boxes.empty()) << mode.name;
        for (int op = 0; op < OS::Fault::kObservedOnly; op++) {
            runs[m][op] = clean.calls[OS::Fault::Name((OS::Fault::Operation)op)];
            for (unsigned n = 1; n <= runs[m][op]; n++, total++) {
                std::string fault =
                    OS::Fault::Name((OS::Fault::Operation)op) + (":" + std::to_string(n));
                Outcome run = rig.Run(mode.arguments, fault);
                // A wait that fails leaves the program running while its folder is removed, as
                // the failure requires: what it then says of its missing files is its own.
                if (op == OS::Fault::kWaitProcess) run.other.clear();
                std::string problem = (rig.*mode.check)(run);
                if (!run.fired) problem += "the call was not made\n";
                // A program left without its execute right is refused at its start.
                if (op == OS::Fault::kMarkExecutable &&
                    (run.boxes != Lines{kStartBox} || rig.ProgramRan()))
                    problem += "the program was not refused at its start\n";
                if (!problem.empty())
                    problems.push_back(std::string(mode.name) + ", " + fault + " (exit " +
                                       std::to_string(run.status) + "):\n" + problem);
            }
        }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);

    std::printf("%-16s %8s %8s\n", "failed call of", "install", "extract");
    for (int op = 0; op < OS::Fault::kObservedOnly; op++)
        std::printf("%-16s %8u %8u\n", OS::Fault::Name((OS::Fault::Operation)op), runs[0][op],
                    runs[1][op]);
    std::printf("%-16s %17u runs\n", "total", total);
    for (size_t i = 0; i < problems.size() && i < 40; i++)
        ADD_FAILURE() << problems[i];
    EXPECT_EQ(problems.size(), 0u);
}

// The extraction folder's claim: whatever has the names that the tick counts give is passed over
// and never written through, and a claim that fails ends with the first extraction's box, with
// nothing extracted anywhere.
TEST(Faults, ClaimingTheExtractionFolder) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Rig rig(kEntries);
    ScratchDir scratch;
    fs::path target = scratch.Path("target");
    fs::create_directories(target);
    struct Row {
        const char* label;
        bool planted;
        const char* fault;
        bool box;
    } rows[] = {
        {"free names", false, "", false},
        {"tick names planted", true, "", false},
        {"tick names planted, no random source", true, "Random:1", true},
        {"the folder cannot be made", false, "CreateFolder:1", true},
    };
    for (const Row& row : rows) {
        if (row.planted) rig.Plant(target);
        Outcome run = rig.Run({"--user", "two words", "-vmargs", "-Xmx1m"}, row.fault);
        EXPECT_EQ(rig.CheckInstall(run), "") << row.label;
        EXPECT_EQ(run.boxes, row.box ? Lines{"Failed to extract version file."} : Lines{})
            << row.label;
        EXPECT_EQ(run.calls["Random"], row.planted ? 1u : 0u) << row.label;
        EXPECT_TRUE(fs::is_empty(target)) << row.label;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// sfxpack: builds an installer from the launcher stub and a folder, lists it and checks it.
#include "Host.h"
#include "Inspect.h"
#include "Pack.h"

#include "OS.h"
#include "sfxformat.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: sfxpack create|list|verify|extract ... (sfxpack COMMAND --help), sfxpack --version\n";

const char kMainHelp[] =
    "usage: sfxpack COMMAND ARGUMENTS\n"
    "\n"
    "Commands:\n"
    "  create   build an installer from the launcher stub and a folder\n"
    "  list     show the records and entries of an installer\n"
    "  verify   check the CRC-32 and that every table and entry lies inside the file\n"
    "  extract  write the entries of an installer to a folder without running it\n"
    "\n"
    "sfxpack COMMAND --help describes each command; sfxpack --version prints the version.\n";

const char kCreateHelp[] =
    "usage: sfxpack create [--platform NAME | --stub LAUNCHER] --dir FOLDER --autorun PATH\n"
    "                      [--args TEXT]\n"
    "                      [--java | --javax] [--require GLOB]... [--folders-twice] -o OUTPUT\n"
    "                      [--icon FILE.ico] [--version-info KEY=VALUE]...\n"
    "                      [--execution-level LEVEL | --manifest FILE]\n"
    "\n"
    "Writes LAUNCHER's bytes, zero padding to a length that is a multiple of 8, and the payload\n"
    "of every file and folder below FOLDER to OUTPUT. Entries are named relative to FOLDER with\n"
    "'\\' separators, folders with a trailing '\\' and before their contents, sorted by the bytes\n"
    "of their names within each folder, so the same input gives the same bytes.\n"
    "\n"
    "  --platform NAME   the launcher that ships beside sfxpack in stubs/: windows (the 32-bit\n"
    "                    Windows launcher, the default), windows-x64 or linux\n"
    "  --stub LAUNCHER   any launcher executable instead; it must not be signed or carry a\n"
    "                    payload\n"
    "  --dir FOLDER      the folder whose contents become the payload\n"
    "  --autorun PATH    the program that the launcher starts: an entry name such as\n"
    "                    bin\\setup.exe (or bin/setup.exe); with --java or --javax the text\n"
    "                    given to java in front of the arguments, stored as it is\n"
    "  --args TEXT       the autorun arguments (default: none); $#launcher# stands for the\n"
    "                    installer's own path\n"
    "  --java            start \"java\" with the autorun path and the arguments (flags 1)\n"
    "  --javax           start \"javax\" instead (flags 3)\n"
    "  --require GLOB    extract the matching entries at start (repeatable); '*' matches any\n"
    "                    run of characters, separators included, '?' any one character, '/'\n"
    "                    stands for '\\'. Without it every entry is extracted at start\n"
    "  --folders-twice   list each folder once more after its contents\n"
    "  -o OUTPUT         the installer to write; it is written under a temporary name beside\n"
    "                    OUTPUT and renamed when complete, with the stub's permissions\n"
    "\n"
    "The installer's identity, written into the resources of a Windows launcher:\n"
    "  --icon FILE.ico   the installer's icon (also the splash window's): every image of the\n"
    "                    file, byte for byte\n"
    "  --version-info KEY=VALUE\n"
    "                    a string of the version information (repeatable): ProductName,\n"
    "                    CompanyName, FileDescription, FileVersion, ProductVersion,\n"
    "                    LegalCopyright, InternalName or any other; FileVersion and\n"
    "                    ProductVersion are a[.b[.c[.d]]] (at most 65535 each) and also fill\n"
    "                    the numeric version. OriginalFilename defaults to OUTPUT's file name\n"
    "  --execution-level asInvoker|highestAvailable|requireAdministrator\n"
    "                    the level that the manifest requests, with the Windows versions from\n"
    "                    Vista to 11 declared supported; set one whenever you set version\n"
    "                    strings, or Windows may elevate an installer on its own\n"
    "  --manifest FILE   the author's own manifest instead of the launcher's (well-formed XML)\n"
    "Without these options the launcher's bytes are written unchanged. Sign after packing.\n"
    "\n"
    "An OUTPUT inside FOLDER is not packed into itself.\n"
    "\n"
    "A warning on standard error names the entry whose path is the longest below a typical\n"
    "extraction folder (C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\sfx4294967295.tmp\\)\n"
    "when it is over 259 characters, which many started programs cannot open; the installer\n"
    "is still written.\n"
    "\n"
    "Refused, with nothing written: a missing stub or folder, an empty folder, an autorun path\n"
    "that is not a file entry (or, with --require, not a required one), a --require that\n"
    "matches nothing, names with '.' or '..' components or a backslash, and an installer of\n"
    "2 GiB or more. For Windows also names with control characters, bytes of 0x80 or above,\n"
    "< > : \" | ? *, a trailing blank or dot, Windows device names or names that differ only\n"
    "in case. For Linux (a stub that is an ELF image, such as --platform linux) also symbolic\n"
    "links, and a warning names a file with an execute bit that begins with neither '#!' nor\n"
    "the ELF magic: the launcher makes only those executable. Also refused: an icon file that\n"
    "is not one (or holds no images or images over 256x256), a version that is not numbers, an\n"
    "unknown level, a manifest that is not well-formed XML, identity options with a launcher\n"
    "that is not a Windows one, and a launcher whose resources cannot be read.\n";

const char kListHelp[] =
    "usage: sfxpack list [--json] INSTALLER\n"
    "\n"
    "Reads INSTALLER with the launcher's own reader and prints the header version, the number\n"
    "of entries, the autorun record (flags, path, arguments), the required ids and one line per\n"
    "entry: id, size, required or optional, name; for a Windows installer also its icon sizes,\n"
    "version information and execution level. For a code-signed installer the payload is\n"
    "taken to end where the certificate table begins. Exits 1 when the launcher could not open\n"
    "the payload; its error text is on standard error.\n"
    "\n"
    "  --json   one JSON document instead, plain ASCII, the same on every host: the format\n"
    "           version, footer, header, autorun record, required ids, every entry (index,\n"
    "           name, folder or file, size, data offset, required, left in the installer),\n"
    "           the CRC-32 stored and computed, and the stub's identity. Stored bytes of 0x80\n"
    "           and above appear as \\u0080 to \\u00ff. Nothing is written when it fails.\n";

const char kVerifyHelp[] =
    "usage: sfxpack verify INSTALLER\n"
    "\n"
    "Recomputes the CRC-32 of the payload and checks that the header is valid, that every\n"
    "table, string and entry lies inside the file, that the ids name strings and entries, that\n"
    "the names can be extracted and that the autorun program is a (required) entry; for a\n"
    "Windows installer, that its resource tree is sorted and lies inside its section. For a\n"
    "code-signed installer the payload is taken to end where the certificate table begins.\n"
    "Prints each problem; exits 0 only when everything holds. Warns on standard error of an\n"
    "entry whose path below a typical extraction folder is over 259 characters, as create does.\n";

const char kExtractHelp[] =
    "usage: sfxpack extract INSTALLER [-C FOLDER] [NAME...]\n"
    "\n"
    "Writes the entries of INSTALLER (all of them, .zip ones included, or those whose stored\n"
    "names end with a NAME) below FOLDER at their stored paths, with the launcher's own reader.\n"
    "FOLDER defaults to a new folder in the current one named after the installer without its\n"
    "extension (or with -files added when it has none), refused if it exists; a FOLDER given\n"
    "with -C is made when missing. For a code-signed installer the payload is taken to end\n"
    "where the certificate table begins.\n"
    "\n"
    "Refused, with nothing written: a payload the launcher cannot open, a CRC-32 that does not\n"
    "match (a stored 0 is not checked, as the launcher does not check it), entry data past the\n"
    "payload, a NAME that matches no entry, and a chosen name that leaves FOLDER or that Windows\n"
    "cannot use (device names, < > : \" | ? *, ...). Exits 1 then.\n";

// The launchers that ship beside sfxpack, by --platform name.
const char* const kPlatforms[][2] = {{"windows", "launcher-windows.exe"},
                                     {"windows-x64", "launcher-windows-x64.exe"},
                                     {"linux", "launcher-linux"}};

// The stub of a platform in the stubs folder beside this program; empty for an unknown name.
std::string PlatformStub(const std::string& platform) {
    for (const auto& known : kPlatforms)
        if (platform == known[0]) {
            char module[4096];
            OS::ModulePath(module, sizeof module);
            return sfxpack::Host::Join(
                sfxpack::Host::Join(sfxpack::Host::FolderOf(module), "stubs"), known[1]);
        }
    return "";
}

bool IsHelp(const std::string& argument) {
    return argument == "--help" || argument == "-h" || argument == "help";
}

int Usage(const std::string& command, const std::string& message) {
    std::cerr << "sfxpack " << command << ": " << message << "\n"
              << "usage: see sfxpack " << command << " --help\n";
    return 2;
}

// A warning on standard error, after what the command printed; nothing for an empty one.
void Warn(const std::string& command, const std::string& warning) {
    if (warning.empty()) return;
    std::cout.flush();
    std::cerr << "sfxpack " << command << ": warning: " << warning << "\n";
}

int Create(const std::vector<std::string>& args) {
    sfxpack::PackOptions options;
    bool java = false, javax = false;
    std::string platform = "windows";
    bool havePlatform = false;
    bool haveStub = false, haveDir = false, haveAutorun = false, haveOutput = false;
    bool haveIcon = false, haveLevel = false, haveManifest = false;
    for (size_t i = 0; i < args.size(); i++) {
        std::string option = args[i], value;
        size_t equals = option.find('=');
        bool inlineValue = option.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        auto take = [&](std::string* target, bool* seen) {
            if (*seen) return false;
            *seen = true;
            if (!inlineValue) {
                if (i + 1 >= args.size()) return false;
                value = args[++i];
            }
            *target = value;
            return true;
        };
        bool once = false;
        if (IsHelp(option)) {
            std::cout << kCreateHelp;
            return 0;
        } else if (option == "--stub") {
            if (!take(&options.stub, &haveStub))
                return Usage("create", "--stub takes one LAUNCHER");
        } else if (option == "--platform") {
            if (!take(&platform, &havePlatform))
                return Usage("create", "--platform takes one NAME");
            if (PlatformStub(platform).empty())
                return Usage("create", "--platform: '" + platform +
                                           "' is none of windows, windows-x64, linux");
        } else if (option == "--dir") {
            if (!take(&options.folder, &haveDir)) return Usage("create", "--dir takes one FOLDER");
        } else if (option == "--autorun") {
            if (!take(&options.autorun, &haveAutorun))
                return Usage("create", "--autorun takes one PATH");
        } else if (option == "--args") {
            bool seen = false;
            if (!take(&options.args, &seen)) return Usage("create", "--args takes a TEXT");
        } else if (option == "--require") {
            std::string pattern;
            if (!take(&pattern, &once)) return Usage("create", "--require takes a GLOB");
            options.require.push_back(pattern);
        } else if (option == "-o" || option == "--output") {
            if (!take(&options.output, &haveOutput)) return Usage("create", "-o takes one OUTPUT");
        } else if (option == "--icon") {
            if (!take(&options.identity.iconFile, &haveIcon))
                return Usage("create", "--icon takes one FILE.ico");
        } else if (option == "--version-info") {
            std::string pair;
            if (!take(&pair, &once) || pair.find('=') == std::string::npos)
                return Usage("create", "--version-info takes KEY=VALUE");
            pair = sfxpack::Host::ArgumentText(pair);
            options.identity.versionInfo.push_back(
                {pair.substr(0, pair.find('=')), pair.substr(pair.find('=') + 1)});
        } else if (option == "--execution-level") {
            if (!take(&options.identity.executionLevel, &haveLevel))
                return Usage("create", "--execution-level takes one LEVEL");
        } else if (option == "--manifest") {
            if (!take(&options.identity.manifestFile, &haveManifest))
                return Usage("create", "--manifest takes one FILE");
        } else if (option == "--java" && !inlineValue) {
            java = true;
        } else if (option == "--javax" && !inlineValue) {
            javax = true;
        } else if (option == "--folders-twice" && !inlineValue) {
            options.foldersTwice = true;
        } else {
            return Usage("create", "unknown argument '" + args[i] + "'");
        }
    }
    if (java && javax) return Usage("create", "--java and --javax exclude each other");
    if (haveLevel && haveManifest)
        return Usage("create", "--execution-level and --manifest exclude each other");
    if (!haveDir || !haveAutorun || !haveOutput)
        return Usage("create", "--dir, --autorun and -o are required");
    if (!haveStub) {
        options.stub = PlatformStub(platform);
        if (!OS::PathExists(options.stub.c_str())) {
            std::cerr << "sfxpack create: no " << platform << " launcher: " << options.stub
                      << " is missing (name one with --stub)\n";
            return 1;
        }
    }
    options.flags = javax ? SFX_FLAG_JAVA | SFX_FLAG_JAVAX : java ? SFX_FLAG_JAVA : 0;

    sfxpack::PackSummary summary;
    std::string error;
    if (!sfxpack::CreateInstaller(options, &summary, &error)) {
        std::cerr << "sfxpack create: " << error << "\n";
        return 1;
    }
    std::cout << options.output << ": " << summary.installerSize << " bytes, " << summary.entries
              << (summary.entries == 1 ? " entry, " : " entries, ")
              << (summary.required ? std::to_string(summary.required) + " required"
                                   : std::string("all required"))
              << ", payload of " << summary.packageSize << " bytes at offset "
              << summary.payloadOffset << "\n";
    Warn("create", summary.deepPathWarning);
    Warn("create", summary.executableWarning);
    return 0;
}

int ReadCommand(const std::string& command, const std::vector<std::string>& args,
                const char* help) {
    if (!args.empty() && IsHelp(args[0])) {
        std::cout << help;
        return 0;
    }
    std::vector<std::string> rest = args;
    bool json = false;
    if (command == "list") {
        auto option = std::find(rest.begin(), rest.end(), "--json");
        json = option != rest.end();
        if (json) rest.erase(option);
    }
    if (rest.size() != 1 || rest[0].empty() || rest[0][0] == '-')
        return Usage(command, "takes one INSTALLER");
    if (command == "verify") {
        std::string warning;
        bool ok = sfxpack::VerifyInstaller(rest[0], std::cout, &warning);
        Warn(command, warning);
        return ok ? 0 : 1;
    }
    std::string error;
    if (json) sfxpack::Host::BinaryStandardOutput();
    if (!(json ? sfxpack::ListInstallerJson(rest[0], std::cout, &error)
               : sfxpack::ListInstaller(rest[0], std::cout, &error))) {
        std::cout.flush();
        std::cerr << "sfxpack list: " << error << "\n";
        return 1;
    }
    return 0;
}

int Extract(const std::vector<std::string>& args) {
    sfxpack::ExtractOptions options;
    bool haveFolder = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& argument = args[i];
        if (IsHelp(argument)) {
            std::cout << kExtractHelp;
            return 0;
        } else if (argument == "-C") {
            if (haveFolder || i + 1 >= args.size() || args[i + 1].empty())
                return Usage("extract", "-C takes one FOLDER");
            haveFolder = true;
            options.folder = args[++i];
        } else if (options.installer.empty()) {
            if (argument.empty() || argument[0] == '-')
                return Usage("extract", "unknown argument '" + argument + "'");
            options.installer = argument;
        } else {
            if (argument.empty()) return Usage("extract", "a NAME is empty");
            options.names.push_back(argument);
        }
    }
    if (options.installer.empty()) return Usage("extract", "takes an INSTALLER");
    std::string error;
    if (!sfxpack::ExtractInstaller(options, std::cout, &error)) {
        std::cout.flush();
        std::cerr << "sfxpack extract: " << error << "\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    // The launcher's reader shows its failures in an error box; here they belong on the console.
    OS::ErrorBoxToStandardError();
    std::string command = argv[1];
    if (command == "--version") {
        std::cout << "sfxpack " SFXPACK_VERSION "\n";
        return 0;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    if (IsHelp(command) || command == "--help") {
        if (command == "help" && !args.empty()) {
            command = args[0];
            args = {"--help"};
        } else {
            std::cout << kMainHelp;
            return 0;
        }
    }
    if (command == "create") return Create(args);
    if (command == "list") return ReadCommand(command, args, kListHelp);
    if (command == "verify") return ReadCommand(command, args, kVerifyHelp);
    if (command == "extract") return Extract(args);
    std::cerr << "sfxpack: unknown command '" << command << "'\n" << kUsage;
    return 2;
}

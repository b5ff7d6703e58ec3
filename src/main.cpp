// The launcher's entry: finds its own file, reads its command line and runs one of its modes.
#include "main.h"

#include "String.h"
#include "System.h"

char* GetExtractorFileName() {
    char* block = (char*)System::SafeAllocMemory(261);
    if (block) OS::ModulePath(block, 261);
    return block;
}

int main(int argc, char** argv) {
    // Before anything can load a library by its bare name from the launcher's folder.
    OS::RestrictLibrarySearch();
    OS::SetArguments(argc, argv);
    char* extractorFullName = GetExtractorFileName();
    const char* commandLine = OS::CommandLine();

    ParsedCommandLine parsed;
    if (!AnalyzeCommandLine(commandLine, extractorFullName, &parsed)) return 1;
    in_debug_mode = parsed.debug;
    if (in_debug_mode &&
        !System::AllocateConsole("org.vantrel.kit.sfx native launcher debug console")) {
        System::ShowErrorMessage("Failed to allocate debug console");
        return -1;
    }
    for (UINT i = 1; i < parsed.vmArgs.count; i++)
        System::Trace("\nNew VM Arg:", parsed.vmArgs.items[i], "\n");

    // 0 when the chosen mode succeeded, 1 when it failed; an install run that started its program
    // ends with that program's exit code.
    int exitCode = 0;
    if (parsed.mode == kModeExtract) {
        exitCode =
            extractSingleFile(extractorFullName, parsed.fileToExtract, parsed.destPath) ? 0 : 1;
    } else if (parsed.mode == kModeInstall) {
        UINT programExitCode = 0;
        // Where programs get a vector, the user's words go on as the installer got them.
        ArgList userArguments = {};
        bool listed = !OS::kArgumentVector || UserArguments(argc, argv, &userArguments);
        int result = install(extractorFullName, parsed.arguments, &parsed.vmArgs,
                             listed ? &userArguments : 0, &programExitCode);
        exitCode = result == 0 ? (int)programExitCode : 1;
    }

    if (in_debug_mode) {
        System::Trace("In debug mode, press any key to close this window");
        System::WaitForAnyKey();
    }
    ArgListRelease(&parsed.vmArgs);
    return exitCode;
}

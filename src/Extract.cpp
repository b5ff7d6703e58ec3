#include "main.h"

#include "Payload.h"
#include "String.h"
#include "System.h"

bool extractSingleFile(const char* archivePath, const char* toExtract, const char* destPath) {
    System::Trace("Browsing for required file:", toExtract, "\n");
    OpenedPayload payload;
    if (!OpenPayload(archivePath, false, &payload)) return false;
    File* self = payload.self;
    // Nothing is written from a damaged payload.
    if (!CheckPayload(&payload)) {
        self->Close(self);
        System::ShowErrorMessage(kDamagedInstaller);
        return false;
    }

    // An empty folder after the "@" means the current directory.
    char currentFolder[2] = {'.', 0};
    const char* target = String::StrLen(destPath) ? destPath : currentFolder;

    UINT toExtractLength = String::StrLen(toExtract);
    bool found = false, extracted = false;
    for (UINT fID = 0; fID < payload.header->numberOfFiles && !found; fID++) {
        char* fileName = GetStringById(fID, payload.stringTableOffsetsTable, self);
        if (!fileName) continue;
        if (String::StrLen(fileName) >= toExtractLength && String::EndsWith(fileName, toExtract)) {
            found = true;
            System::Trace(fileName, " : Required file found!\n", "Extracting to: ", destPath, "\n");
            extracted =
                ExtractFile(fID, fileInfoTable, payload.stringTableOffsetsTable, self, target);
            if (!extracted) {
                self->Close(self);
                System::ShowErrorMessage("Failed to extract required file");
            }
        }
        System::SafeFreeMemory(fileName);
    }
    if (!found) System::Trace("required file not found\n");
    self->Close(self);
    return extracted;
}

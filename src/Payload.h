// The operations on an opened payload: the opening sequence, string lookup and extraction.
#pragma once

#include "File.h"
#include "Formatter.h"

struct OpenedPayload {
    File* self;
    Formatter* formatter;
    SFXFooter* footer;
    SFXHeader* header;
    ExecutionInfo* executionInfo;
    UINT requiredIdsCount;
    UINT* requiredIdsTable;
    UINT stringTableOffset;
    UINT stringTableEntriesCount;
    UINT* stringTableOffsetsTable;
    // The file table that this opening made; fileInfoTable points to it while it is the newest.
    FileInformation* fileTable;
};

// The file table of the opened payload, its entry count and the offset of the first entry's data.
extern FileInformation* fileInfoTable;
extern UINT fileInfoCount;
extern UINT filesDataStartOffset;
// The number of strings of the opened payload (N + 2).
extern UINT stringTableEntriesCount;
// The one buffer through which entry data is copied.
extern BYTE BUFFER[4096];

// Opens the payload of launcherPath; on failure the box or trace is done and self is closed.
bool OpenPayload(const char* launcherPath, bool traceFooter, OpenedPayload* opened);
// Closes the launcher file and releases everything the opening allocated. A run that ends with
// the process needs no call; a caller that opens several payloads does.
void ClosePayload(OpenedPayload* opened);
// A new copy of string id, or null (also for an id outside the strings table).
char* GetStringById(UINT id, const UINT* stringOffsetTable, File* tableHolder);
// Writes entry fileID below targetFolder; false, after tracing why, on failure.
bool ExtractFile(UINT fileID, const FileInformation* fileInfoTable, const UINT* stringsOffsetsTable,
                 File* dataHolder, const char* targetFolder);
// Copies copyAmount bytes; where files have execute bits, *startsAsProgram (when given) tells
// whether they begin with "#!" or the ELF magic.
bool CopyFileData(File* source, File* dest, UINT copyAmount, bool* startsAsProgram = 0);

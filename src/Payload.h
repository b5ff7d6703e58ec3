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
    // Set by CheckPayload: whether it has run, and whether it found the payload damaged.
    bool checked;
    bool damaged;
};

// The box of an installer whose payload is damaged, cut short or extended.
extern const char* const kDamagedInstaller;

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
// Lets the check of the payload run along the extraction that follows: the bytes of entries
// that ExtractFile copies in the payload's order are taken from the copy, not read twice.
void BeginPayloadCheck(OpenedPayload* opened);
// False when the payload of a successful opening is damaged: its bytes do not give the CRC-32
// that the footer stores (a stored 0 asks for no check). Reads what the extraction since
// BeginPayloadCheck has not taken, once per opening, and traces the stored and computed values.
bool CheckPayload(OpenedPayload* opened);
// The box for a failed step of a run on an opened payload: the damaged-installer one when the
// payload is damaged, for then that is the cause to tell; otherwise box.
const char* FailureBox(OpenedPayload* opened, const char* box);
// A new copy of string id, or null (also for an id outside the strings table).
char* GetStringById(UINT id, const UINT* stringOffsetTable, File* tableHolder);
// Writes entry fileID below targetFolder; false, after tracing why, on failure.
bool ExtractFile(UINT fileID, const FileInformation* fileInfoTable, const UINT* stringsOffsetsTable,
                 File* dataHolder, const char* targetFolder);
// Copies copyAmount bytes; where files have execute bits, *startsAsProgram (when given) tells
// whether they begin with "#!" or the ELF magic.
bool CopyFileData(File* source, File* dest, UINT copyAmount, bool* startsAsProgram = 0);

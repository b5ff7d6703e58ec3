// Parses the fixed records of the payload through a borrowed File.
#pragma once

#include "File.h"
#include "sfxformat.h"

class Formatter {
  public:
    explicit Formatter(File* file) : _file(file), _end(0) {}

    SFXFooter* ParseFooter();
    // Positions the file at the header that footer points to; false when that lies before the
    // start of the file.
    bool SeekHeader(const SFXFooter* footer);
    SFXHeader* ParseHeader();
    ExecutionInfo* ParseExecutionInfo();
    FileInformation* ParseFileInformationTable(UINT entriesCount);

    File* _file;
    // Where the payload ends: the end of the file, or the start of the certificate table that
    // code signing appends behind it. Set by ParseFooter.
    UINT _end;
};

bool IsHeaderValid(const SFXHeader* header);

// The start of the certificate table when file is a PE image whose security directory names a
// table that ends the file; otherwise fileSize. A damaged header means: no table.
UINT FindPayloadEnd(File* file, UINT fileSize);

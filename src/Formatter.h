// Parses the fixed records of the payload through a borrowed File.
#pragma once

#include "File.h"
#include "sfxformat.h"

class Formatter {
  public:
    explicit Formatter(File* file) : _file(file) {}

    SFXFooter* ParseFooter();
    SFXHeader* ParseHeader();
    ExecutionInfo* ParseExecutionInfo();
    FileInformation* ParseFileInformationTable(UINT entriesCount);

    File* _file;
};

bool IsHeaderValid(const SFXHeader* header);

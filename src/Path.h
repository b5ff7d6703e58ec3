// Path helpers. Paths use the platform's separator; a path that ends with it names a folder.
#pragma once

#include "OS.h"

// In place: every oldValue byte of str becomes newValue.
void Replace(char* str, char oldValue, char newValue);

class Path {
  public:
    // path1, a separator unless path1 ends with one, then path2 with both '\' and '/' turned
    // into the platform's separator. Null when memory runs out.
    static char* Combine(const char* path1, const char* path2);
    // The part before the last separator, the final character not counted; null without one.
    static char* GetFileFolder(const char* filePath);
    static bool IsDirectory(const char* path);
    // True when a stored relative name stays below the folder it is extracted to: not absolute,
    // no drive or colon (where '\' separates), no ".." component (nor one of dots and blanks
    // that Windows trims to it).
    static bool StaysInside(const char* name);
};

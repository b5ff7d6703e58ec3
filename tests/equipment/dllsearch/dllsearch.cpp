// dllsearch: the library-search test's program, built on the launcher's own platform layer.
//
//   dllsearch NAME [restrict]   loads NAME by its bare name, after the launcher's start-up
//                               restriction when "restrict" is given; prints "restricted=0|1"
//                               and "loaded=0|1"
// Exit code 0, 2 for a wrong command line.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "OS.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "restrict") != 0)) {
        fprintf(stderr, "usage: dllsearch NAME [restrict]\n");
        return 2;
    }
    bool restricted = argc == 3 && OS::RestrictLibrarySearch();
    HMODULE library = LoadLibraryA(argv[1]);
    printf("restricted=%d\nloaded=%d\n", restricted ? 1 : 0, library != NULL ? 1 : 0);
    return 0;
}

/* The helper header is C as well as C++: this file only has to compile, as strict C99, warnings
 * being errors. A strict C standard hides the POSIX functions unless they are asked for. */
#define _POSIX_C_SOURCE 200809L
#include "sfxlauncher.h"

int sfxlauncher_c_check(void) {
    char path[512];
    return sfx_launcher_path(path, sizeof path) && sfx_close_splash() &&
           sfx_fetch(path, "a\\b.txt", ".");
}

/*
 * winharness: drives a Windows program for the end-to-end tests (under Wine or on Windows).
 *
 *   winharness run "<raw command line>" [--boxes N] [--keys K] [--timeout S]
 *       Starts the command line exactly as given (CreateProcessA, no quoting added), then while
 *       the child runs: reads and dismisses "Extracting error" boxes (of any process: the
 *       child and the programs that it starts, such as the launcher again in extraction mode)
 *       and types keys into the child's debug console. Prints, one per line:
 *         PID: <pid>           once the child has started
 *         BOX: <text>          for every box dismissed (CR and LF shown as \r and \n)
 *         KEY: <c>             for every key line typed
 *         EXIT: <code>         the child's exit code (signed), also this program's exit code
 *         TIMEOUT              when the child outlived S seconds; it is then killed, exit 124
 *       --boxes N   dismiss at most N boxes (default: all); later boxes stay on the screen.
 *       --keys K    K = "auto": whenever the child's console has no unread input, type one key
 *                   line ("x" and Enter), every 300 ms while the child lives, so every key wait
 *                   is answered. Otherwise each character of K is typed as one key line, in
 *                   order, each once the console has taken the one before. Default: no keys.
 *       --timeout S seconds (default 60; 0 waits for ever).
 *       --wide      starts the command line as this program got it in UTF-16 (CreateProcessW),
 *                   for paths that the ANSI code page cannot hold (run Wine in a UTF-8 locale).
 *
 *   winharness key <pid> <chars>
 *       Types each character, followed by Enter, into the console of process <pid>.
 *   winharness title <pid>
 *       Prints "TITLE: <console title>" and, when the console has a window,
 *       "WINDOW: <window text>" and "VISIBLE: 0|1" for the console of process <pid>.
 *   winharness text <pid>
 *       Prints the console screen of process <pid>, one "LINE: <text>" per row, blanks at the
 *       ends removed, up to the last row that holds text.
 *   winharness boxes <pid> [--boxes N] [--timeout S]
 *       Dismisses the boxes of process <pid> as "run" does, until N boxes are gone (exit 0), or
 *       the process has ended ("EXIT: <code>"), or S seconds have passed ("TIMEOUT", exit 124;
 *       the process is left running).
 *
 * Exit codes of its own: 124 time-out, 125 usage or start failure.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BOX_CLASS "#32770"
#define BOX_CAPTION "Extracting error"
#define POLL_MS 50
#define KEY_PERIOD_MS 300
#define EXIT_TIMEOUT 124
#define EXIT_USAGE 125

static void out_line(const char* prefix, const char* text) {
    fputs(prefix, stdout);
    for (const char* p = text; *p; p++) {
        if (*p == '\r')
            fputs("\\r", stdout);
        else if (*p == '\n')
            fputs("\\n", stdout);
        else
            fputc(*p, stdout);
    }
    fputc('\n', stdout);
    fflush(stdout);
}

/* The harness itself has no console of its own (its output goes to pipes), so it may leave
 * whatever console it has and borrow the child's. */
static BOOL attach_to(DWORD pid) {
    FreeConsole();
    return AttachConsole(pid);
}

static HANDLE open_conin(void) {
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, 0, NULL);
}

static void key_record(INPUT_RECORD* rec, BOOL down, char ch, WORD vk) {
    memset(rec, 0, sizeof(*rec));
    rec->EventType = KEY_EVENT;
    rec->Event.KeyEvent.bKeyDown = down;
    rec->Event.KeyEvent.wRepeatCount = 1;
    rec->Event.KeyEvent.wVirtualKeyCode = vk;
    rec->Event.KeyEvent.wVirtualScanCode = (WORD)MapVirtualKeyA(vk, 0);
    rec->Event.KeyEvent.uChar.AsciiChar = ch;
}

/* Unread input events of the console of pid: -1 when there is no console to attach to. */
static long pending_input(DWORD pid) {
    long result = -1;
    if (attach_to(pid)) {
        HANDLE in = open_conin();
        DWORD count = 0;
        if (in != INVALID_HANDLE_VALUE) {
            if (GetNumberOfConsoleInputEvents(in, &count)) result = (long)count;
            CloseHandle(in);
        }
    }
    FreeConsole();
    return result;
}

/* Types ch and Enter into the console of pid: the console is in line mode, so a read completes
 * only with the Enter. */
static BOOL type_key_line(DWORD pid, char ch) {
    BOOL ok = FALSE;
    if (attach_to(pid)) {
        HANDLE in = open_conin();
        if (in != INVALID_HANDLE_VALUE) {
            INPUT_RECORD recs[4];
            DWORD written = 0;
            WORD vk = (WORD)(VkKeyScanA(ch) & 0xFF);
            key_record(&recs[0], TRUE, ch, vk);
            key_record(&recs[1], FALSE, ch, vk);
            key_record(&recs[2], TRUE, '\r', VK_RETURN);
            key_record(&recs[3], FALSE, '\r', VK_RETURN);
            ok = WriteConsoleInputA(in, recs, 4, &written) && written == 4;
            CloseHandle(in);
        }
    }
    FreeConsole();
    return ok;
}

struct box_search {
    DWORD pid; /* 0: any process */
    HWND found;
};

static BOOL CALLBACK box_candidate(HWND wnd, LPARAM param) {
    struct box_search* search = (struct box_search*)param;
    char cls[32], caption[64];
    DWORD owner = 0;
    if (!GetClassNameA(wnd, cls, sizeof(cls)) || strcmp(cls, BOX_CLASS) != 0) return TRUE;
    if (GetWindowTextA(wnd, caption, sizeof(caption)) <= 0 || strcmp(caption, BOX_CAPTION) != 0)
        return TRUE;
    GetWindowThreadProcessId(wnd, &owner);
    if (search->pid != 0 && owner != search->pid) return TRUE;
    search->found = wnd;
    return FALSE;
}

static HWND find_box(DWORD pid) {
    struct box_search search = {pid, NULL};
    EnumWindows(box_candidate, (LPARAM)&search);
    return search.found;
}

/* Reads the box's text, presses its OK button and waits until it is gone, so that the same box
 * is never read twice. */
static void dismiss_box(HWND box) {
    char text[4096] = "";
    /* The box is found by its caption, which it may carry before its text (seen on a busy
     * machine): the text is waited for. Every box of the launcher has one. */
    for (int waited = 0; waited < 5000; waited += 20) {
        HWND label = GetDlgItem(box, 0xFFFF);
        if (label && GetWindowTextA(label, text, sizeof(text)) > 0) break;
        Sleep(20);
    }
    out_line("BOX: ", text);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    for (int waited = 0; IsWindow(box) && waited < 10000; waited += 20)
        Sleep(20);
}

struct drive_options {
    long boxes;       /* -1: no limit */
    const char* keys; /* NULL: none; "auto": answer every wait */
    DWORD timeoutMs;  /* 0: none */
    DWORD boxPid;     /* 0: boxes of any process */
    BOOL borrowed;    /* a process of someone else's: left alone at the end of the boxes or time */
    BOOL wide;        /* run: start the command line of the wide argument vector */
};

/* Serves the child until it ends or the time runs out; returns the code to exit with. */
static int drive(HANDLE process, DWORD pid, const struct drive_options* opt) {
    long boxesLeft = opt->boxes;
    const char* nextKey = opt->keys;
    BOOL autoKeys = opt->keys && strcmp(opt->keys, "auto") == 0;
    DWORD start = GetTickCount();
    DWORD lastKeyCheck = start - KEY_PERIOD_MS;
    for (;;) {
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0) break;
        DWORD now = GetTickCount();
        if (opt->timeoutMs && now - start >= opt->timeoutMs) {
            out_line("", "TIMEOUT");
            if (!opt->borrowed) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
            }
            return EXIT_TIMEOUT;
        }
        if (boxesLeft != 0) {
            HWND box = find_box(opt->boxPid);
            if (box) {
                dismiss_box(box);
                if (boxesLeft > 0) boxesLeft--;
                if (boxesLeft == 0 && opt->borrowed) return 0;
                continue;
            }
        }
        if (nextKey && (autoKeys || *nextKey) && now - lastKeyCheck >= KEY_PERIOD_MS) {
            lastKeyCheck = now;
            if (pending_input(pid) == 0) {
                char ch = autoKeys ? 'x' : *nextKey;
                if (type_key_line(pid, ch)) {
                    char shown[2] = {ch, 0};
                    out_line("KEY: ", shown);
                    if (!autoKeys) nextKey++;
                }
            }
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    printf("EXIT: %ld\n", (long)(LONG)code);
    fflush(stdout);
    return (int)code;
}

static int usage(void) {
    fputs("usage: winharness run \"<command line>\" [--boxes N] [--keys K|auto] [--timeout S]"
          " [--wide]\n"
          "       winharness key <pid> <chars>\n"
          "       winharness title <pid>\n"
          "       winharness text <pid>\n"
          "       winharness boxes <pid> [--boxes N] [--timeout S]\n",
          stderr);
    return EXIT_USAGE;
}

/* Reads the options that follow the positional arguments; false on an unknown one. */
static BOOL parse_options(int argc, char** argv, int first, struct drive_options* opt) {
    opt->boxes = -1;
    opt->keys = NULL;
    opt->timeoutMs = 60000;
    opt->boxPid = 0;
    opt->borrowed = FALSE;
    opt->wide = FALSE;
    for (int i = first; i < argc; i++) {
        if (strcmp(argv[i], "--wide") == 0) {
            opt->wide = TRUE;
            continue;
        }
        if (i + 1 >= argc) return FALSE;
        if (strcmp(argv[i], "--boxes") == 0)
            opt->boxes = strtol(argv[++i], NULL, 10);
        else if (strcmp(argv[i], "--keys") == 0)
            opt->keys = argv[++i];
        else if (strcmp(argv[i], "--timeout") == 0)
            opt->timeoutMs = (DWORD)(strtod(argv[++i], NULL) * 1000.0);
        else
            return FALSE;
    }
    return TRUE;
}

/* Starts the command line of argument 2, as an ANSI text or from the wide argument vector; the
 * copies matter: CreateProcess may write into the command line. */
static BOOL start_command(char** argv, BOOL wide, PROCESS_INFORMATION* pi) {
    BOOL started = FALSE;
    memset(pi, 0, sizeof(*pi));
    /* Started from a desktop, the launcher has no console to inherit; under Wine a program
     * started from this console program would get this one, and then could not open its own. */
    if (wide) {
        int count = 0;
        LPWSTR* wideArgv = CommandLineToArgvW(GetCommandLineW(), &count);
        if (!wideArgv || count < 3) return FALSE;
        wchar_t* commandLine = _wcsdup(wideArgv[2]);
        LocalFree(wideArgv);
        STARTUPINFOW si;
        memset(&si, 0, sizeof(si));
        si.cb = sizeof(si);
        FreeConsole();
        started = commandLine &&
                  CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, pi);
        free(commandLine);
    } else {
        char* commandLine = _strdup(argv[2]);
        STARTUPINFOA si;
        memset(&si, 0, sizeof(si));
        si.cb = sizeof(si);
        FreeConsole();
        started = commandLine &&
                  CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, pi);
        free(commandLine);
    }
    return started;
}

static int cmd_run(int argc, char** argv) {
    struct drive_options opt;
    if (argc < 3 || !parse_options(argc, argv, 3, &opt)) return usage();
    PROCESS_INFORMATION pi;
    if (!start_command(argv, opt.wide, &pi)) {
        fprintf(stderr, "winharness: cannot start the program (error %lu)\n",
                (unsigned long)GetLastError());
        return EXIT_USAGE;
    }
    printf("PID: %lu\n", (unsigned long)pi.dwProcessId);
    fflush(stdout);
    CloseHandle(pi.hThread);
    int code = drive(pi.hProcess, pi.dwProcessId, &opt);
    CloseHandle(pi.hProcess);
    return code;
}

static BOOL parse_pid(const char* text, DWORD* pid) {
    char* end = NULL;
    unsigned long value = strtoul(text, &end, 10);
    if (!*text || *end || value == 0) return FALSE;
    *pid = (DWORD)value;
    return TRUE;
}

static int cmd_key(int argc, char** argv) {
    DWORD pid;
    if (argc != 4 || !parse_pid(argv[2], &pid)) return usage();
    for (const char* p = argv[3]; *p; p++) {
        if (!type_key_line(pid, *p)) {
            fprintf(stderr, "winharness: no console of process %lu to type into\n",
                    (unsigned long)pid);
            return 1;
        }
    }
    return 0;
}

static int cmd_title(int argc, char** argv) {
    DWORD pid;
    if (argc != 3 || !parse_pid(argv[2], &pid)) return usage();
    if (!attach_to(pid)) {
        fprintf(stderr, "winharness: process %lu has no console\n", (unsigned long)pid);
        return 1;
    }
    char title[1024] = "";
    GetConsoleTitleA(title, sizeof(title));
    HWND window = GetConsoleWindow();
    char text[1024] = "";
    BOOL visible = FALSE;
    if (window) {
        GetWindowTextA(window, text, sizeof(text));
        visible = IsWindowVisible(window);
    }
    FreeConsole();
    out_line("TITLE: ", title);
    if (window) {
        out_line("WINDOW: ", text);
        out_line("VISIBLE: ", visible ? "1" : "0");
    }
    return 0;
}

static int cmd_text(int argc, char** argv) {
    DWORD pid;
    if (argc != 3 || !parse_pid(argv[2], &pid)) return usage();
    if (!attach_to(pid)) {
        fprintf(stderr, "winharness: process %lu has no console\n", (unsigned long)pid);
        return 1;
    }
    HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(out, &info)) {
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        FreeConsole();
        fprintf(stderr, "winharness: cannot read the console of process %lu\n", (unsigned long)pid);
        return 1;
    }
    int width = info.dwSize.X, rows = info.dwSize.Y, used = 0;
    char* screen = (char*)calloc((size_t)width * rows + 1, 1);
    if (!screen) {
        CloseHandle(out);
        FreeConsole();
        return 1;
    }
    for (int y = 0; y < rows; y++) {
        COORD at = {0, (SHORT)y};
        DWORD got = 0;
        char* row = screen + (size_t)y * width;
        if (!ReadConsoleOutputCharacterA(out, row, (DWORD)width, at, &got)) got = 0;
        for (int x = (int)got; x < width; x++)
            row[x] = ' ';
        for (int x = 0; x < width; x++)
            if (row[x] != ' ' && row[x] != 0) used = y + 1;
    }
    CloseHandle(out);
    FreeConsole();
    char* line = (char*)malloc((size_t)width + 1);
    for (int y = 0; line && y < used; y++) {
        memcpy(line, screen + (size_t)y * width, (size_t)width);
        int end = width;
        while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == 0))
            end--;
        line[end] = 0;
        out_line("LINE: ", line);
    }
    free(line);
    free(screen);
    return 0;
}

static int cmd_boxes(int argc, char** argv) {
    DWORD pid;
    struct drive_options opt;
    if (argc < 3 || !parse_pid(argv[2], &pid) || !parse_options(argc, argv, 3, &opt))
        return usage();
    HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    if (!process) {
        fprintf(stderr, "winharness: no process %lu\n", (unsigned long)pid);
        return 1;
    }
    opt.boxPid = pid;
    opt.borrowed = TRUE;
    int code = drive(process, pid, &opt);
    CloseHandle(process);
    return code;
}

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    if (strcmp(argv[1], "run") == 0) return cmd_run(argc, argv);
    if (strcmp(argv[1], "key") == 0) return cmd_key(argc, argv);
    if (strcmp(argv[1], "title") == 0) return cmd_title(argc, argv);
    if (strcmp(argv[1], "text") == 0) return cmd_text(argc, argv);
    if (strcmp(argv[1], "boxes") == 0) return cmd_boxes(argc, argv);
    return usage();
}

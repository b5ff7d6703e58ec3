// The splash window on Win32: a borderless bitmap STATIC with a marquee bar and a text label
// painted straight onto the picture. Everything here runs on the splash thread except
// UiSetLabelText and UiPostQuit.
#include <windows.h>
#include <commctrl.h>

#include "OS.h"

namespace {
HWND topWindow = NULL;
WNDPROC oldProc = NULL;
HWND label = NULL;
HWND progress = NULL;
COLORREF foreground = RGB(255, 255, 255);

// Draws the label's text in the label colour without a background box; the picture shows
// through. Everything else is the STATIC class's own business.
LRESULT CALLBACK WndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_CTLCOLORSTATIC && label != NULL && reinterpret_cast<HWND>(lParam) == label) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, foreground);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    }
    return CallWindowProcA(oldProc, hwnd, uMsg, wParam, lParam);
}
} // namespace

namespace OS {

Picture PictureLoad(const char* path) {
    if (path == NULL) return NULL;
    return LoadImageA(NULL, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
}

void UiInit(const char* title, int iconId) {
    InitCommonControls();
    HINSTANCE instance = GetModuleHandleA(NULL);
    topWindow = CreateWindowExA(0, "STATIC", title, WS_POPUP | SS_BITMAP, 0, 0, 0, 0, NULL, NULL,
                                instance, NULL);
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(iconId));
    SetClassLongPtrA(topWindow, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
    oldProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(topWindow, GWLP_WNDPROC));
    SetWindowLongPtrA(topWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WndProc));
}

void UiSetPicture(Picture picture) {
    SendMessageA(topWindow, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
}

void UiCreateControls(UINT textColour) {
    foreground = textColour;
    HINSTANCE instance = GetModuleHandleA(NULL);
    // Created first, the bar stays above the label among the siblings: the label's clipping
    // leaves the bar's area to the bar.
    progress = CreateWindowExA(0, PROGRESS_CLASSA, "",
                               WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | PBS_MARQUEE, 0, 0, 0, 0,
                               topWindow, NULL, instance, NULL);
    HWND text = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0,
                                0, topWindow, NULL, instance, NULL);
    SendMessageA(text, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 TRUE);
    // Published in full order: the install run may set a status at this very moment, and
    // either it sees the label here or the splash thread sees its status afterwards.
    __atomic_store_n(&label, text, __ATOMIC_SEQ_CST);
}

void UiWindowSize(int* width, int* height) {
    RECT rect = {0, 0, 0, 0};
    GetWindowRect(topWindow, &rect);
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
}

void UiScreenSize(int* width, int* height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

void UiMoveAndShow(int x, int y) {
    SetWindowPos(topWindow, HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(topWindow, SW_SHOW);
    BringWindowToTop(topWindow);
}

static void PlaceChild(HWND child, int x, int y, int width, int height) {
    SetWindowPos(child, HWND_TOP, x, y, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void UiPlaceLabel(int x, int y, int width, int height) {
    PlaceChild(label, x, y, width, height);
}

void UiPlaceBar(int x, int y, int width, int height) {
    PlaceChild(progress, x, y, width, height);
}

void UiStartMarquee(UINT intervalMs) {
    SendMessageA(progress, PBM_SETMARQUEE, TRUE, intervalMs);
}

void UiSetLabelText(const char* text) {
    HWND target = __atomic_load_n(&label, __ATOMIC_SEQ_CST);
    if (target == NULL) return;
    // Sent to the splash thread when called from another one; fails on a window that is gone.
    if (!SetWindowTextA(target, text)) return;
    // The label paints no background, so the picture under it is repainted first; without
    // that the old text would stay under the new one.
    RECT rect;
    if (!GetWindowRect(target, &rect)) return;
    MapWindowPoints(NULL, topWindow, reinterpret_cast<POINT*>(&rect), 2);
    InvalidateRect(topWindow, &rect, TRUE);
}

void UiMessageLoop() {
    MSG msg;
    // 0 is WM_QUIT; -1 (a failed call) must not spin either.
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void UiPostQuit(UINT threadId) {
    PostThreadMessageA(threadId, WM_QUIT, 0, 0);
}

} // namespace OS

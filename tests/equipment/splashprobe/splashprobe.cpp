// splashprobe: shows the launcher's splash window on its own, for the splash tests.
//
//   splashprobe BITMAP VERSION [--text-after MS] [--alive MS] [--connect-early | --close-first]
//
// Calls showSplash(BITMAP, VERSION) ("-" as BITMAP passes no path at all), then optionally
// setSplashText("Initializing...") MS milliseconds later, and keeps the process alive for the
// --alive time (default 10000 ms) so that the splash threads can be watched from outside.
// --connect-early connects to the close-signal port itself right after showSplash returns,
// retrying until the listener accepts, so that the close request may come before the splash
// window exists. --close-first makes sure of that order: it requests the close (hideSplash)
// before showSplash starts the splash thread, as a connection would that beats the thread to
// its first window call.
//
// Prints one line per event, flushed at once: "started", "connected", "text set", "done".
// Exit code 0, 2 for a usage error, 3 when --connect-early could not connect within 5 s.
#include <winsock2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "Splash.h"

namespace {

void Say(const char* event) {
    std::printf("%s\n", event);
    std::fflush(stdout);
}

void SleepMs(long ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool ConnectToClosePort(long timeoutMs) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(SPLASH_CLOSE_PORT);
    bool connected = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!connected && std::chrono::steady_clock::now() < deadline) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) break;
        connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        closesocket(s);
        if (!connected) SleepMs(1);
    }
    WSACleanup();
    return connected;
}

int Usage() {
    std::fprintf(stderr, "usage: splashprobe BITMAP VERSION [--text-after MS] [--alive MS] "
                         "[--connect-early | --close-first]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    long textAfter = -1;
    long alive = 10000;
    bool connectEarly = false;
    bool closeFirst = false;
    for (int i = 3; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--connect-early") {
            connectEarly = true;
        } else if (option == "--close-first") {
            closeFirst = true;
        } else if ((option == "--text-after" || option == "--alive") && i + 1 < argc) {
            long value = std::strtol(argv[++i], nullptr, 10);
            (option == "--alive" ? alive : textAfter) = value;
        } else {
            return Usage();
        }
    }

    // The splash borrows both texts for the rest of the process, as the install run does.
    const char* bitmap = std::strcmp(argv[1], "-") == 0 ? nullptr : argv[1];
    auto start = std::chrono::steady_clock::now();
    if (closeFirst) hideSplash();
    showSplash(bitmap, argv[2]);
    Say("started");

    if (connectEarly) {
        if (!ConnectToClosePort(5000)) return 3;
        Say("connected");
    }
    if (textAfter >= 0) {
        SleepMs(textAfter);
        setSplashText("Initializing...");
        Say("text set");
    }
    long elapsed = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    SleepMs(alive - elapsed);
    Say("done");
    return 0;
}

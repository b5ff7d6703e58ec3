// The close-signal listener on the POSIX port, where the splash has no window: the first
// connection to the port is accepted, traced and closes the listener; later ones are refused.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Splash.h"
#include "System.h"

namespace {

// True when a TCP connection to 127.0.0.1 at the close port was accepted.
bool Connect() {
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(SPLASH_CLOSE_PORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(peer, (sockaddr*)&address, sizeof address) == 0;
    close(peer);
    return connected;
}

// Polls until Connect() gives the wanted answer, for a few seconds at most.
bool Eventually(bool wanted) {
    for (int i = 0; i < 100; i++) {
        if (Connect() == wanted) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

} // namespace

TEST(Listener, FirstConnectionIsTracedAndClosesTheListener) {
    ASSERT_TRUE(Eventually(false)) << "the close port is taken before the test";
    testing::internal::CaptureStderr();
    in_debug_mode = true;
    System::AllocateConsole("listener test");
    // No picture on this platform: the splash thread ends, the listener runs.
    showSplash("missing-splash.bmp", "1.0");
    setSplashText("Initializing...");
    bool first = Eventually(true);
    bool closedAfterwards = Eventually(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    in_debug_mode = false;
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(first);
    EXPECT_TRUE(closedAfterwards) << "a second connection must be refused";
    EXPECT_NE(trace.find("Splash thread created\nTcp wait thread created\n"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("\nIncoming connection from 127.0.0.1: closing splash screen.\n"),
              std::string::npos)
        << trace;
}

// The splash window and the listener that closes it. The window itself is the platform's
// (OS::Ui*); the order of its set-up, its geometry and its texts are decided here.
#include "Splash.h"

#include "String.h"
#include "System.h"

namespace {

const char* const kTitle = "Corvalis Software Installer";
const char* const kLabelFormat = "Software Installer\nVersion %s\n\n%s";
const UINT kForeground = 0x00FFFFFF;
const int kLabelWidth = 185;
const int kLabelHeight = 80;
const int kBarWidth = 100;
const int kBarHeight = 15;
const int kBarBottomOffset = 20;
const UINT kMarqueeInterval = 100;
const int kIconId = 401;
const int kAcceptFailures = 100;

const char* versionToDisplay = 0;
UINT SplashThreadID = 0;
UINT WaitTCPThreadID = 0;
OS::Picture picture = 0;
// The newest status that the install run asked for; the splash thread shows it instead of its
// first status when it came before the label existed.
const char* requestedStatus = 0;
// Set by the listener when the splash is to close: a splash thread that has not reached its
// message loop yet, and so cannot take the quit message, sees it there and ends.
int closeRequested = 0;

bool CloseRequested() {
    return __atomic_load_n(&closeRequested, __ATOMIC_SEQ_CST) != 0;
}

// Composes on the caller's stack: the install run and the splash thread may both be here.
void ShowStatus(const char* text) {
    char labelStr[1024];
    String::Format(labelStr, sizeof labelStr, kLabelFormat, versionToDisplay, text);
    OS::UiSetLabelText(labelStr);
}

} // namespace

int SplashOrigin(int screenSize, int windowSize) {
    return (screenSize - windowSize) / 2;
}

void setSplashText(const char* text) {
    __atomic_store_n(&requestedStatus, text, __ATOMIC_SEQ_CST);
    ShowStatus(text);
}

void hideSplash() {
    __atomic_store_n(&closeRequested, 1, __ATOMIC_SEQ_CST);
    OS::UiPostQuit(SplashThreadID);
}

UINT SplashThread(void*) {
    OS::UiInit(kTitle, kIconId);
    if (!picture) return 2;
    OS::UiSetPicture(picture);
    OS::UiCreateControls(kForeground);
    int windowWidth, windowHeight, width, height;
    OS::UiWindowSize(&windowWidth, &windowHeight);
    OS::UiScreenSize(&width, &height);
    OS::UiMoveAndShow(SplashOrigin(width, windowWidth), SplashOrigin(height, windowHeight));
    // A status set before the label existed was not shown; one set from now on is.
    const char* status = __atomic_load_n(&requestedStatus, __ATOMIC_SEQ_CST);
    ShowStatus(status ? status : "Extracting files...");
    OS::UiPlaceLabel(windowWidth - kLabelWidth, windowHeight - kLabelHeight, kLabelWidth,
                     kLabelHeight);
    OS::UiPlaceBar(windowWidth - kLabelWidth, windowHeight - kBarBottomOffset, kBarWidth,
                   kBarHeight);
    OS::UiStartMarquee(kMarqueeInterval);
    // The window exists, so this thread's queue does too: a close request from now on arrives
    // as a quit message; one that came earlier is seen here.
    if (CloseRequested()) return 0;
    OS::UiMessageLoop();
    return 0;
}

UINT TcpThread(void*) {
    if (!OS::NetStartup()) return 0;
    OS::Socket server = OS::TcpListen(SPLASH_CLOSE_PORT, 10);
    if (server == OS::kInvalidSocket) {
        OS::NetCleanup();
        return 0;
    }
    // A failed accept is no connection: keep waiting for a real one, unless accepting keeps
    // failing, in which case the listener gives up and leaves the splash as it is.
    char peer[64];
    OS::Socket client = OS::kInvalidSocket;
    for (int failures = 0; client == OS::kInvalidSocket && failures < kAcceptFailures; failures++)
        client = OS::TcpAccept(server, peer, sizeof peer);
    if (client == OS::kInvalidSocket) {
        OS::SocketClose(server);
        OS::NetCleanup();
        return 0;
    }
    System::Trace("\nIncoming connection from ", peer, ": closing splash screen.\n");
    hideSplash();
    OS::SocketClose(client);
    OS::SocketClose(server);
    OS::NetCleanup();
    return 0;
}

void showSplash(const char* featureImage, const char* version) {
    versionToDisplay = version;
    // The picture is read completely here, before the install run goes on and may write the
    // same file again.
    picture = featureImage ? OS::PictureLoad(featureImage) : 0;
    bool started = OS::StartThread(SplashThread, 0, &SplashThreadID);
    System::Trace(started ? "Splash thread created\n" : "Unable to create splash thread\n");
    started = OS::StartThread(TcpThread, 0, &WaitTCPThreadID);
    System::Trace(started ? "Tcp wait thread created\n" : "Unable to create tcp wait thread\n");
}

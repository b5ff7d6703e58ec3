// The splash window on a thread of its own, and the TCP listener whose first connection closes it.
#pragma once

#include "OS.h"

const uint16_t SPLASH_CLOSE_PORT = 12345;

void showSplash(const char* featureImage, const char* version);
void setSplashText(const char* text);
void hideSplash();

// Where a window of windowSize is centred on a screen of screenSize (truncated toward zero).
int SplashOrigin(int screenSize, int windowSize);

UINT SplashThread(void* param);
UINT TcpThread(void* param);

// The image writer's functions, for the tests that call them one by one.
#ifndef IMAGEWRITE_H
#define IMAGEWRITE_H

#include "platform.h"

enum { IMAGE_SIZE = 1474560 }; // one 3.5-inch 1.44 MB diskette: 2,880 sectors of 512 bytes

int isCursorHomed();
char *commanumber(unsigned long long value);
char *capacityText(unsigned long long bytes);
char *winErrorText(DWORD code);
[[noreturn]] void logError(int pauseOnExit, const char *format, ...);

HANDLE openDisk(int letter);
unsigned long long removableMediaCapacity(HANDLE volume);
BOOL lockVolume(HANDLE volume);
DWORD copyImage(HANDLE volume, const void *bytes, DWORD count);
BOOL dismountVolume(HANDLE volume);
BOOL unlockVolume(HANDLE volume);
int findAvailableDrive(int minimumCapacity);

#endif

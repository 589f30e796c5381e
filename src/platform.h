// The platform seam: every operating-system and runtime call that the image
// writer makes, declared once. The Windows build takes them straight from
// kernel32.dll and msvcrt.dll; the host build links a fake platform that
// the tests edit, so imagewrite.cpp reads the same in both.
#ifndef IMAGEWRITE_PLATFORM_H
#define IMAGEWRITE_PLATFORM_H

#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>
#include <conio.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#else

#include <ctype.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Win32's data types keep their Win32 widths here: a DWORD product that
// overflows 32 bits on Windows must overflow in the tests too.
typedef void *HANDLE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef DWORD *LPDWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef wchar_t WCHAR; // 32 bits here, 16 on Windows: the fake only copies it
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef struct SecurityAttributes *LPSECURITY_ATTRIBUTES;
typedef struct Module *HMODULE;
typedef BOOL (*PHANDLER_ROUTINE)(DWORD event);

typedef union {
    struct {
        DWORD LowPart;
        int32_t HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER;

typedef enum {
    Unknown = 0,
    F5_1Pt2_512 = 1,
    F3_1Pt44_512 = 2,
    F3_2Pt88_512 = 3,
    F3_720_512 = 5,
    RemovableMedia = 11,
    FixedMedia = 12
} MEDIA_TYPE;

typedef struct {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    DWORD TracksPerCylinder;
    DWORD SectorsPerTrack;
    DWORD BytesPerSector;
} DISK_GEOMETRY;

// A disk's layout as the disk controls give it, in Windows' own sizes:
// what the program reads of it and the room that the rest takes.
typedef struct {
    DWORD DiskNumber;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER ExtentLength;
} DISK_EXTENT;

typedef struct {
    DWORD NumberOfDiskExtents;
    DISK_EXTENT Extents[1];
} VOLUME_DISK_EXTENTS;

typedef struct {
    DWORD PartitionStyle;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    DWORD PartitionNumber;
    unsigned char RewritePartition, IsServicePartition;
    LARGE_INTEGER MbrOrGpt[14];
} PARTITION_INFORMATION_EX;

typedef struct {
    DWORD PartitionStyle;
    DWORD PartitionCount;
    LARGE_INTEGER MbrOrGpt[5];
    PARTITION_INFORMATION_EX PartitionEntry[1];
} DRIVE_LAYOUT_INFORMATION_EX;

typedef struct {
    DWORD DeviceType, DeviceNumber, PartitionNumber;
} STORAGE_DEVICE_NUMBER;

static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32 && sizeof(PARTITION_INFORMATION_EX) == 144 &&
                  sizeof(DRIVE_LAYOUT_INFORMATION_EX) == 192,
              "the sizes of Windows' own structures");

// Where a read or write starts, for a handle that has no position of its own.
typedef struct {
    uintptr_t Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct {
    short X;
    short Y;
} COORD;

typedef struct {
    short Left;
    short Top;
    short Right;
    short Bottom;
} SMALL_RECT;

typedef struct {
    COORD dwSize;
    COORD dwCursorPosition;
    unsigned short wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
} CONSOLE_SCREEN_BUFFER_INFO;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_READONLY 1u
#define PAGE_READONLY 2u
#define FILE_MAP_READ 4u
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define DRIVE_REMOVABLE 2u
#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define WINAPI
#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000u
#define FSCTL_LOCK_VOLUME 0x00090018u
#define FSCTL_DISMOUNT_VOLUME 0x00090020u
#define FSCTL_UNLOCK_VOLUME 0x0009001Cu
#define IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 0x00560000u
#define IOCTL_DISK_GET_DRIVE_LAYOUT_EX 0x00070050u
#define IOCTL_DISK_UPDATE_PROPERTIES 0x00070140u
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MORE_DATA 234u
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define LANG_NEUTRAL 0
#define SUBLANG_DEFAULT 1
#define CP_ACP 0u
#define CP_UTF8 65001u
#define MAX_PATH 260
#define MAKELANGID(p, s) ((((unsigned short)(s)) << 10) | (unsigned short)(p))

// The fake platform lives in namespace sim; the using-directive lets the
// program call these by their Win32 and msvcrt names. The host build of the
// program includes no <stdio.h> or <stdlib.h>, so no name is ambiguous.
namespace sim {
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped);
unsigned GetDriveTypeA(LPCSTR root);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE handle);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
int WideCharToMultiByte(unsigned codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL *usedDefault);
DWORD GetFileSize(HANDLE file, LPDWORD high);
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD maxHigh,
                          DWORD maxLow, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                     size_t length);
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info);
DWORD GetLastError();
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPWSTR buffer,
                     DWORD size, va_list *arguments);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
BOOL WriteConsoleW(HANDLE console, LPCWSTR text, DWORD count, LPDWORD written, LPVOID reserved);
int MultiByteToWideChar(unsigned codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                        int size);

// The runtime library, with msvcrt's conversions ("%I64u"; "%lu" of 32 bits)
// and its _snprintf, which leaves a buffer that it fills unterminated.
int printf(const char *format, ...);
int _snprintf(char *buffer, size_t count, const char *format, ...);
int _vsnprintf(char *buffer, size_t count, const char *format, va_list arguments);
int fflush(void *streams);
int _getch();
[[noreturn]] void exit(int status);
} // namespace sim

using namespace sim;

#endif

#endif

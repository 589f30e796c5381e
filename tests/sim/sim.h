// The simulated machine behind the host build's platform calls. A test sets
// up drives, a console, keys and the program's own file, runs the program,
// then reads the transcript, the call log and what landed on the drives.
#ifndef IMAGEWRITE_SIM_H
#define IMAGEWRITE_SIM_H

#include "imagewrite.h"

#include <map>
#include <string>
#include <vector>

namespace sim {

// Windows error codes the tests use.
enum : DWORD {
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_WRITE_PROTECT = 19,
    ERROR_NOT_READY = 21,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_DISK_FULL = 112,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_MR_MID_NOT_FOUND = 317,
    ERROR_IO_DEVICE = 1117,
};

enum : unsigned {
    DRIVE_UNKNOWN = 0,
    DRIVE_NO_ROOT_DIR = 1,
    DRIVE_FIXED = 3,
    DRIVE_REMOTE = 4,
    DRIVE_CDROM = 5
};

struct Geometry {
    DWORD error = 0; // non-zero: the geometry query fails with this code
    MEDIA_TYPE mediaType = F3_1Pt44_512;
    long long cylinders = 80;
    DWORD tracksPerCylinder = 2;
    DWORD sectorsPerTrack = 18;
    DWORD bytesPerSector = 512;
};

struct Drive {
    bool present = false; // a volume stands behind the letter
    DWORD openError = 0;  // non-zero: the raw open fails with this code
    Geometry geometry;
    unsigned driveType = DRIVE_NO_ROOT_DIR;
    DWORD lockError = 0, dismountError = 0, unlockError = 0;
    DWORD writeError = 0;             // non-zero: WriteFile fails with this code
    DWORD writeLimit = ~0u;           // a write succeeds but stores at most this many bytes
    std::vector<unsigned char> store; // the medium; writes beyond it come back short
    bool locked = false;
    bool dismounted = false;
};

struct OwnFile {
    std::string path = "C:\\Tools\\imagewrite.exe";
    std::vector<unsigned char> bytes;
    DWORD moduleNameError = 0, openError = 0, mappingError = 0, viewError = 0;
};

struct Console {
    bool isConsole = true; // false: standard output is a file or a pipe
    short cursorX = 0, cursorY = 0;
    std::vector<int> keys; // _getch codes in order; -1 once they run out
    size_t nextKey = 0;
    std::string transcript;
};

struct Call {
    std::string text; // name and arguments, as in "CloseHandle(volume A:)"
};

struct Machine {
    Drive drives[26];
    OwnFile own;
    Console console;
    DWORD lastError = 0;
    std::map<DWORD, std::string> messages; // the system's texts, by code
    std::vector<std::string> calls;        // every platform call, in order
    // Fault injection: the call at this index of the log fails with this code.
    long failIndex = -1;
    DWORD failError = 0;
    // What the program's one write saw.
    bool writeWhileLocked = false;
    long writeViewOffset = -1; // the buffer's offset into the view, -1 if outside it
    int maxOpenHandles = 0;    // the most handles open at one time
};

extern Machine machine;

// A fresh machine: no drives, a console with its cursor home, no keys, the
// default system messages and an empty own file.
void reset();

// A removable 1.44 MB diskette at the letter, with a medium of storeSize bytes
// filled with the byte fill.
Drive &addDiskette(char letter, size_t storeSize = IMAGE_SIZE + 4096, unsigned char fill = 0xF6);

// A removable drive whose geometry gives the capacity in 512-byte sectors.
Drive &addRemovable(char letter, long long cylinders, DWORD tracks, DWORD sectors,
                    DWORD bytesPerSector = 512, MEDIA_TYPE media = RemovableMedia);

Drive &drive(char letter);

// The program's own file: `programSize` bytes of program followed by `image`.
void setOwnFile(size_t programSize, const std::vector<unsigned char> &image);

std::vector<unsigned char> patternImage(size_t size = IMAGE_SIZE, unsigned seed = 1);

void typeKeys(const std::vector<int> &keys);

// Handles the program holds at this moment, by kind.
int openHandles();
int openVolumeHandles();
bool ownFileOpen();

// Whether a logged call prints or formats text: printf, puts, putchar,
// _snprintf, _vsnprintf, fflush.
bool isPrinting(const std::string &call);

// The call log without the printing calls (printf, puts, putchar, _snprintf,
// _vsnprintf, fflush): the system calls, the key reads and exit.
std::vector<std::string> systemCalls();

// How exit ended the run.
struct Exit {
    int status;
};

// Runs the program's main and gives its exit status, whether main returned
// or exit ended it.
int runProgram();

} // namespace sim

#endif

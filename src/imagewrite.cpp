// The image writer: writes the diskette image appended to this program's own
// file onto the first 1,474,560 bytes of a removable drive that the user picks.
#include "imagewrite.h"

#include "version.h"

// ---------------------------------------------------------------------------
// Console text and fatal errors

// A console window opened for this program alone starts with its cursor at the
// top-left corner; one started from a command prompt stands below the prompt.
// Output redirected to a file or a pipe has no cursor at all, and nobody could
// see a key prompt there, so that counts as "not homed": no pause on exit.
int isCursorHomed()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.dwCursorPosition.X == 0 && info.dwCursorPosition.Y == 0;
}

// Decimal text with a comma between groups of three digits. The result lives
// in a ring of four slots, so it survives the next three calls.
char *commanumber(unsigned long long value)
{
    static char outbuf[4][28];
    static int cycle;
    char scratch[28];

    // Right-aligned in 27 columns: a 64-bit value has at most 20 digits, so the
    // digits always have a space in front of them, which ends the copy below.
    _snprintf(scratch, sizeof scratch, "%*I64u", 27, value);
    char *slot = outbuf[cycle];
    int from = 26;
    int to = 26;
    int digits = 0;
    while (from >= 0 && scratch[from] != ' ') {
        if (digits > 0 && digits % 3 == 0)
            slot[to--] = ',';
        slot[to--] = scratch[from--];
        digits++;
    }
    cycle = (cycle + 1) % 4;
    return slot + to + 1;
}

// Whole decimal megabytes from 32 MB up; below that two decimals of
// 1,024,000-byte megabytes (so a 1,474,560-byte diskette reads "1.44 MB"),
// or of kilobytes below the diskette's size.
char *capacityText(unsigned long long bytes)
{
    static char text[40];

    // Rounded to the nearest megabyte, halves up, without adding 500,000 first:
    // the sum would pass 64 bits for the very largest counts. Divided a byte
    // at a time in 32 bits: a 64-bit division would link the compiler's
    // helpers for it into the 32-bit program, with an unwind table that
    // takes a file sector of its own.
    unsigned long long megabytes = 0;
    DWORD rest = 0;
    for (int shift = 56; shift >= 0; shift -= 8) {
        rest = rest << 8 | (DWORD)(bytes >> shift & 0xFF);
        megabytes = megabytes << 8 | rest / 1000000;
        rest %= 1000000;
    }
    megabytes += rest >= 500000;
    if (megabytes >= 32) {
        _snprintf(text, sizeof text, "%s MB", commanumber(megabytes));
    } else {
        double kilobytes = (double)bytes * (1.0 / 1024);
        if (bytes >= IMAGE_SIZE)
            _snprintf(text, sizeof text, "%.2f MB", kilobytes / 1000);
        else
            _snprintf(text, sizeof text, "%.2f KB", kilobytes);
    }
    return text;
}

// Room for the longest message with its terminator: a system text's line
// of up to 511 bytes, and a path that gives way to it where both do not fit.
enum { MESSAGE_SIZE = 1024 };

// Text goes to a console as wide characters, in the user's own script; to a
// file or a pipe as bytes of the system's ANSI code page, as ever, where
// what that code page cannot spell reads '?'. Texts that come from the
// system are made in the code page that suits where they go: UTF-8 for a
// console, to be turned wide when written. outputConsole is standard
// output's console, or NULL for a file or a pipe.
static HANDLE outputConsole()
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    return GetConsoleMode(output, &mode) ? output : NULL;
}

static unsigned textCodePage()
{
    return outputConsole() ? CP_UTF8 : CP_ACP;
}

// A path in at most `room` bytes of that code page: whole if it fits;
// otherwise its first characters (the drive) and its last (the file name)
// around "...", as many as fit. Cut between characters only, so that no
// character is left in halves, whatever the code page makes of it.
static char *printable(const WCHAR *path, int room)
{
    static char text[MAX_PATH * 3]; // UTF-8 takes at most 3 bytes for each
    WCHAR shown[MAX_PATH + 3];
    int length = 0;
    while (path[length])
        length++;
    for (int kept = length; kept >= 0; kept--) {
        // Whole, or split where a third of what is kept stands before "...".
        int head = kept < length ? kept / 3 : length, tail = kept - head, at = 0;
        // Both halves of a surrogate pair, or neither.
        if (head > 0 && path[head - 1] >= 0xD800 && path[head - 1] < 0xDC00)
            head--;
        if (tail > 0 && path[length - tail] >= 0xDC00 && path[length - tail] < 0xE000)
            tail--;
        for (int i = 0; i < head; i++)
            shown[at++] = path[i];
        for (int dots = kept < length ? 3 : 0; dots > 0; dots--)
            shown[at++] = '.';
        for (int i = length - tail; i <= length; i++)
            shown[at++] = path[i];
        int bytes =
            WideCharToMultiByte(textCodePage(), 0, shown, -1, text, sizeof text, NULL, NULL);
        if (bytes > 0 && bytes <= room + 1)
            return text;
    }
    text[0] = 0;
    return text;
}

// On a console as wide characters, after whatever printf still holds;
// elsewhere, or if that fails, as the bytes they are. Standard output is the
// program's only stream, so fflush(NULL) flushes it: naming stdout would link
// the runtime's accessor for it, with data and an unwind table of their own,
// each taking a file sector.
static void printText(const char *text)
{
    HANDLE console = outputConsole();
    DWORD written;
    WCHAR wide[MESSAGE_SIZE + 64]; // as long as the longest framed message
    int length = 0;
    if (console)
        length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, sizeof wide / sizeof *wide);
    if (length > 0) {
        fflush(NULL);
        if (WriteConsoleW(console, wide, length - 1, &written, NULL))
            return;
    }
    printf("%s", text);
}

// The system's message for an error code (0: this thread's last error) as one
// line without its final full stop. Call it straight after the failed call:
// any other system call in between may change the last error.
char *winErrorText(DWORD code)
{
    // The system allocates each message; none is released, since every one
    // goes into a fatal message and the process ends soon after.
    static WCHAR *position;
    static char line[512];

    if (code == 0)
        code = GetLastError();
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPWSTR)&position, 0, NULL);
    // The first line alone, ended before it is converted: the lines after
    // it could make the whole text too long for `line`.
    DWORD end = 0;
    while (end < length && position[end] != '\n' && position[end] != '\r')
        end++;
    if (length > 0)
        position[end] = 0;
    if (length == 0 ||
        !WideCharToMultiByte(textCodePage(), 0, position, -1, line, sizeof line, NULL, NULL)) {
        // No message for this code: the number is all there is to tell.
        _snprintf(line, sizeof line, "system error %lu", code);
        return line;
    }
    end = (DWORD)strlen(line);
    if (end > 0 && line[end - 1] == '.')
        line[end - 1] = 0;
    return line;
}

// The prompt must be on the screen before the wait: output may be buffered
// when standard output is not the console itself.
static void waitForKey()
{
    printf("\n(press a key to exit)");
    fflush(NULL);
    _getch();
}

// Prints the framed message and ends the process with status 1.
[[noreturn]] static void frame(int pauseOnExit, const char *format, va_list arguments)
{
    char message[MESSAGE_SIZE];
    _vsnprintf(message, sizeof message, format, arguments);
    // Every message of the program fits; one that filled the buffer would
    // come back unterminated.
    message[sizeof message - 1] = 0;

    char framed[sizeof message + 64]; // the frame takes 41 more
    _snprintf(framed, sizeof framed, "\n                              \n*** %s ***\n", message);
    printText(framed);
    if (pauseOnExit)
        waitForKey();
    exit(1);
}

void logError(int pauseOnExit, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    frame(pauseOnExit, format, arguments);
    // cppcheck-suppress va_end_missing ; the process ends in frame, before any va_end
}

// ---------------------------------------------------------------------------
// Drive access and selection. None of these report a failure: each hands the
// platform's own result back, and the caller reads the error code at once.

HANDLE openDisk(int letter)
{
    char path[] = "\\\\.\\A:";
    path[4] = (char)letter;
    // Fails with INVALID_HANDLE_VALUE, not NULL.
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

// One control of a device, with no input; its answer, if any, in `out`.
static BOOL control(HANDLE device, DWORD code, void *out, DWORD size)
{
    DWORD returned;
    return DeviceIoControl(device, code, NULL, 0, out, size, &returned, NULL);
}

static BOOL geometryOf(HANDLE device, DISK_GEOMETRY *geometry)
{
    return control(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry, sizeof *geometry);
}

// The medium's size in bytes, or 0 when there is no usable medium.
unsigned long long removableMediaCapacity(HANDLE volume)
{
    DISK_GEOMETRY geometry;
    if (!geometryOf(volume, &geometry))
        return 0;
    if (geometry.MediaType == Unknown || geometry.MediaType == FixedMedia)
        return 0;
    // Widen before multiplying: media of 4 GiB and more pass 32 bits.
    return (unsigned long long)geometry.Cylinders.QuadPart * geometry.TracksPerCylinder *
           geometry.SectorsPerTrack * geometry.BytesPerSector;
}

BOOL lockVolume(HANDLE volume)
{
    return control(volume, FSCTL_LOCK_VOLUME, NULL, 0);
}

BOOL dismountVolume(HANDLE volume)
{
    return control(volume, FSCTL_DISMOUNT_VOLUME, NULL, 0);
}

BOOL unlockVolume(HANDLE volume)
{
    return control(volume, FSCTL_UNLOCK_VOLUME, NULL, 0);
}

// One write at the handle's position: no loop over partial writes, a short
// count goes back to the caller as it is. 0 when the write failed.
DWORD copyImage(HANDLE volume, const void *bytes, DWORD count)
{
    DWORD written = 0;
    if (!WriteFile(volume, bytes, count, &written, NULL))
        return 0;
    return written;
}

// What the system calls the drive of a letter: removable, fixed, ...
static unsigned driveType(int letter)
{
    char root[] = "A:\\";
    root[0] = (char)letter;
    return GetDriveTypeA(root);
}

// Reads one key after the prompt is on the screen; the key is not echoed.
static int readKey()
{
    fflush(NULL);
    int key = _getch();
    printf("\n");
    return key;
}

// Lists the removable drives that can hold minimumCapacity bytes, then asks
// for a letter and its confirmation. Returns the upper-case letter, or 0.
int findAvailableDrive(int minimumCapacity)
{
    for (int letter = 'A'; letter <= 'Z'; letter++) {
        int unusable = 0;
        HANDLE volume = openDisk(letter);
        if (volume == INVALID_HANDLE_VALUE)
            continue;
        unsigned long long capacity = removableMediaCapacity(volume);
        if (capacity == 0)
            unusable = 1;
        if (capacity < (unsigned long long)(long long)minimumCapacity)
            unusable = 1;
        if (driveType(letter) == DRIVE_REMOVABLE && !unusable)
            printf("\n %c: %s", letter, capacityText(capacity));
        CloseHandle(volume);
    }

    printf("\nEnter drive letter to be overwritten with files : ");
    int key = readKey();
    // Keys running out come as -1; toupper is defined for unsigned chars only.
    int letter = key >= 0 && key <= 255 ? toupper(key) : 0;
    if (letter < 'A' || letter > 'Z')
        return 0;
    printf("Overwrite drive %c: (Y/N)?: ", letter);
    key = readKey();
    if (key < 0 || key > 255 || tolower(key) != 'y')
        return 0;
    return letter;
}

// ---------------------------------------------------------------------------
// Program flow

static DWORD le16(const unsigned char *bytes)
{
    return bytes[0] | bytes[1] << 8;
}

static DWORD le32(const unsigned char *bytes)
{
    return le16(bytes) | le16(bytes + 2) << 16;
}

// Where the PE headers ("PE\0\0") start in this file, or 0 when they do
// not, or do not fit up to the security directory's entry of the larger
// (64-bit) layout: then they also hold every field read after this. No byte
// is read before its offset is checked against the file's size.
enum { HEADER_OFFSET = 0x3C, PE_SIGNATURE = 0x4550, OPTIONAL_HEADER = 24 };
enum { PE32_PLUS = 0x20B, DIRECTORIES_32 = 96, DIRECTORIES_64 = 112, SECURITY = 4 * 8 };
static DWORD peHeaders(const unsigned char *view, DWORD fileSize)
{
    if (fileSize < HEADER_OFFSET + 4 || view[0] != 'M' || view[1] != 'Z')
        return 0;
    unsigned long long pe = le32(view + HEADER_OFFSET);
    if (pe + OPTIONAL_HEADER + DIRECTORIES_64 + SECURITY + 8 > fileSize ||
        le32(view + pe) != PE_SIGNATURE)
        return 0;
    return (DWORD)pe;
}

// Where the linked program's sections end (the end of the last one's raw
// data), or 0 when the headers cannot tell.
static unsigned long long programEnd(const unsigned char *view, DWORD fileSize)
{
    enum { SECTION = 40, RAW_SIZE = 16, RAW_OFFSET = 20 };
    DWORD pe = peHeaders(view, fileSize);
    if (pe == 0)
        return 0;
    unsigned long long section = pe + OPTIONAL_HEADER + le16(view + pe + 20), end = 0;
    DWORD count = le16(view + pe + 6);
    if (section + (unsigned long long)count * SECTION > fileSize)
        return 0;
    for (; count > 0; count--, section += SECTION) {
        unsigned long long last =
            (unsigned long long)le32(view + section + RAW_OFFSET) + le32(view + section + RAW_SIZE);
        end = last > end ? last : end;
    }
    return end;
}

// Where the appended image ends within this file. Signing a release appends
// a certificate table after the image and records where in the PE headers'
// security directory (the fifth entry of 8 bytes); then the image ends where
// that table begins, also when a download cut the table short. In every
// other case it ends with the file.
static DWORD imageEnd(const unsigned char *view, DWORD fileSize)
{
    DWORD pe = peHeaders(view, fileSize);
    if (pe == 0)
        return fileSize;
    const unsigned char *optional = view + pe + OPTIONAL_HEADER;
    const unsigned char *directories =
        optional + (le16(optional) == PE32_PLUS ? DIRECTORIES_64 : DIRECTORIES_32);
    if (le32(directories - 4) <= SECURITY / 8)
        return fileSize;
    DWORD table = le32(directories + SECURITY), size = le32(directories + SECURITY + 4);
    if (size == 0 || table > fileSize || fileSize - table > size)
        return fileSize;
    return table;
}

// What a run holds once its drive is chosen, for the stops that hand it back.
struct Run {
    int pauseOnExit, letter;
    HANDLE volume, disk, ownFile, mapping; // disk: the one beneath a partitioned flash disk
    DISK_GEOMETRY geometry;                // the volume's, when `measured`
    int measured, writing;                 // writing: the image may have begun to reach the medium
};

enum { CLOSE_VOLUME = 1, CLOSE_MAPPING = 2, CLOSE_OWN_FILE = 4 };

// Every stop after the choice of the drive: it closes the handles that
// `closing` names, in that order, and prints the framed message. The
// message's arguments, the system's error text among them, are taken before
// anything here runs. Once a write to the disk beneath a partition has
// begun, the partition that the system knows may be gone: it is asked to
// read the disk's layout again, so that the drive shows the disk as it now
// is, and no file is copied onto it through a file system that is not there.
[[noreturn]] static void stop(const Run &run, unsigned closing, const char *format, ...)
{
    if (run.writing && run.disk)
        control(run.disk, IOCTL_DISK_UPDATE_PROPERTIES, NULL, 0);
    if (closing & CLOSE_VOLUME)
        CloseHandle(run.volume);
    if (closing & CLOSE_MAPPING)
        CloseHandle(run.mapping);
    if (closing & CLOSE_OWN_FILE)
        CloseHandle(run.ownFile);
    va_list arguments;
    va_start(arguments, format);
    frame(run.pauseOnExit, format, arguments);
    // cppcheck-suppress va_end_missing ; the process ends in frame, before any va_end
}

// Stops before anything is written, saying why.
[[noreturn]] static void refuse(const Run &run, const char *why, const char *detail,
                                const char *rest)
{
    stop(run, 0, "drive %c: %s%s%s; nothing was written", run.letter, why, detail, rest);
}

// A diskette's FAT12 is laid out in sectors of 512 bytes: on a drive whose
// sectors are larger it can neither be mounted nor booted.
static void checkSectors(const Run &run, const DISK_GEOMETRY &geometry)
{
    if (geometry.BytesPerSector != 512)
        refuse(run, "has sectors of ", commanumber(geometry.BytesPerSector), " bytes, not 512");
}

// A PC boots a disk from its first sector. A flash disk with a partition
// table shows its partition as the drive, so the image must go to the disk
// beneath it: this opens that disk, or gives NULL when the volume begins at
// its disk's first byte (a disk without a partition table) or its driver
// cannot say where it begins (a diskette's, Wine's), and the volume is
// written itself. The disk comes from the locked volume's own answer, and
// is taken only when it is that disk, removable, and holds this volume
// alone; anything else stops the run before anything is written.
static HANDLE partitionedDisk(const Run &run)
{
    VOLUME_DISK_EXTENTS extents = {};
    DISK_GEOMETRY geometry;
    // A volume of several extents does not fit, and says how many it has.
    if (!control(run.volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &extents, sizeof extents)) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED)
            extents.NumberOfDiskExtents = 1;
        else if (error != ERROR_MORE_DATA)
            refuse(run, "cannot tell its disk: ", winErrorText(error), "");
    }
    if (extents.NumberOfDiskExtents != 1)
        refuse(run, "spans ", commanumber(extents.NumberOfDiskExtents), " disk extents, not one");
    DISK_EXTENT extent = extents.Extents[0];
    if (extent.StartingOffset.QuadPart == 0) {
        // A volume's driver that cannot tell its geometry leaves the
        // read-back to judge the medium.
        if (run.measured)
            checkSectors(run, run.geometry);
        return NULL;
    }

    char path[32], which[40];
    _snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%lu", extent.DiskNumber);
    _snprintf(which, sizeof which, "is on disk %lu, which ", extent.DiskNumber);
    HANDLE disk = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (disk == INVALID_HANDLE_VALUE)
        refuse(run, which, "cannot be opened: ", winErrorText(0));
    // The disk opened must say that it is the one the volume named.
    STORAGE_DEVICE_NUMBER number;
    if (!control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number) ||
        !geometryOf(disk, &geometry))
        refuse(run, which, "cannot be read: ", winErrorText(0));
    if (number.DeviceNumber != extent.DiskNumber)
        refuse(run, which, "opened as disk ", commanumber(number.DeviceNumber));
    // A USB hard disk or an internal one says FixedMedia: never the target.
    if (geometry.MediaType != RemovableMedia)
        refuse(run, which, "is not removable media", "");
    checkSectors(run, geometry);

    // The layout's size is known only to the system: the buffer grows while
    // it asks for more. Room for a partition table of 128 entries and more.
    const DWORD ROOM = 32768;
    static LARGE_INTEGER room[ROOM / sizeof(LARGE_INTEGER)];
    DRIVE_LAYOUT_INFORMATION_EX *layout = (DRIVE_LAYOUT_INFORMATION_EX *)room;
    DWORD size = sizeof *layout + 3 * sizeof(PARTITION_INFORMATION_EX);
    while (!control(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, layout, size)) {
        DWORD error = GetLastError();
        if ((error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) || size == ROOM)
            refuse(run, which, "cannot be read: ", winErrorText(error));
        size = size < ROOM / 2 ? size * 2 : ROOM;
    }
    // The layout must show this volume's partition and nothing else. Unused
    // entries of a partition table have no length; an extended partition's
    // container counts as another partition.
    int found = 0;
    for (DWORD i = 0; i < layout->PartitionCount; i++) {
        const PARTITION_INFORMATION_EX &entry = layout->PartitionEntry[i];
        int ours = entry.StartingOffset.QuadPart == extent.StartingOffset.QuadPart &&
                   entry.PartitionLength.QuadPart == extent.ExtentLength.QuadPart;
        if (entry.PartitionLength.QuadPart != 0 && !ours)
            refuse(run, which, "holds other partitions besides this drive", "");
        found |= ours;
    }
    if (!found)
        refuse(run, which, "does not list this drive", "");
    return disk;
}

// The appended image, in the program's own file mapped read-only.
static const unsigned char *appendedImage(Run &run)
{
    // The path by its real name: the ANSI calls would spell every character
    // that the system's code page lacks as '?', and no file has that name.
    WCHAR ownPath[MAX_PATH];
    DWORD pathLength = GetModuleFileNameW(NULL, ownPath, MAX_PATH);
    if (pathLength == 0)
        stop(run, 0, "GetModuleFileName error \"%s\"", winErrorText(0));
    // A path that does not fit comes back cut short (and, on older systems,
    // unterminated). Opening the cut path could find some other file, whose
    // tail would then be written to the drive.
    ownPath[MAX_PATH - 1] = 0;
    if (pathLength >= MAX_PATH)
        stop(run, 0, "program path longer than 259 characters: move the program to a shorter path");

    run.ownFile = CreateFileW(ownPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_READONLY, NULL);
    if (run.ownFile == INVALID_HANDLE_VALUE) {
        static const char format[] = "CreateFile (\"%s\") error \"%s\"";
        char *error = winErrorText(0); // before any other call changes the last error
        // The system's text is shown whole; the path gives way where both do not fit.
        int room = MESSAGE_SIZE - (int)(sizeof format - 4) - (int)strlen(error);
        stop(run, 0, format, printable(ownPath, room), error);
    }
    DWORD fileSize = GetFileSize(run.ownFile, NULL);

    // CreateFileMappingA fails with NULL, not INVALID_HANDLE_VALUE.
    run.mapping = CreateFileMappingA(run.ownFile, NULL, PAGE_READONLY, 0, 0, NULL);
    if (run.mapping == NULL)
        stop(run, CLOSE_OWN_FILE, "CreateFileMapping error \"%s\"", winErrorText(0));
    const unsigned char *view =
        (const unsigned char *)MapViewOfFile(run.mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == NULL)
        stop(run, CLOSE_VOLUME | CLOSE_MAPPING | CLOSE_OWN_FILE, "MapViewOfFile error \"%s\"",
             winErrorText(0));

    int imageOffset = (int)(imageEnd(view, fileSize) - IMAGE_SIZE);
    if (imageOffset < 0)
        stop(run, 0, "appended image missing");
    // A file cut short, as a broken download leaves it, would have the image
    // begin inside the program's own sections: a disk that never boots.
    unsigned long long linked = programEnd(view, fileSize);
    if ((unsigned long long)imageOffset < linked)
        stop(run, 0, "program file damaged: %s bytes, expected at least %s; download it again",
             commanumber(fileSize), commanumber(linked + IMAGE_SIZE));
    return view + imageOffset;
}

static const char NOT_BOOTABLE[] =
    "the disk does not hold the image and is not bootable: try another disk";

// A write that succeeds proves only that the device took the bytes: a worn
// diskette, a counterfeit or failing flash disk, keep less or none. So the
// image is read back through the same handle from offset 0, and the disk is
// called bootable only when it holds it. The flush comes first: a device
// may keep a write in its own cache and answer a read from there. The read
// goes a tenth at a time, each shown, since a diskette takes half a minute.
static void readBack(const Run &run, HANDLE target, const unsigned char *image, const char *lost)
{
    // A volume handle reads past the system's cache, which wants whole
    // sectors at an address that is a multiple of them: hence a buffer of
    // 360 pages, aligned to a page, read in pieces of 36 pages.
    enum { PIECE = IMAGE_SIZE / 10 };
    alignas(4096) static unsigned char sectors[IMAGE_SIZE];
    DWORD read = 0, got = PIECE;
    static const char failed[] = "error %s drive %c: %s; %s%s";
    if (!FlushFileBuffers(target))
        stop(run, 0, failed, "flushing", run.letter, winErrorText(0), NOT_BOOTABLE, lost);
    printf("Checking drive %c:", run.letter);
    while (read < IMAGE_SIZE && got == PIECE) {
        OVERLAPPED at = {};
        at.Offset = read;
        fflush(NULL);
        if (!ReadFile(target, sectors + read, PIECE, &got, &at))
            stop(run, 0, failed, "reading back", run.letter, winErrorText(0), NOT_BOOTABLE, lost);
        read += got;
        printf(" %d%%", (int)(read / (IMAGE_SIZE / 100)));
    }
    if (read != IMAGE_SIZE)
        stop(run, 0, "drive %c: read back only %s of %s bytes; %s%s", run.letter, commanumber(read),
             commanumber(IMAGE_SIZE), NOT_BOOTABLE, lost);
    DWORD at = 0;
    while (at < IMAGE_SIZE && sectors[at] == image[at])
        at++;
    if (at < IMAGE_SIZE)
        stop(run, 0, "drive %c: reads back different from the image at byte %s (sector %s); %s%s",
             run.letter, commanumber(at), commanumber(at / 512), NOT_BOOTABLE, lost);
}

// Ctrl-C or Ctrl-Break during the write and the check would end the program
// at once, the disk part new and part old, or never checked: they are held
// off until the disk is done. A window closed or a session ended cannot be
// held off, and is left to the system.
static BOOL WINAPI holdBreaks(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

int main(int /*argc*/, char ** /*argv*/)
{
    // Asked before anything is printed: afterwards the cursor has moved.
    Run run = {};
    run.pauseOnExit = isCursorHomed();

    printf("\n\n   Varnel Tarvex Flash Disk Creation Utility " VERSION_TEXT "   \n\n");
    printf("Searching for removable drives...");
    fflush(NULL);
    run.letter = findAvailableDrive(IMAGE_SIZE);
    if (run.letter == 0) {
        printf("\nNo valid drive letter entered, exiting...\n");
        if (run.pauseOnExit)
            waitForKey();
        return 1;
    }

    // Any letter may be typed: a drive that is not removable, or whose
    // medium says it is fixed, is never written, listed or not.
    static const char FIXED[] = "is not a removable drive";
    if (driveType(run.letter) != DRIVE_REMOVABLE)
        refuse(run, FIXED, "", "");
    run.volume = openDisk(run.letter);
    if (run.volume == INVALID_HANDLE_VALUE)
        stop(run, 0, "error opening drive %c: %s\n", run.letter, winErrorText(0));
    run.measured = geometryOf(run.volume, &run.geometry);
    if (run.measured && run.geometry.MediaType == FixedMedia)
        refuse(run, FIXED, "", "");
    if (!lockVolume(run.volume))
        stop(run, 0, "Error locking drive %c: %s", run.letter, winErrorText(0));
    run.disk = partitionedDisk(run);
    HANDLE target = run.disk ? run.disk : run.volume;
    const unsigned char *image = appendedImage(run);
    // Were Ctrl-C not held off, it could cut the write short: no write then.
    if (!SetConsoleCtrlHandler(holdBreaks, 1))
        refuse(run, "cannot hold off Ctrl-C: ", winErrorText(0), "");
    printf("\nWriting drive %c:, up to a minute on a diskette.\n"
           "Do not remove the disk or close this window.\n",
           run.letter);
    fflush(NULL);

    // A file system left mounted over the disk beneath could write its
    // records back over the image: the volume is dismounted first. Its
    // handle keeps it locked, and Windows lets a disk handle write a
    // volume's sectors only while that volume is locked or dismounted. A
    // volume written itself is dismounted afterwards: the file system checks
    // it when the handle that wrote it closes.
    if (run.disk)
        dismountVolume(run.volume);
    const char *lost =
        run.disk ? "; its partition and files may be lost: format the flash disk again" : "";
    run.writing = 1;
    // A fresh handle stands at offset 0.
    DWORD written = copyImage(target, image, IMAGE_SIZE);
    if (written == 0)
        stop(run, 0, "WriteFile error \"%s\"%s", winErrorText(0), lost);
    if (written != IMAGE_SIZE)
        stop(run, 0, "write failed, only %lu of %lu bytes written%s", written, (DWORD)IMAGE_SIZE,
             lost);
    readBack(run, target, image, lost);
    printf("\n");

    // The image is on the medium; these hand the volume back to the system,
    // and their failure changes nothing for the user.
    if (!run.disk)
        dismountVolume(run.volume);
    unlockVolume(run.volume);
    // The disk holds a diskette now, not its partition: the system reads its
    // layout again, so that the drive shows it without being plugged in anew.
    if (run.disk) {
        control(run.disk, IOCTL_DISK_UPDATE_PROPERTIES, NULL, 0);
        CloseHandle(run.disk);
    }
    CloseHandle(run.volume);
    CloseHandle(run.ownFile);
    SetConsoleCtrlHandler(holdBreaks, 0);

    printf("\n  Congratulations! You have successfully created a bootable BIOS Update Disk in "
           "drive %c:\n"
           "  Start the PC from it: choose the disk in the PC's boot menu or its setup.\n",
           run.letter);
    // A flash disk shows as a 1.44 MB drive from now on.
    if (run.disk || (run.measured && run.geometry.MediaType == RemovableMedia))
        printf("  The flash disk holds the update disk alone: format it afterwards (Disk\n"
               "  Management, or diskpart and clean) to use its whole size again.\n");
    if (run.pauseOnExit)
        waitForKey();
    return 0;
}

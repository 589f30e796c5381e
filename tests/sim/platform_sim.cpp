// The simulated machine: Win32 and msvcrt as the image writer relies on them,
// scripted by the tests through sim.h.
// The C library's headers come first: after sim.h, the simulated stdio
// names stand in the global scope beside them.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "sim.h"

int imagewriteMain(int argc, char **argv);

namespace sim {

Machine machine;

namespace {

enum class Kind { Volume, OwnFile, Mapping };

struct Handle {
    Kind kind;
    int letter; // volumes only
    bool open;
    unsigned long long position; // volumes only: where the next write lands
    bool holdsLock;              // volumes only
};

std::vector<Handle> handles;
std::vector<std::unique_ptr<unsigned char[]>> views;
std::vector<std::unique_ptr<char[]>> messageBuffers;
const HANDLE consoleHandle = (HANDLE)(intptr_t)0x54;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_NOT_LOCKED = 158;
const DWORD ERROR_FILE_INVALID = 1006;
const unsigned char *viewStart = nullptr;
size_t viewSize = 0;

HANDLE handleValue(size_t index)
{
    return (HANDLE)(intptr_t)(0x1000 + 4 * index);
}

Handle *lookup(HANDLE handle)
{
    intptr_t value = (intptr_t)handle;
    if (value < 0x1000 || (value - 0x1000) % 4 != 0)
        return nullptr;
    size_t index = (size_t)(value - 0x1000) / 4;
    return index < handles.size() ? &handles[index] : nullptr;
}

HANDLE newHandle(Kind kind, int letter)
{
    handles.push_back(Handle{kind, letter, true, 0, false});
    if (openHandles() > machine.maxOpenHandles)
        machine.maxOpenHandles = openHandles();
    return handleValue(handles.size() - 1);
}

std::string describe(HANDLE handle)
{
    if (handle == consoleHandle)
        return "console";
    if (handle == INVALID_HANDLE_VALUE)
        return "INVALID_HANDLE_VALUE";
    if (handle == nullptr)
        return "null";
    Handle *entry = lookup(handle);
    if (!entry)
        return "bad handle";
    switch (entry->kind) {
    case Kind::Volume:
        return std::string("volume ") + (char)entry->letter + ":";
    case Kind::OwnFile:
        return "own file";
    case Kind::Mapping:
        return "mapping";
    }
    return "bad handle";
}

std::string format(const char *pattern, ...)
{
    char buffer[1024];
    va_list arguments;
    va_start(arguments, pattern);
    vsnprintf(buffer, sizeof buffer, pattern, arguments);
    va_end(arguments);
    return buffer;
}

// Logs the call; gives the error it must fail with, or 0 to go ahead.
DWORD enter(const std::string &text)
{
    machine.calls.push_back(text);
    if ((long)machine.calls.size() - 1 == machine.failIndex)
        return machine.failError;
    return 0;
}

// msvcrt's conversions in glibc's words: "I64" is "ll", and "l" is 32 bits wide.
std::string msvcrtFormat(const char *pattern)
{
    std::string out;
    for (const char *p = pattern; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;
        while (*p && strchr("-+ #0123456789.*", *p))
            out += *p++;
        if (strncmp(p, "I64", 3) == 0) {
            out += "ll";
            p += 3;
        } else if (*p == 'l' && p[1] && strchr("diouxX", p[1])) {
            p++;
        }
        if (*p)
            out += *p++;
    }
    return out;
}

std::string vformat(const char *pattern, va_list arguments)
{
    std::string converted = msvcrtFormat(pattern);
    va_list copy;
    va_copy(copy, arguments);
    int length = vsnprintf(nullptr, 0, converted.c_str(), copy);
    va_end(copy);
    if (length < 0)
        return std::string();
    std::string out((size_t)length + 1, '\0');
    vsnprintf(&out[0], out.size(), converted.c_str(), arguments);
    out.resize((size_t)length);
    return out;
}

Drive *volumeDrive(HANDLE handle)
{
    Handle *entry = lookup(handle);
    if (!entry || !entry->open || entry->kind != Kind::Volume)
        return nullptr;
    return &machine.drives[entry->letter - 'A'];
}

BOOL fail(DWORD error)
{
    machine.lastError = error;
    return 0;
}

const char *controlName(DWORD code)
{
    switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        return "GET_DRIVE_GEOMETRY";
    case FSCTL_LOCK_VOLUME:
        return "LOCK_VOLUME";
    case FSCTL_DISMOUNT_VOLUME:
        return "DISMOUNT_VOLUME";
    case FSCTL_UNLOCK_VOLUME:
        return "UNLOCK_VOLUME";
    }
    return "unknown control";
}

} // namespace

void *const stdout = (void *)&machine.console;

void reset()
{
    machine = Machine();
    handles.clear();
    views.clear();
    messageBuffers.clear();
    viewStart = nullptr;
    viewSize = 0;
    // Windows' own texts: one sentence, a full stop, CR LF.
    machine.messages = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY,
         "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
        {ERROR_NOT_READY, "The device is not ready.\r\n"},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    };
}

Drive &drive(char letter)
{
    return machine.drives[letter - 'A'];
}

Drive &addDiskette(char letter, size_t storeSize, unsigned char fill)
{
    Drive &d = drive(letter);
    d = Drive();
    d.present = true;
    d.driveType = DRIVE_REMOVABLE;
    d.store.assign(storeSize, fill);
    return d;
}

Drive &addRemovable(char letter, long long cylinders, DWORD tracks, DWORD sectors,
                    DWORD bytesPerSector, MEDIA_TYPE media)
{
    Drive &d = addDiskette(letter, 0);
    d.geometry.mediaType = media;
    d.geometry.cylinders = cylinders;
    d.geometry.tracksPerCylinder = tracks;
    d.geometry.sectorsPerTrack = sectors;
    d.geometry.bytesPerSector = bytesPerSector;
    return d;
}

void setOwnFile(size_t programSize, const std::vector<unsigned char> &image)
{
    machine.own.bytes.assign(programSize, 0x4D);
    machine.own.bytes.insert(machine.own.bytes.end(), image.begin(), image.end());
}

std::vector<unsigned char> patternImage(size_t size, unsigned seed)
{
    std::vector<unsigned char> image(size);
    unsigned state = seed * 2654435761u + 1;
    for (auto &byte : image) {
        state = state * 1103515245u + 12345u;
        byte = (unsigned char)(state >> 16);
    }
    return image;
}

void typeKeys(const std::vector<int> &keys)
{
    machine.console.keys = keys;
    machine.console.nextKey = 0;
}

int openHandles()
{
    int count = 0;
    for (const Handle &entry : handles)
        count += entry.open ? 1 : 0;
    return count;
}

bool ownFileOpen()
{
    for (const Handle &entry : handles)
        if (entry.open && entry.kind == Kind::OwnFile)
            return true;
    return false;
}

bool isPrinting(const std::string &call)
{
    static const char *const printing[] = {"printf(",    "puts(",       "putchar(",
                                           "_snprintf(", "_vsnprintf(", "fflush("};
    for (const char *name : printing)
        if (call.compare(0, strlen(name), name) == 0)
            return true;
    return false;
}

std::vector<std::string> systemCalls()
{
    std::vector<std::string> out;
    for (const std::string &call : machine.calls)
        if (!isPrinting(call))
            out.push_back(call);
    return out;
}

int openVolumeHandles()
{
    int count = 0;
    for (const Handle &entry : handles)
        count += entry.open && entry.kind == Kind::Volume ? 1 : 0;
    return count;
}

int runProgram()
{
    char name[] = "imagewrite.exe";
    char *argv[] = {name, nullptr};
    try {
        return imagewriteMain(1, argv);
    } catch (const Exit &ending) {
        return ending.status;
    }
}

// ---------------------------------------------------------------------------
// kernel32

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    DWORD error = enter(format("CreateFileA(%s, %08X, %u, %s, %u, %u, %s)", name, access, share,
                               security ? "attributes" : "null", disposition, flags,
                               templateFile ? "template" : "null"));
    if (error) {
        machine.lastError = error;
        return INVALID_HANDLE_VALUE;
    }
    if (strlen(name) == 6 && strncmp(name, "\\\\.\\", 4) == 0 && name[5] == ':' && name[4] >= 'A' &&
        name[4] <= 'Z') {
        Drive &d = drive(name[4]);
        if (!d.present || d.openError) {
            machine.lastError = d.openError ? d.openError : ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        if (disposition != OPEN_EXISTING) {
            machine.lastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        return newHandle(Kind::Volume, name[4]);
    }
    if (machine.own.path == name && disposition == OPEN_EXISTING) {
        if (machine.own.openError) {
            machine.lastError = machine.own.openError;
            return INVALID_HANDLE_VALUE;
        }
        return newHandle(Kind::OwnFile, 0);
    }
    machine.lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped)
{
    DWORD error = enter(format("DeviceIoControl(%s, %s, in %u, out %u)", describe(device).c_str(),
                               controlName(code), inSize, outSize));
    if (error)
        return fail(error);
    Drive *d = volumeDrive(device);
    if (!d)
        return fail(ERROR_INVALID_HANDLE);
    if (in || inSize || overlapped || !returned)
        return fail(ERROR_INVALID_PARAMETER);
    *returned = 0;
    switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        if (!out || outSize < sizeof(DISK_GEOMETRY))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        if (d->geometry.error)
            return fail(d->geometry.error);
        DISK_GEOMETRY g;
        g.Cylinders.QuadPart = d->geometry.cylinders;
        g.MediaType = d->geometry.mediaType;
        g.TracksPerCylinder = d->geometry.tracksPerCylinder;
        g.SectorsPerTrack = d->geometry.sectorsPerTrack;
        g.BytesPerSector = d->geometry.bytesPerSector;
        memcpy(out, &g, sizeof g);
        *returned = sizeof g;
        return 1;
    }
    case FSCTL_LOCK_VOLUME:
        if (out || outSize)
            return fail(ERROR_INVALID_PARAMETER);
        if (d->lockError)
            return fail(d->lockError);
        if (d->locked)
            return fail(ERROR_ACCESS_DENIED);
        d->locked = true;
        lookup(device)->holdsLock = true;
        return 1;
    case FSCTL_DISMOUNT_VOLUME:
        if (out || outSize)
            return fail(ERROR_INVALID_PARAMETER);
        if (d->dismountError)
            return fail(d->dismountError);
        d->dismounted = true;
        return 1;
    case FSCTL_UNLOCK_VOLUME:
        if (out || outSize)
            return fail(ERROR_INVALID_PARAMETER);
        if (d->unlockError)
            return fail(d->unlockError);
        if (!d->locked)
            return fail(ERROR_NOT_LOCKED);
        d->locked = false;
        lookup(device)->holdsLock = false;
        return 1;
    }
    return fail(ERROR_INVALID_PARAMETER);
}

unsigned GetDriveTypeA(LPCSTR root)
{
    DWORD error = enter(format("GetDriveTypeA(%s)", root));
    if (error) {
        machine.lastError = error;
        return DRIVE_UNKNOWN;
    }
    if (strlen(root) != 3 || root[1] != ':' || root[2] != '\\' || root[0] < 'A' || root[0] > 'Z')
        return DRIVE_NO_ROOT_DIR;
    const Drive &d = drive(root[0]);
    return d.present ? d.driveType : DRIVE_NO_ROOT_DIR;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    const unsigned char *bytes = (const unsigned char *)buffer;
    std::string where = "buffer";
    if (viewStart && bytes >= viewStart && bytes <= viewStart + viewSize)
        where = format("view+%ld", (long)(bytes - viewStart));
    DWORD error =
        enter(format("WriteFile(%s, %s, %u)", describe(file).c_str(), where.c_str(), count));
    if (written)
        *written = 0;
    if (error)
        return fail(error);
    Drive *d = volumeDrive(file);
    if (!d)
        return fail(ERROR_INVALID_HANDLE);
    if (!written || overlapped)
        return fail(ERROR_INVALID_PARAMETER);
    if (d->writeError)
        return fail(d->writeError);
    // The device reads the whole buffer, as a DMA transfer would.
    std::vector<unsigned char> data(bytes, bytes + count);
    machine.writeWhileLocked = d->locked;
    machine.writeViewOffset = where == "buffer" ? -1 : (long)(bytes - viewStart);
    Handle *entry = lookup(file);
    unsigned long long room =
        entry->position < d->store.size() ? d->store.size() - entry->position : 0;
    unsigned long long n = count;
    if (n > d->writeLimit)
        n = d->writeLimit;
    if (n > room)
        n = room;
    if (n == 0 && count > 0 && room == 0)
        return fail(ERROR_DISK_FULL);
    memcpy(d->store.data() + entry->position, data.data(), (size_t)n);
    entry->position += n;
    *written = (DWORD)n;
    return 1;
}

BOOL CloseHandle(HANDLE handle)
{
    DWORD error = enter(format("CloseHandle(%s)", describe(handle).c_str()));
    if (error)
        return fail(error);
    Handle *entry = lookup(handle);
    if (!entry || !entry->open)
        return fail(ERROR_INVALID_HANDLE);
    entry->open = false;
    // Closing the handle that holds a volume's lock ends the lock.
    if (entry->holdsLock) {
        machine.drives[entry->letter - 'A'].locked = false;
        entry->holdsLock = false;
    }
    return 1;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size)
{
    DWORD error = enter(format("GetModuleFileNameA(%s, %u)", module ? "module" : "null", size));
    if (error || machine.own.moduleNameError) {
        error = error ? error : machine.own.moduleNameError;
        machine.lastError = error;
        return 0;
    }
    if (size == 0)
        return (DWORD)fail(ERROR_INSUFFICIENT_BUFFER);
    const std::string &own = machine.own.path;
    if (own.size() < size) {
        memcpy(path, own.c_str(), own.size() + 1);
        return (DWORD)own.size();
    }
    // What current Windows does with a path that does not fit: cut it,
    // terminate it, give the buffer's size and set the last error.
    memcpy(path, own.c_str(), size - 1);
    path[size - 1] = 0;
    machine.lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
}

DWORD GetFileSize(HANDLE file, LPDWORD high)
{
    DWORD error =
        enter(format("GetFileSize(%s, %s)", describe(file).c_str(), high ? "high" : "null"));
    Handle *entry = lookup(file);
    if (error || !entry || !entry->open || entry->kind != Kind::OwnFile) {
        machine.lastError = error ? error : ERROR_INVALID_HANDLE;
        return 0xFFFFFFFFu;
    }
    unsigned long long size = machine.own.bytes.size();
    if (high)
        *high = (DWORD)(size >> 32);
    return (DWORD)size;
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD maxHigh,
                          DWORD maxLow, LPCSTR name)
{
    DWORD error = enter(format("CreateFileMappingA(%s, %s, %u, %u, %u, %s)", describe(file).c_str(),
                               security ? "attributes" : "null", protect, maxHigh, maxLow,
                               name ? name : "null"));
    if (error || machine.own.mappingError) {
        machine.lastError = error ? error : machine.own.mappingError;
        return nullptr;
    }
    Handle *entry = lookup(file);
    if (!entry || !entry->open || entry->kind != Kind::OwnFile) {
        machine.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (machine.own.bytes.empty()) {
        machine.lastError = ERROR_FILE_INVALID;
        return nullptr;
    }
    return newHandle(Kind::Mapping, 0);
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t length)
{
    DWORD error = enter(format("MapViewOfFile(%s, %u, %u, %u, %zu)", describe(mapping).c_str(),
                               access, offsetHigh, offsetLow, length));
    if (error || machine.own.viewError) {
        machine.lastError = error ? error : machine.own.viewError;
        return nullptr;
    }
    Handle *entry = lookup(mapping);
    if (!entry || !entry->open || entry->kind != Kind::Mapping) {
        machine.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    // Exactly the file's size, so that a read past its end is caught.
    viewSize = machine.own.bytes.size();
    views.emplace_back(new unsigned char[viewSize]);
    memcpy(views.back().get(), machine.own.bytes.data(), viewSize);
    viewStart = views.back().get();
    return views.back().get();
}

HANDLE GetStdHandle(DWORD which)
{
    DWORD error = enter(format("GetStdHandle(%d)", (int)which));
    if (error || which != STD_OUTPUT_HANDLE) {
        machine.lastError = error ? error : ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    return consoleHandle;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    DWORD error = enter(format("GetConsoleScreenBufferInfo(%s)", describe(console).c_str()));
    if (error)
        return fail(error);
    if (console != consoleHandle || !machine.console.isConsole)
        return fail(ERROR_INVALID_HANDLE);
    memset(info, 0, sizeof *info);
    info->dwSize.X = 80;
    info->dwSize.Y = 300;
    info->dwCursorPosition.X = machine.console.cursorX;
    info->dwCursorPosition.Y = machine.console.cursorY;
    return 1;
}

DWORD GetLastError()
{
    machine.calls.push_back("GetLastError()");
    return machine.lastError;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buffer,
                     DWORD size, va_list *arguments)
{
    DWORD error =
        enter(format("FormatMessageA(%X, %s, %u, %u, %u, %s)", flags, source ? "source" : "null",
                     code, language, size, arguments ? "arguments" : "null"));
    if (error)
        return fail(error);
    const DWORD wanted =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    if (flags != wanted || !buffer)
        return fail(ERROR_INVALID_PARAMETER);
    auto found = machine.messages.find(code);
    if (found == machine.messages.end())
        return fail(ERROR_MR_MID_NOT_FOUND);
    const std::string &message = found->second;
    messageBuffers.emplace_back(new char[message.size() + 1]);
    memcpy(messageBuffers.back().get(), message.c_str(), message.size() + 1);
    *(char **)buffer = messageBuffers.back().get();
    return (DWORD)message.size();
}

// ---------------------------------------------------------------------------
// msvcrt

// A failing print shows nothing and gives -1 (EOF).
int printf(const char *pattern, ...)
{
    if (enter(format("printf(%s)", pattern)))
        return -1;
    va_list arguments;
    va_start(arguments, pattern);
    std::string text = vformat(pattern, arguments);
    va_end(arguments);
    machine.console.transcript += text;
    return (int)text.size();
}

int puts(const char *text)
{
    if (enter("puts()"))
        return -1;
    machine.console.transcript += text;
    machine.console.transcript += '\n';
    return 0;
}

int putchar(int c)
{
    if (enter("putchar()"))
        return -1;
    machine.console.transcript += (char)c;
    return c;
}

// msvcrt's semantics: a text that fills the buffer is left unterminated, and
// one that does not fit is cut with -1 as the result.
static int formatInto(const char *name, char *buffer, size_t count, const char *pattern,
                      va_list arguments)
{
    enter(format("%s(%zu, %s)", name, count, pattern));
    std::string text = vformat(pattern, arguments);
    if (text.size() < count) {
        memcpy(buffer, text.c_str(), text.size() + 1);
        return (int)text.size();
    }
    memcpy(buffer, text.data(), count);
    return text.size() == count ? (int)count : -1;
}

int _vsnprintf(char *buffer, size_t count, const char *pattern, va_list arguments)
{
    return formatInto("_vsnprintf", buffer, count, pattern, arguments);
}

int _snprintf(char *buffer, size_t count, const char *pattern, ...)
{
    va_list arguments;
    va_start(arguments, pattern);
    int result = formatInto("_snprintf", buffer, count, pattern, arguments);
    va_end(arguments);
    return result;
}

int fflush(void *stream)
{
    return enter(stream == stdout ? "fflush(stdout)" : "fflush(?)") ? -1 : 0;
}

int _getch()
{
    Console &console = machine.console;
    if (enter("_getch()") || console.nextKey >= console.keys.size())
        return -1;
    return console.keys[console.nextKey++];
}

void exit(int status)
{
    enter(format("exit(%d)", status));
    throw Exit{status};
}

} // namespace sim

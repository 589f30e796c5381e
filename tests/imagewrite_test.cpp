// The image writer on the host, against a fake platform whose whole state is
// the plain data in `w`: a test edits it, runs the program or one of its
// functions, then reads the console text, the drive's bytes, the handles left
// open and what happened to the volume. The fake checks the arguments that a
// change to the program could alter and that Windows would refuse, not the
// macro constants that it passes straight through.
//
// The world: the program in a folder named in Cyrillic, a system that speaks
// Russian, a 1.44 MB diskette at A:, and beneath A: a flash disk that a row
// may partition. Four tables, each one loop:
// - every call of a successful run failed in turn, named by the fake's name
//   for it and which time it comes (a call whose failure changes nothing
//   needs no row): the whole transcript, the status, the handles left open,
//   what was done to the volume, the bytes of both media;
// - the endings that the files, the drive and the console bring about:
//   long paths, a release cut short, grown or signed, partitioned flash
//   disks (the image at the disk's first byte; every refusal before the
//   write; the stops after it, which have the system read the layout anew),
//   media that keep or give back less, sectors of 4,096 bytes, the pause,
//   output to a file;
// - the keys at both prompts, the capacity texts and the system's texts;
// - the listing rule at its boundaries.
// A failing table names its first failing row in full (where the text or
// the bytes part from what was expected), then the other failing rows;
// ROW=TEXT judges only the rows whose names hold TEXT.
#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <set>

#include "imagewrite.h"
#include "version.h"

int imagewriteMain(int argc, char **argv);

namespace sim {

struct Drive {
    unsigned type;                     // GetDriveTypeA's answer; 0: no volume behind the letter
    DISK_GEOMETRY geometry;            // what the geometry query reads
    std::string store;                 // the medium; a write stores what fits from offset 0
    long long start = -1, extents = 1; // where the volume begins on its disk (-1: its driver
                                       // does not say), in how many extents of disks
    size_t kept = SIZE_MAX, readable = SIZE_MAX; // what it keeps of a write, and reads give of it
};

// A program started from a folder named in Cyrillic, on a console, on a
// system whose messages are in Russian.
struct World {
    Drive drives[26];
    Drive disk;                                    // the disk beneath drive A:
    DWORD number = 1, answers = 1;                 // its number, and the one it answers to
    std::vector<long long> partitions = {1 << 20}; // where its partitions begin
    std::string keys = "ayk";                      // the keys still to come; then _getch gives -1
    std::string out;       // all that was printed, with "\f" where stdout was flushed
    std::string own, view; // the program's own file, and the view of it once mapped
    size_t signature = 0;  // the size of a certificate table that ends it
    std::wstring ownPath = L"C:\\Тест\\imagewrite.exe";
    COORD cursor{};                        // where the console's cursor stands
    bool console = true;                   // whether standard output is a console
    std::wstring message = L"Файл #.\r\n"; // the system's text for every code, # its number
    std::deque<std::wstring> texts;        // FormatMessageW's buffers, never released
    std::string open;                      // open handles: a volume's letter, 1 (the disk), o, m
    PHANDLER_ROUTINE handler = nullptr;    // the console control handler
    std::string volume; // lock, write, flush, read, dismount, unlock, the disk's new layout (p);
                        // in capitals through the disk
    std::vector<std::pair<std::string, int>> made; // each call: its name, and which time it came
    std::pair<std::string, int> fail;              // the call to fail, and which time
    DWORD lastError = 0, failError = 5; // with this error; a call Windows refuses, with 87
} w;

// Records the call; true, with the thread's last error set, for the one that
// is to fail and for one that Windows would refuse.
bool fails(const std::string &call, bool refused = false, DWORD error = 87)
{
    int time = 1;
    for (const auto &made : w.made)
        time += made.first == call;
    w.made.emplace_back(call, time);
    bool scripted = w.made.back() == w.fail;
    w.lastError = scripted ? w.failError : refused ? error : w.lastError;
    return scripted || refused;
}

HANDLE opened(char kind)
{
    w.open += kind;
    return (HANDLE)(intptr_t)kind;
}

// What an open handle stands for: a volume's letter, '1', 'o' or 'm'; 0 if not open.
char held(HANDLE handle)
{
    char kind = (char)(intptr_t)handle;
    return kind && w.open.find(kind) != std::string::npos ? kind : 0;
}

// The drive, or disk 1, that an open handle stands for.
Drive *drive(HANDLE handle)
{
    char kind = held(handle);
    return kind == '1' ? &w.disk : isupper(kind) ? &w.drives[kind - 'A'] : nullptr;
}

// What was done to a volume, or in capitals through its disk; '!' when
// Ctrl-C and Ctrl-Break were not held off while it was done.
bool done(HANDLE handle, char what)
{
    w.volume += drive(handle) == &w.disk ? (char)toupper(what) : what;
    if (!w.handler || !w.handler(CTRL_C_EVENT) || !w.handler(CTRL_BREAK_EVENT) || w.handler(2))
        w.volume += '!';
    return true;
}

// While Ctrl-C is held off, 'c' stands among the open handles.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    if (fails("SetConsoleCtrlHandler"))
        return 0;
    w.handler = add ? handler : nullptr;
    w.open = add ? w.open + 'c' : w.open.erase(w.open.find('c'), 1);
    return 1;
}

// Wide text as Windows keeps it (UTF-16 units) to UTF-8 and back, as Windows
// converts it: what is not a whole character becomes U+FFFD.
std::string toUtf8(const std::wstring &wide, bool ansi = false)
{
    std::string bytes;
    for (size_t i = 0; i < wide.size(); i++) {
        unsigned c = wide[i], low = i + 1 < wide.size() ? wide[i + 1] - 0xDC00 : 0x400;
        if (c >= 0xD800 && c < 0xDC00 && low < 0x400) {
            c = 0x10000 + ((c - 0xD800) << 10) + low;
            i++;
        }
        c = ansi && c >= 128 ? '?' : c >= 0xD800 && c < 0xE000 ? 0xFFFD : c;
        int n = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        bytes += (char)("\0\xC0\xE0\xF0"[n] | c >> 6 * n);
        while (n-- > 0)
            bytes += (char)(0x80 | (c >> 6 * n & 0x3F));
    }
    return bytes;
}

std::wstring fromUtf8(const std::string &bytes)
{
    std::wstring units;
    for (size_t i = 0, end; i < bytes.size(); i = end) {
        unsigned char lead = bytes[i];
        int n = lead < 0x80 ? 0 : lead < 0xC2 ? -1 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        unsigned c = n > 0 ? lead & (0x3F >> n) : lead;
        for (end = i + 1; end <= i + n && end < bytes.size() && (bytes[end] & 0xC0) == 0x80; end++)
            c = c << 6 | (bytes[end] & 0x3F);
        c = n < 0 || lead > 0xF4 || end != i + n + 1 ? 0xFFFD : c;
        if (c >= 0x10000)
            units += {(wchar_t)(0xD7C0 + (c >> 10)), (wchar_t)(0xDC00 + (c & 0x3FF))};
        else
            units += (wchar_t)c;
    }
    return units;
}

// The calls that are one expression: type, name, parameters, result, in
// which `call` is the call's name.
#define CALL(type, name, parameters, result)                                                       \
    type name parameters                                                                           \
    {                                                                                              \
        static const std::string call = #name;                                                     \
        return result;                                                                             \
    }

// A drive's raw volume, or the disk beneath A:, for reading and writing, shared.
CALL(HANDLE, CreateFileA,
     (LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE),
     fails(std::string("CreateFileA ") + name,
           (strncmp(name, "\\\\.\\PhysicalDrive", 17)
                ? strncmp(name, "\\\\.\\", 4) || !isupper(name[4]) || strcmp(name + 5, ":") ||
                      !w.drives[name[4] - 'A'].type
                : name + 17 != std::to_string(w.number) || !w.disk.type) ||
               access != (GENERIC_READ | GENERIC_WRITE) ||
               share != (FILE_SHARE_READ | FILE_SHARE_WRITE) || flags)
         ? INVALID_HANDLE_VALUE
         : opened(name[5] == ':' ? name[4] : '1'))
CALL(HANDLE, CreateFileW, (LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE),
     fails(call, name != w.ownPath) ? INVALID_HANDLE_VALUE : opened('o'))
CALL(unsigned, GetDriveTypeA, (LPCSTR root),
     fails(call, strlen(root) != 3 || strcmp(root + 1, ":\\")) ? 0 : w.drives[*root - 'A'].type)
CALL(DWORD, GetFileSize, (HANDLE file, LPDWORD),
     fails(call, held(file) != 'o') ? 0xFFFFFFFF : (DWORD)w.own.size())
CALL(HANDLE, CreateFileMappingA,
     (HANDLE file, LPSECURITY_ATTRIBUTES, DWORD, DWORD high, DWORD low, LPCSTR),
     fails(call, held(file) != 'o' || high || low) ? HANDLE() : opened('m'))
// No byte more than the file, so that a read past it is caught.
CALL(LPVOID, MapViewOfFile, (HANDLE mapping, DWORD, DWORD high, DWORD low, size_t length),
     fails(call, held(mapping) != 'm' || high || low || length) ? nullptr : &(w.view = w.own)[0])
CALL(HANDLE, GetStdHandle, (DWORD), fails(call) ? INVALID_HANDLE_VALUE : (HANDLE)'S')
CALL(BOOL, GetConsoleMode, (HANDLE console, LPDWORD mode),
     fails(call, console != (HANDLE)'S' || !w.console) ? 0 : (*mode = 3))
CALL(DWORD, GetLastError, (), w.lastError)
CALL(int, fflush, (void *streams), printf(streams ? "?" : "\f"))

// The console shows the wide text; here it is kept as UTF-8.
BOOL WriteConsoleW(HANDLE, LPCWSTR text, DWORD count, LPDWORD written, LPVOID)
{
    if (fails("WriteConsoleW"))
        return 0;
    w.out += toUtf8(std::wstring(text, *written = count));
    return 1;
}

// The controls by the names that the tables call them.
const std::map<DWORD, std::string> kControls = {
    {IOCTL_DISK_GET_DRIVE_GEOMETRY, "geometry"},  {FSCTL_LOCK_VOLUME, "lock"},
    {FSCTL_DISMOUNT_VOLUME, "dismount"},          {FSCTL_UNLOCK_VOLUME, "unlock"},
    {IOCTL_DISK_GET_DRIVE_LAYOUT_EX, "layout"},   {IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, "extents"},
    {IOCTL_DISK_UPDATE_PROPERTIES, "new layout"}, {IOCTL_STORAGE_GET_DEVICE_NUMBER, "number"}};

// The controls, by name, answer with Windows' structures and errors: too
// small a buffer, 122; a volume of several extents, 234 with their count; a
// driver that does not say where its volume begins, 50. The disk's
// partitions come four entries to a table, each 1 MiB; one that begins at 0
// is unused.
BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED)
{
    Drive *d = drive(handle);
    DWORD entries = (DWORD)(w.partitions.size() + 3) / 4 * 4;
    bool extents = code == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS;
    bool layout = code == IOCTL_DISK_GET_DRIVE_LAYOUT_EX;
    DWORD need = code == IOCTL_DISK_GET_DRIVE_GEOMETRY     ? 24
                 : extents                                 ? 32
                 : layout                                  ? 48 + 144 * entries
                 : code == IOCTL_STORAGE_GET_DEVICE_NUMBER ? 12
                                                           : 0;
    DWORD error = !d || inSize || !need != !outSize || !kControls.count(code) ? 87
                  : extents && d->start < 0                                   ? 50
                  : outSize < need                                            ? 122
                  : extents && d->extents > 1                                 ? ERROR_MORE_DATA
                                                                              : 0;
    bool failed = fails(kControls.count(code) ? kControls.at(code) : "?", error, error);
    if (failed && w.lastError != ERROR_MORE_DATA)
        return 0;
    auto *answer = (DRIVE_LAYOUT_INFORMATION_EX *)out;
    if (need)
        memset(out, 0, *returned = need);
    if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY)
        memcpy(out, &d->geometry, need);
    else if (extents)
        *(VOLUME_DISK_EXTENTS *)out = {(DWORD)d->extents,
                                       {{w.number, {{(DWORD)d->start, 0}}, {{1 << 20, 0}}}}};
    else if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER)
        *(STORAGE_DEVICE_NUMBER *)out = {7, w.answers, 0};
    else if (layout)
        answer->PartitionCount = entries;
    else
        w.volume += "ludp"[(code == FSCTL_UNLOCK_VOLUME) + 2 * (code == FSCTL_DISMOUNT_VOLUME) +
                           3 * (code == IOCTL_DISK_UPDATE_PROPERTIES)];
    for (size_t i = 0; layout && i < w.partitions.size(); i++)
        answer->PartitionEntry[i] = {
            0, {{(DWORD)w.partitions[i], 0}}, {{w.partitions[i] ? 1u << 20 : 0, 0}}, 0, 0, 0, {}};
    return !failed;
}

BOOL WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED)
{
    Drive *d = drive(file);
    if (fails("WriteFile", !d))
        return 0;
    *written = std::min((DWORD)d->store.size(), count);
    memcpy(&d->store[0], bytes, std::min(d->kept, (size_t)*written));
    return done(file, 'w');
}

CALL(BOOL, FlushFileBuffers, (HANDLE file), !fails(call, !drive(file)) && done(file, 'f'))

// From the offset given, or else past what was written; into whole
// 4,096-byte pages, as a read past the system's cache wants them.
BOOL ReadFile(HANDLE file, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED at)
{
    Drive *d = drive(file);
    if (fails("ReadFile", !d || ((uintptr_t)bytes | count) % 4096))
        return 0;
    size_t from = at ? at->Offset : d->store.size();
    std::string back =
        d->store.substr(from, std::min<size_t>(count, d->readable - std::min(from, d->readable)));
    memcpy(bytes, back.data(), *read = (DWORD)back.size());
    // A read-back in pieces is one read.
    return (!w.volume.empty() && tolower(w.volume.back()) == 'r') || done(file, 'r');
}

BOOL CloseHandle(HANDLE handle)
{
    if (fails("CloseHandle", !held(handle)))
        return 0;
    w.open.erase(w.open.find(held(handle)), 1);
    return 1;
}

// A path that does not fit comes back cut, with the buffer's size.
DWORD GetModuleFileNameW(HMODULE, LPWSTR path, DWORD size)
{
    if (fails("GetModuleFileNameW"))
        return 0;
    swprintf(path, size, L"%ls", w.ownPath.c_str());
    return std::min((DWORD)w.ownPath.size(), size);
}

// What a failed query leaves in the structure is undefined; here it is a
// homed cursor, so that a program that read it anyway would pause.
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    *info = {};
    if (fails("GetConsoleScreenBufferInfo", console != (HANDLE)'S' || !w.console))
        return 0;
    info->dwCursorPosition = w.cursor;
    return 1;
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD code, DWORD, LPWSTR buffer, DWORD size, va_list *)
{
    if (fails("FormatMessageW", flags != 0x1300 || size))
        return 0;
    std::wstring &text = w.texts.emplace_back(w.message);
    if (text.find('#') != std::wstring::npos)
        text.replace(text.find('#'), 1, std::to_wstring(code));
    *(WCHAR **)buffer = &text[0];
    return (DWORD)text.size();
}

// UTF-8, or the system's ANSI code page, which spells ASCII alone.
int WideCharToMultiByte(unsigned codePage, DWORD flags, LPCWSTR wide, int length, LPSTR text,
                        int size, LPCSTR, BOOL *)
{
    std::string bytes = toUtf8(wide, codePage == CP_ACP);
    if (fails("WideCharToMultiByte", flags || length != -1 || (int)bytes.size() >= size))
        return 0;
    memcpy(text, bytes.c_str(), bytes.size() + 1);
    return (int)bytes.size() + 1;
}

int MultiByteToWideChar(unsigned, DWORD flags, LPCSTR text, int length, LPWSTR wide, int size)
{
    std::wstring chars = fromUtf8(text);
    if (fails("MultiByteToWideChar", flags || length != -1 || (int)chars.size() >= size))
        return 0;
    memcpy(wide, chars.c_str(), (chars.size() + 1) * sizeof(WCHAR));
    return (int)chars.size() + 1;
}

// msvcrt's conversions in glibc's words ("%I64u" is "%llu", "%lu" is 32 bits
// wide), and like msvcrt's it leaves the buffer unterminated when the text
// fills it.
int _vsnprintf(char *buffer, size_t count, const char *format, va_list arguments)
{
    std::string glibc = format;
    for (size_t at; (at = glibc.find("I64")) != std::string::npos;)
        glibc.replace(at, 3, "ll");
    for (size_t at; (at = glibc.find("%lu")) != std::string::npos;)
        glibc.replace(at, 3, "%u");
    std::vector<char> text(4096);
    int length = vsnprintf(text.data(), text.size(), glibc.c_str(), arguments);
    memcpy(buffer, text.data(), std::min((size_t)length + 1, count));
    return (size_t)length < count ? length : -1;
}

int _snprintf(char *buffer, size_t count, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = _vsnprintf(buffer, count, format, arguments);
    va_end(arguments);
    return length;
}

int printf(const char *format, ...)
{
    char text[4096];
    va_list arguments;
    va_start(arguments, format);
    _vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    w.out += text;
    return 0;
}

int _getch()
{
    int key = fails("_getch") || w.keys.empty() ? -1 : (unsigned char)w.keys[0];
    w.keys.erase(0, key >= 0);
    return key;
}

void exit(int status)
{
    throw status;
}

} // namespace sim

namespace {

using sim::w;

const std::string kSearch =
                      "\n\n   Varnel Tarvex Flash Disk Creation Utility " VERSION_TEXT "   \n\n"
                      "Searching for removable drives...\f",
                  kListed = "\n A: 1.44 MB",
                  kPrompt = "\nEnter drive letter to be overwritten with files : \f\n",
                  kConfirm = "Overwrite drive A: (Y/N)?: \f\n",
                  kAsked = kSearch + kListed + kPrompt + kConfirm,
                  kNone = "\nNo valid drive letter entered, exiting...\n",
                  kKey = "\n(press a key to exit)\f",
                  kWriting = kAsked + "\nWriting drive A:, up to a minute on a diskette.\nDo "
                                      "not remove the disk or close this window.\n\f";

// What a run shows once the write began, up to the read-back's `tenths`.
std::string checked(int tenths, const std::string &then = "")
{
    std::string out = kWriting + "Checking drive A:";
    for (int tenth = 1; tenth <= tenths; tenth++)
        out += "\f " + std::to_string(tenth * 10) + "%";
    return out + then;
}

const std::string kDone = checked(10, "\n\n  Congratulations! You have successfully created a "
                                      "bootable BIOS Update Disk in drive A:\n  Start the PC from "
                                      "it: choose the disk in the PC's boot menu or its setup.\n") +
                          kKey;
const std::string kFlash = kDone.substr(0, kDone.size() - kKey.size()) +
                           "  The flash disk holds the update disk alone: format it afterwards "
                           "(Disk\n  Management, or diskpart and clean) to use its whole size "
                           "again.\n" +
                           kKey;

struct Ending {
    std::string out;    // the whole console text
    const char *open;   // the handles still open at the end
    const char *volume; // what happened to the volume
    size_t written;     // how many bytes of the image reached the drive
};

const std::string kNotBootable =
    "the disk does not hold the image and is not bootable: try another disk";
const std::string kUnflushed = "error flushing drive A: Файл 5; " + kNotBootable,
                  kUnread = "error reading back drive A: Файл 5; " + kNotBootable;
const Ending kWritten = {kDone, "m", "lwfrdu", IMAGE_SIZE};
const std::string kUnpaused = kDone.substr(0, kDone.size() - kKey.size());

// A framed message after what was `shown`: written to the console after a
// flush, or printed to a file, where no key is asked for.
std::string framed(const std::string &message, bool console = true,
                   const std::string &shown = kAsked)
{
    std::string out = shown + (console ? "\f\n" : "\n") + std::string(30, ' ') + "\n*** " +
                      message + " ***\n" + kKey;
    return console ? out : out.substr(0, out.size() - kKey.size());
}

std::string times(const std::string &text, int count)
{
    std::string all;
    while (count-- > 0)
        all += text;
    return all;
}

std::string openError(const std::string &path, const std::string &error)
{
    return "CreateFile (\"" + path + "\") error \"" + error + "\"";
}

const std::string kOwnPath = "C:\\Тест\\imagewrite.exe";

// Refused with nothing written.
Ending refused(const std::string &what, const char *open = "A1", const char *volume = "l")
{
    return {framed("drive A: " + what + "; nothing was written"), open, volume, 0};
}

// PE headers at `pe` in the own file (only their offset where they do not
// fit), of 32 bits or 64 (magic 0x20B), whose security directory, among
// `count` data directories, names a certificate table at `table` of `size`
// bytes; and three sections whose raw data ends at 2,048, 1,024 and 4,096,
// where the image starts: pairs of an offset and the 32 bits written there.
void sign(DWORD table, DWORD size, DWORD pe = 0x80, DWORD magic = 0x10B, DWORD count = 16)
{
    DWORD dirs = pe + 24 + (magic == 0x20B ? 112 : 96);
    const DWORD fields[] = {
        0,        0x5A4D, 0x3C,     pe,    pe,        0x4550, pe + 4,    0x30000, pe + 20,  0xF0,
        pe + 24,  magic,  dirs - 4, count, dirs + 32, table,  dirs + 36, size,    pe + 280, 0x400,
        pe + 284, 0x400,  pe + 320, 0x200, pe + 324,  0x200,  pe + 360,  0x800,   pe + 364, 0x800};
    for (size_t i = 0; i < std::size(fields); i += 2)
        if (fields[i] + 4 <= w.own.size())
            w.own.replace(fields[i], 4, (const char *)&fields[i + 1], 4);
}

// The image's bytes, for a message that names one: byte 1,474,559 is 0xB9.
char imageByte(size_t at)
{
    return (char)(at % 251);
}

const DISK_GEOMETRY kFloppy = {{{80, 0}}, F3_1Pt44_512, 2, 18, 512};

// A 1.44 MB diskette at A: with room after the image, all 0xF6, above a disk
// of 2 MiB all 0xD5, and a program file that carries a patterned image.
void machine()
{
    w = sim::World();
    w.drives[0] = {DRIVE_REMOVABLE, kFloppy, std::string(IMAGE_SIZE + 8, '\xF6')};
    w.disk = {DRIVE_REMOVABLE, {{{0, 0}}, RemovableMedia, 0, 0, 512}, std::string(2 << 20, '\xD5')};
    w.own = std::string(4096, 'P');
    for (int i = 0; i < IMAGE_SIZE; i++)
        w.own += imageByte(i);
    sign(0, 0);
}

// Where two values part, with what each holds from there (a medium's bytes
// are not shown); "" when they are equal.
std::string parting(const std::string &what, const std::string &got, const std::string &want,
                    size_t shown = 60)
{
    if (got == want)
        return "";
    size_t at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
    return what + " parts at byte " + std::to_string(at) + ": \"" + got.substr(at, shown) +
           "\" where \"" + want.substr(at, shown) + "\" was expected; ";
}

// The fake's letters, printed beside a failing row's.
const char kLegend[] = "(handles: a drive's letter, 1 the disk beneath A:, o the own file, m its "
                       "mapping, c Ctrl-C held off; the volume: l lock, w write, f flush, r read, "
                       "d dismount, u unlock, p new layout, in capitals through the disk, ! "
                       "without Ctrl-C held off)";

// Runs the program, and adds to `failures` what came otherwise than
// expected (the first failing row in full, then the others by name):
// status 0 exactly when it says so, the console text, the handles left
// open, what was done to the volume, and the medium written, the volume or
// (W) its disk: the image's first bytes, the rest as it was; the other
// untouched.
void expectEnding(std::string &failures, const std::string &row, const Ending &e)
{
    std::string before = w.drives[0].store, disk = w.disk.store;
    char name[] = "imagewrite.exe", *argv[] = {name, nullptr};
    int status;
    try {
        status = imagewriteMain(1, argv);
    } catch (int exited) { // the fake's exit
        status = exited;
    }
    size_t end = w.own.size() - w.signature, start = end - std::min<size_t>(end, IMAGE_SIZE);
    std::string image = w.own.substr(start, e.written);
    bool whole = strchr(e.volume, 'W');
    std::string difference =
        parting("status", std::to_string(status),
                std::to_string(e.out.find("Congratulations") == std::string::npos)) +
        parting("the console text", w.out, e.out) + parting("the handles open", w.open, e.open) +
        parting("what was done to the volume", w.volume, e.volume) +
        parting("drive A:", w.drives[0].store, whole ? before : image + before.substr(e.written),
                0) +
        parting("the disk", w.disk.store, whole ? image + disk.substr(e.written) : disk, 0);
    // ROW=TEXT in the environment judges only the rows whose names hold TEXT.
    const char *only = getenv("ROW");
    if (!difference.empty() && (!only || row.find(only) != std::string::npos))
        failures += failures.empty() ? row + ": " + difference + kLegend : " | also " + row;
}

// The calls of a successful run whose failure changes its ending, by name and
// which time they come; a failure of any other call changes nothing.
const struct {
    std::set<std::pair<std::string, int>> calls;
    Ending ending;
} kEveryCall[] = {
    {{{"GetStdHandle", 1}, {"GetConsoleScreenBufferInfo", 1}},
     {kUnpaused, "m", "lwfrdu", IMAGE_SIZE}}, // no console
    {{{R"(CreateFileA \\.\A:)", 1}, {"geometry", 1}, {"GetDriveTypeA", 1}},
     {kSearch + kPrompt + kConfirm + kDone.substr(kAsked.size()), "m", "lwfrdu", IMAGE_SIZE}},
    {{{"CloseHandle", 1}, {"CloseHandle", 2}}, {kDone, "Am", "lwfrdu", IMAGE_SIZE}}, // left open
    {{{"_getch", 1}}, {kSearch + kListed + kPrompt + kNone + kKey, "", "", 0}},
    {{{"_getch", 2}}, {kAsked + kNone + kKey, "", "", 0}},
    {{{R"(CreateFileA \\.\A:)", 2}}, {framed("error opening drive A: Файл 5\n"), "", "", 0}},
    {{{"GetDriveTypeA", 2}}, refused("is not a removable drive", "", "")},
    {{{"lock", 1}}, {framed("Error locking drive A: Файл 5"), "A", "", 0}},
    {{{"extents", 1}}, refused("cannot tell its disk: Файл 5", "A")},
    {{{"GetModuleFileNameW", 1}}, {framed("GetModuleFileName error \"Файл 5\""), "A", "l", 0}},
    {{{"CreateFileW", 1}}, {framed(openError(kOwnPath, "Файл 5")), "A", "l", 0}},
    {{{"GetFileSize", 1}}, {framed("appended image missing"), "Aom", "l", 0}},
    {{{"CreateFileMappingA", 1}}, {framed("CreateFileMapping error \"Файл 5\""), "A", "l", 0}},
    {{{"MapViewOfFile", 1}}, {framed("MapViewOfFile error \"Файл 5\""), "", "l", 0}},
    {{{"SetConsoleCtrlHandler", 1}}, refused("cannot hold off Ctrl-C: Файл 5", "Aom")},
    {{{"WriteFile", 1}}, {framed("WriteFile error \"Файл 5\"", true, kWriting), "Aomc", "l", 0}},
    {{{"FlushFileBuffers", 1}}, {framed(kUnflushed, true, kWriting), "Aomc", "lw", IMAGE_SIZE}},
    {{{"ReadFile", 1}}, {framed(kUnread, true, checked(0, "\f")), "Aomc", "lwf", IMAGE_SIZE}},
    // Handing the volume back changes nothing for the user.
    {{{"dismount", 1}}, {kDone, "m", "lwfru", IMAGE_SIZE}},
    {{{"unlock", 1}}, {kDone, "m", "lwfrd", IMAGE_SIZE}},
    {{{"CloseHandle", 3}}, {kDone, "om", "lwfrdu", IMAGE_SIZE}},
    {{{"SetConsoleCtrlHandler", 2}}, {kDone, "mc", "lwfrdu", IMAGE_SIZE}}, // held off to the end
    {{{"_getch", 3}}, kWritten},                                           // the final key is read
};

TEST(Run, EachCallOfASuccessfulRunFailedInTurn)
{
    machine();
    std::string failures;
    expectEnding(failures, "no call failed", kWritten); // and the calls made, recorded
    size_t met = 0;
    for (const auto &call : decltype(w.made)(w.made)) {
        machine();
        w.fail = call;
        auto row = std::find_if(std::begin(kEveryCall), std::end(kEveryCall),
                                [&](const auto &r) { return r.calls.count(call); });
        met += row != std::end(kEveryCall);
        // A later piece of the read-back fails after the marks of those before it.
        Ending later = {framed(kUnread, true, checked(call.second - 1, "\f")), "Aomc", "lwfr",
                        IMAGE_SIZE};
        expectEnding(failures, call.first + " " + std::to_string(call.second),
                     row != std::end(kEveryCall) ? row->ending
                     : call.first == "ReadFile"  ? later
                                                 : kWritten);
    }
    EXPECT_TRUE(failures.empty()) << failures;
    // Every call named here was made.
    EXPECT_EQ(met, std::accumulate(std::begin(kEveryCall), std::end(kEveryCall), size_t(),
                                   [](size_t n, const auto &row) { return n + row.calls.size(); }));
}

// The program's own file, not found at a long path; the system's text for
// it long too, or not.
void notFound(const std::wstring &path, int longText, bool console = true)
{
    w.ownPath = path;
    w.message = longText ? std::wstring(longText, L'ы') + L" #." : w.message;
    w.console = console;
    w.fail = {"CreateFileW", 1};
}

// A certificate table of 1,464 bytes after the image, `kept` of them still there.
void signedRelease(DWORD magic, size_t kept)
{
    sign((DWORD)w.own.size(), 1464, 0x80, magic);
    w.own += std::string(w.signature = kept, 'S');
}

// A release of `size` bytes where a whole one has 1,478,656: stopped before the write.
Ending damaged(const std::string &size)
{
    std::string message = "program file damaged: " + size + " bytes, expected at least ";
    return {framed(message + "1,478,656; download it again"), "Aom", "l", 0};
}

// A flash disk whose volume is its partition, 1 MiB in, on disk 3.
void stick()
{
    w.drives[0].start = 1 << 20;
    w.number = w.answers = 3;
}

// A stop once the write to a flash disk began: its layout read anew, and the user told.
Ending lost(const std::string &message, const char *volume, size_t written,
            const std::string &shown)
{
    return {framed(message + "; its partition and files may be lost: format the flash disk again",
                   true, shown),
            "A1omc", volume, written};
}

const std::string kOnDisk = "is on disk 3, which ";

// Endings that the files, the drive and the console bring about.
const struct {
    const char *name;
    void (*setup)();
    Ending ending;
    const char *call = ""; // the call that fails, if any
    int time = 0;          // and which time it comes
} kOdd[] = {
    {"path of 259 in Cyrillic, with a character of two units where a cut would fall: whole",
     [] { notFound(w.ownPath + sim::fromUtf8(times("ж", 63) + "😀" + times("ж", 172)), 0); },
     {framed(openError(kOwnPath + times("ж", 63) + "😀" + times("ж", 172), "Файл 5")), "A", "l", 0}},
    {"path of 259 in CJK and a long system text: the path gives way between characters",
     [] { notFound(w.ownPath + std::wstring(237, L'日'), 253); },
     {framed(
          openError(kOwnPath + times("日", 36) + "..." + times("日", 118), times("ы", 253) + " 5")),
      "A", "l", 0}},
    {"path in pairs of units: never cut between the two",
     [] { notFound(L"C:\\" + sim::fromUtf8(times("😀", 128)), 252); },
     {framed(openError("C:\\" + times("😀", 39) + "..." + times("😀", 82), times("ы", 252) + " 5")),
      "A", "l", 0}},
    {"path of 260",
     [] { w.ownPath.resize(260, 'p'); },
     {framed("program path longer than 259 characters: move the program to a shorter path"), "A",
      "l", 0}},
    {"file of the image", [] { w.own.erase(0, 4096); }, kWritten},
    {"flash disk partitioned at 1 MiB: dismounted, then the image at its disk's first byte",
     stick,
     {kFlash, "m", "ldWFRup", IMAGE_SIZE}},
    {"its new layout not read: written all the same",
     stick,
     {kFlash, "m", "ldWFRu", IMAGE_SIZE},
     "new layout",
     1},
    {"flash disk without a partition table",
     [] { w.drives[0].start = 0, w.drives[0].geometry.MediaType = RemovableMedia; },
     {kFlash, "m", "lwfrdu", IMAGE_SIZE}},
    {"a fixed medium in a drive called removable",
     [] { w.drives[0].geometry.MediaType = FixedMedia; },
     {framed("drive A: is not a removable drive; nothing was written", true,
             kSearch + kPrompt + kConfirm),
      "A", "", 0}},
    {"a driver that knows no extents", [] { w.failError = 1; }, kWritten, "extents", 1},
    {"a partition after the drive's, in a layout too long for the first buffer",
     [] {
         stick(), w.partitions = {1 << 20, 0, 0, 0, 3 << 20};
     },
     refused(kOnDisk + "holds other partitions besides this drive")},
    {"a layout without the drive", [] { stick(), w.partitions.clear(); },
     refused(kOnDisk + "does not list this drive")},
    {"two extents", [] { stick(), w.drives[0].extents = 2; },
     refused("spans 2 disk extents, not one", "A")},
    {"a fixed disk", [] { stick(), w.disk.geometry.MediaType = FixedMedia; },
     refused(kOnDisk + "is not removable media")},
    {"a disk whose geometry cannot be read", stick, refused(kOnDisk + "cannot be read: Файл 5"),
     "geometry", 3},
    {"a disk whose layout cannot be read", stick, refused(kOnDisk + "cannot be read: Файл 5"),
     "layout", 1},
    {"a disk that does not open", [] { stick(), w.disk.type = 0; },
     refused(kOnDisk + "cannot be opened: Файл 87", "A")},
    {"a disk that answers to another number", [] { stick(), w.answers = 2; },
     refused(kOnDisk + "opened as disk 2")},
    {"a disk of 4,096-byte sectors", [] { stick(), w.disk.geometry.BytesPerSector = 4096; },
     refused("has sectors of 4,096 bytes, not 512")},
    {"a volume of 4,096-byte sectors",
     [] {
         w.drives[0].geometry = {{{10, 0}}, F3_1Pt44_512, 2, 18, 4096};
     },
     refused("has sectors of 4,096 bytes, not 512", "A")},
    {"a disk whose write fails", stick, lost("WriteFile error \"Файл 5\"", "ldp", 0, kWriting),
     "WriteFile", 1},
    {"a disk whose read is cut short", [] { stick(), w.disk.readable = 1474048; },
     lost("drive A: read back only 1,474,048 of 1,474,560 bytes; " + kNotBootable, "ldWFRp",
          IMAGE_SIZE, checked(9, "\f 99%"))},
    {"a disk that keeps all but the last byte", [] { stick(), w.disk.kept = IMAGE_SIZE - 1; },
     lost("drive A: reads back different from the image at byte 1,474,559 (sector 2,879); " +
              kNotBootable,
          "ldWFRp", IMAGE_SIZE - 1, checked(10))},
    {"release a byte short", [] { w.own.pop_back(); }, damaged("1,478,655")},
    {"release 4,096 bytes short", [] { w.own.resize(IMAGE_SIZE); }, damaged("1,474,560")},
    {"release with bytes after its image", [] { w.own += "new"; }, kWritten},
    {"signed", [] { signedRelease(0x10B, 1464); }, kWritten},
    {"signed, 64-bit", [] { signedRelease(0x20B, 1464); }, kWritten},
    {"signed, cut inside its table", [] { signedRelease(0x10B, 1000); }, kWritten},
    {"no security directory", [] { sign((DWORD)w.own.size() - 1464, 1464, 0x80, 0x10B, 4); },
     kWritten},
    {"table not at the end", [] { sign((DWORD)w.own.size() - 1464, 1463); }, kWritten},
    {"write cut short",
     [] { w.drives[0].store.resize(512); },
     {framed("write failed, only 512 of 1474560 bytes written", true, kWriting), "Aomc", "lw",
      512}},
    {"a medium that keeps nothing of the write",
     [] { w.drives[0].kept = 0; },
     {framed("drive A: reads back different from the image at byte 0 (sector 0); " + kNotBootable,
             true, checked(10)),
      "Aomc", "lwfr", 0}},
    {"cursor at column 0 of row 5", [] { w.cursor.Y = 5; }, {kUnpaused, "m", "lwfrdu", IMAGE_SIZE}},
    {"cursor at column 3 of row 0", [] { w.cursor.X = 3; }, {kUnpaused, "m", "lwfrdu", IMAGE_SIZE}},
    {"the same CJK path and long text, to a file, in the ANSI code page: whole",
     [] { notFound(w.ownPath + std::wstring(237, L'日'), 253, false); },
     {framed(openError("C:\\????\\imagewrite.exe" + std::string(237, '?'),
                       std::string(253, '?') + " 5"),
             false),
      "A", "l", 0}},
};

TEST(Run, EndingsOfTheFilesTheDriveAndTheConsole)
{
    std::string failures;
    for (const auto &row : kOdd) {
        machine();
        w.fail = {row.call, row.time};
        row.setup();
        expectEnding(failures, row.name, row.ending);
    }
    EXPECT_TRUE(failures.empty()) << failures;
}

// Each kind of text from its input: the keys at both prompts (the letter
// found, '-' for none, what follows the listing and the keys left),
// capacities, and the system's error texts of a message for code 7.
enum Kind { KEYS, CAPACITY, SYSTEM };

std::string text(Kind kind, const std::string &in)
{
    switch (kind) {
    case KEYS: {
        w.keys = in;
        int letter = findAvailableDrive(IMAGE_SIZE);
        return (char)(letter ? letter : '-') + w.out.substr(kListed.size() + kPrompt.size()) + "|" +
               w.keys;
    }
    case CAPACITY:
        return capacityText(std::stoull(in));
    case SYSTEM:
        w.message = sim::fromUtf8(in);
        return winErrorText(7);
    }
    return "";
}

const struct {
    Kind kind;
    std::string in, out;
} kTexts[] = {
    {KEYS, "AY", "AOverwrite drive A: (Y/N)?: \f\n|"},
    {KEYS, "zy", "ZOverwrite drive Z: (Y/N)?: \f\n|"}, // a letter not listed
    {KEYS, "Zn", "-Overwrite drive Z: (Y/N)?: \f\n|"},
    {KEYS, "@y", "-|y"}, // next to the letters
    {KEYS, "[y", "-|y"},
    {KEYS, "\xE0Ky", "-|Ky"}, // an arrow key's two codes
    {CAPACITY, "1474559", "1440.00 KB"},
    {CAPACITY, "1474560", "1.44 MB"},
    {CAPACITY, "31499999", "30.76 MB"},
    {CAPACITY, "31500000", "32 MB"},
    {CAPACITY, "4000000000", "4,000 MB"},
    {CAPACITY, "18446744073709551615", "18,446,744,073,710 MB"},
    {SYSTEM, "", "system error 7"}, // no text for the code
    {SYSTEM, "First line.\r\nSecond line.\r\n", "First line"},
    {SYSTEM, "Several stops...\r\n", "Several stops.."},
    {SYSTEM, "Line feed alone.\nNext", "Line feed alone"},
    {SYSTEM, "First line.\r\n" + std::string(600, 'x'), "First line"},
};

TEST(Texts, OfKeysCapacitiesAndErrors)
{
    for (const auto &row : kTexts) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        machine();
        EXPECT_EQ(text(row.kind, row.in), row.out);
    }
}

// The listing rule at its boundaries: a removable drive whose medium holds
// the image, by its geometry.
const struct {
    unsigned type;
    DISK_GEOMETRY geometry;
    const char *listed;
} kListing[] = {
    {DRIVE_REMOVABLE, {{{1, 0}}, F3_1Pt44_512, 1, 1, IMAGE_SIZE}, "\n A: 1.44 MB"},
    {DRIVE_REMOVABLE, {{{1, 0}}, F3_1Pt44_512, 1, 1, IMAGE_SIZE - 1}, ""},
    {DRIVE_REMOVABLE, {{{32768, 0}}, RemovableMedia, 1, 1, 524288}, "\n A: 17,180 MB"},
    {DRIVE_REMOVABLE, {{{80, 0}}, Unknown, 2, 18, 512}, ""},
    {DRIVE_REMOVABLE, {{{80, 0}}, FixedMedia, 2, 18, 512}, ""},
    {3, {{{80, 0}}, F3_1Pt44_512, 2, 18, 512}, ""}, // a fixed drive
};

TEST(Scan, ListsTheRemovableDrivesThatHoldTheImage)
{
    for (const auto &row : kListing) {
        SCOPED_TRACE(row.listed);
        machine();
        w.drives[0] = {row.type, row.geometry, ""};
        char letter = (char)findAvailableDrive(IMAGE_SIZE);
        EXPECT_EQ(letter + w.out + w.open, 'A' + (row.listed + kPrompt + kConfirm));
    }
}

} // namespace

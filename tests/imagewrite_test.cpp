// The image writer on the host, against a fake platform whose whole state is
// the plain data in `w`: a test edits it, runs the program or one of its
// functions, then reads the console text, the drive's bytes, the handles left
// open and what happened to the volume.
#include <gtest/gtest.h>

#include <deque>

#include "imagewrite.h"

int imagewriteMain(int argc, char **argv);

namespace sim {

struct Drive {
    unsigned type;          // GetDriveTypeA's answer; 0: no volume behind the letter
    DISK_GEOMETRY geometry; // what the geometry query reads
    std::string store;      // the medium; a write stores what fits from offset 0
};

struct World {
    Drive drives[26];
    std::string keys;     // the keys still to come; then _getch gives -1
    std::string out;      // all that was printed, with "\f" where stdout was flushed
    std::string own;      // the program's own file
    std::wstring ownPath; // and its path
    COORD cursor;         // where the console's cursor stands
    DWORD lastError;
    bool console;         // whether standard output is a console
    std::wstring message; // the system's text for the codes below 1000, "#" for the code
    std::string open;     // open handles: a volume's letter, o the own file, m its mapping
    std::string volume;   // what was done to the volumes: lock, write, dismount, unlock
    int calls, failCall;  // system calls and key reads so far; call number failCall fails
    DWORD failError;      // with this error, as every call that fails here does
} w;

std::deque<std::wstring> texts; // FormatMessageW's buffers, never released
std::vector<char> view;

template <typename T>
T fail(T value)
{
    w.lastError = w.failError;
    return value;
}

bool fails()
{
    return ++w.calls == w.failCall;
}

HANDLE opened(char kind)
{
    w.open += kind;
    return (HANDLE)(intptr_t)kind;
}

// What an open handle stands for: a volume's letter, 'o' or 'm'; 0 if not open.
char held(HANDLE handle)
{
    char kind = (char)(intptr_t)handle;
    return kind && w.open.find(kind) != std::string::npos ? kind : 0;
}

// The arguments are checked against the one way the program must call.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE model)
{
    if (fails() || security || disposition != OPEN_EXISTING || model)
        return fail(INVALID_HANDLE_VALUE);
    if (strlen(name) == 6 && !strncmp(name, "\\\\.\\", 4) && isupper(name[4]) && name[5] == ':' &&
        w.drives[name[4] - 'A'].type && access == (GENERIC_READ | GENERIC_WRITE) &&
        share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && !flags)
        return opened(name[4]);
    return fail(INVALID_HANDLE_VALUE);
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE model)
{
    return fails() || name != w.ownPath || access != GENERIC_READ || share != FILE_SHARE_READ ||
                   security || disposition != OPEN_EXISTING || flags != FILE_ATTRIBUTE_READONLY ||
                   model
               ? fail(INVALID_HANDLE_VALUE)
               : opened('o');
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped)
{
    char letter = held(device);
    bool geometry = code == IOCTL_DISK_GET_DRIVE_GEOMETRY;
    if (fails() || !isupper(letter) || in || inSize || !out != !geometry || !returned ||
        outSize != (geometry ? sizeof(DISK_GEOMETRY) : 0) || overlapped)
        return fail(0);
    if (geometry)
        memcpy(out, &w.drives[letter - 'A'].geometry, *returned = outSize);
    else
        w.volume += code == FSCTL_LOCK_VOLUME ? 'l' : code == FSCTL_UNLOCK_VOLUME ? 'u' : 'd';
    return 1;
}

unsigned GetDriveTypeA(LPCSTR root)
{
    return fails() || strlen(root) != 3 || strcmp(root + 1, ":\\") ? 0 : w.drives[*root - 'A'].type;
}

BOOL WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    char letter = held(file);
    if (fails() || !isupper(letter) || !written || overlapped)
        return fail(0);
    std::string &store = w.drives[letter - 'A'].store;
    *written = std::min((DWORD)store.size(), count);
    store.replace(0, *written, (const char *)bytes, *written);
    w.volume += 'w';
    return 1;
}

BOOL CloseHandle(HANDLE handle)
{
    char kind = held(handle);
    if (fails() || !kind)
        return fail(0);
    w.open.erase(w.open.find(kind), 1);
    return 1;
}

// A path that does not fit comes back cut, with the buffer's size.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size)
{
    if (fails() || module)
        return fail(0);
    swprintf(path, size, L"%ls", w.ownPath.c_str());
    return std::min((DWORD)w.ownPath.size(), size);
}

// UTF-8 up to U+07FF, enough for Cyrillic; the system's ANSI code page
// spells ASCII alone.
std::string narrow(const std::wstring &wide, unsigned codePage = CP_UTF8)
{
    std::string text;
    for (wchar_t c : wide)
        if (c < 0x80)
            text += (char)c;
        else if (codePage == CP_ACP)
            text += '?';
        else
            text += {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 0x3F))};
    return text;
}

int WideCharToMultiByte(unsigned codePage, DWORD flags, LPCWSTR wide, int length, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL *usedDefault)
{
    std::string bytes = narrow(wide, codePage);
    if (fails() || flags || length != -1 || defaultChar || usedDefault || (int)bytes.size() >= size)
        return fail(0);
    memcpy(text, bytes.c_str(), bytes.size() + 1);
    return (int)bytes.size() + 1;
}

int MultiByteToWideChar(unsigned codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                        int size)
{
    std::wstring chars;
    for (; *text; text += *text & 0x80 ? 2 : 1)
        chars += *text & 0x80 ? (text[0] & 0x1F) << 6 | (text[1] & 0x3F) : *text;
    if (fails() || codePage != CP_UTF8 || flags || length != -1 || (int)chars.size() >= size)
        return fail(0);
    memcpy(wide, chars.c_str(), (chars.size() + 1) * sizeof(WCHAR));
    return (int)chars.size() + 1;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode)
{
    return fails() || console != (HANDLE)'S' || !w.console ? fail(0) : (*mode = 3);
}

// On the console after a flush, as the UTF-8 of the wide text.
BOOL WriteConsoleW(HANDLE console, LPCWSTR text, DWORD count, LPDWORD written, LPVOID reserved)
{
    if (fails() || console != (HANDLE)'S' || !w.console || !written || reserved)
        return fail(0);
    w.out += narrow(std::wstring(text, *written = count));
    return 1;
}

DWORD GetFileSize(HANDLE file, LPDWORD high)
{
    return fails() || held(file) != 'o' || high ? fail(0xFFFFFFFF) : (DWORD)w.own.size();
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD high,
                          DWORD low, LPCSTR name)
{
    return fails() || held(file) != 'o' || security || protect != PAGE_READONLY || high || low ||
                   name || w.own.empty()
               ? fail(HANDLE())
               : opened('m');
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD high, DWORD low, size_t length)
{
    if (fails() || held(mapping) != 'm' || access != FILE_MAP_READ || high || low || length)
        return fail(LPVOID());
    view.assign(w.own.begin(), w.own.end()); // no byte more, so that a read past it is caught
    return view.data();
}

HANDLE GetStdHandle(DWORD which)
{
    return fails() || which != STD_OUTPUT_HANDLE ? fail(INVALID_HANDLE_VALUE) : (HANDLE)'S';
}

// What a failed query leaves in the structure is undefined; here it is a
// homed cursor, so that a program that read it anyway would pause.
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    *info = CONSOLE_SCREEN_BUFFER_INFO();
    if (fails() || console != (HANDLE)'S' || !w.console)
        return fail(0);
    info->dwCursorPosition = w.cursor;
    return 1;
}

DWORD GetLastError()
{
    return w.lastError;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPWSTR buffer,
                     DWORD size, va_list *arguments)
{
    if (fails() || flags != 0x1300 || source || language != 1024 || size || arguments ||
        code >= 1000)
        return fail(0);
    texts.push_back(w.message);
    if (texts.back().find('#') != std::wstring::npos)
        texts.back().replace(texts.back().find('#'), 1, std::to_wstring(code));
    *(WCHAR **)buffer = &texts.back()[0];
    return (DWORD)texts.back().size();
}

// msvcrt's conversions in glibc's words: "%I64u" is "%llu", "%lu" is 32 bits wide.
std::string vformat(const char *format, va_list arguments)
{
    std::string glibc = format;
    for (size_t at; (at = glibc.find("I64")) != std::string::npos;)
        glibc.replace(at, 3, "ll");
    for (size_t at; (at = glibc.find("%lu")) != std::string::npos;)
        glibc.replace(at, 3, "%u");
    char text[4096];
    vsnprintf(text, sizeof text, glibc.c_str(), arguments);
    return text;
}

// Like msvcrt's, it leaves the buffer unterminated when the text fills it.
int _vsnprintf(char *buffer, size_t count, const char *format, va_list arguments)
{
    std::string text = vformat(format, arguments);
    memcpy(buffer, text.c_str(), std::min(text.size() + 1, count));
    return text.size() < count ? (int)text.size() : -1;
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
    va_list arguments;
    va_start(arguments, format);
    w.out += vformat(format, arguments);
    va_end(arguments);
    return 0;
}

int puts(const char *text)
{
    return printf("%s\n", text);
}

int putchar(int c)
{
    return printf("%c", c);
}

int fflush(void *stream)
{
    return printf(stream == stdout ? "\f" : "?");
}

int _getch()
{
    int key = fails() || w.keys.empty() ? -1 : (unsigned char)w.keys[0];
    w.keys.erase(0, key >= 0);
    return key;
}

void exit(int status)
{
    throw status;
}

void *const stdout = &w;

} // namespace sim

namespace {

using sim::w;

const std::string kSearch = "\n\n   Varnel Tarvex Flash Disk Creation Utility 1.00   \n\n"
                            "Searching for removable drives...\f",
                  kListed = "\n A: 1.44 MB",
                  kPrompt = "\nEnter drive letter to be overwritten with files : \f\n",
                  kConfirm = "Overwrite drive A: (Y/N)?: \f\n",
                  kAsked = kSearch + kListed + kPrompt + kConfirm,
                  kNone = "\nNo valid drive letter entered, exiting...\n",
                  kKey = "\n(press a key to exit)\f",
                  kDone = kAsked +
                          "\n  Congratulations! You have successfully created a bootable "
                          "BIOS Update Disk in drive A:\n" +
                          kKey;

// The same ending without the key prompt, as when the cursor was not homed.
std::string unpaused(std::string out)
{
    if (out.size() > kKey.size() && out.substr(out.size() - kKey.size()) == kKey)
        out.resize(out.size() - kKey.size());
    return out;
}

std::string framed(const std::string &message, bool console = true)
{
    return kAsked + (console ? "\f\n" : "\n") + std::string(30, ' ') + "\n*** " + message +
           " ***\n" + kKey;
}

size_t signature; // the certificate table's size, when it ends the own file

// PE headers for the own file whose security directory names a table at
// `table` of `size` bytes; the headers at `pe`.
void sign(DWORD table, DWORD size, DWORD pe = 0x80)
{
    auto put = [](size_t at, DWORD value) { w.own.replace(at, 4, (const char *)&value, 4); };
    w.own.replace(0, 2, "MZ");
    put(0x3C, 0x80);
    put(0x80, 0x4550);
    put(0x98, 0x10B);   // PE32
    put(0x98 + 92, 16); // directories
    put(0x98 + 128, table);
    put(0x98 + 132, size);
    put(0x3C, pe);
}

// A 1.44 MB diskette at A: with room after the image, a program file that
// carries a patterned image, and the keys a, y and the final one.
void machine(bool homed = true)
{
    w = sim::World();
    w.drives[0] = {DRIVE_REMOVABLE,
                   {{{80, 0}}, F3_1Pt44_512, 2, 18, 512},
                   std::string(IMAGE_SIZE + 8, '\xF6')};
    w.own = std::string(4096, 'P');
    for (int i = 0; i < IMAGE_SIZE; i++)
        w.own += (char)(i % 251);
    w.ownPath = L"C:\\imagewrite.exe";
    w.keys = "ayk";
    w.cursor.X = homed ? 0 : 3;
    w.message = L"Text #.\r\n";
    w.console = true;
    w.failError = 5;
    signature = 0;
}

// The exit status of the body, which ends by exit or by throwing a status.
template <typename Body>
int status(Body body)
{
    try {
        body();
    } catch (int status) {
        return status;
    }
    return -1;
}

int run()
{
    char name[] = "imagewrite.exe", *argv[] = {name, nullptr};
    return status([&] { throw imagewriteMain(1, argv); });
}

struct Ending {
    std::string out;    // without the key prompt when the cursor was not homed
    const char *open;   // the handles still open at the end
    const char *volume; // what happened to the volume
    size_t written;     // how many bytes of the image reached the drive
};

// Runs the program: status 0 exactly when the whole image was written, the
// console text, and the drive: the image's first bytes, the rest as it was.
void expectEnding(Ending e, bool homed)
{
    std::string before = w.drives[0].store;
    int status = run();
    if (!homed)
        e.out = unpaused(e.out);
    EXPECT_EQ(status, e.written == IMAGE_SIZE ? 0 : 1);
    EXPECT_EQ(w.out, e.out);
    EXPECT_EQ(w.open, e.open);
    EXPECT_EQ(w.volume, e.volume);
    size_t end = w.own.size() - signature;
    std::string image = w.own.substr(end - std::min<size_t>(end, IMAGE_SIZE), IMAGE_SIZE);
    EXPECT_EQ(w.drives[0].store, image.substr(0, e.written) + before.substr(e.written));
}

// The successful run's calls, each failed in turn, up to the call in `last`.
const struct {
    int last;
    Ending ending;
} kEveryCall[] = {
    {2, {unpaused(kDone), "m", "lwdu", IMAGE_SIZE}}, // no console
    {5, {kSearch + kPrompt + kConfirm + kDone.substr(kAsked.size()), "m", "lwdu", IMAGE_SIZE}},
    {6, {kDone, "Am", "lwdu", IMAGE_SIZE}}, // the scan's handle stays open
    {31, {kDone, "m", "lwdu", IMAGE_SIZE}}, // the scan of B: to Z:
    {32, {kSearch + kListed + kPrompt + kNone + kKey, "", "", 0}},
    {33, {kAsked + kNone + kKey, "", "", 0}},
    {34, {framed("error opening drive A: Text 5\n"), "", "", 0}},
    {35, {framed("Error locking drive A: Text 5"), "A", "", 0}},
    {36, {framed("GetModuleFileName error \"Text 5\""), "A", "l", 0}},
    {37, {framed("CreateFile (\"C:\\imagewrite.exe\") error \"Text 5\""), "A", "l", 0}},
    {38, {framed("appended image missing"), "Aom", "l", 0}},
    {39, {framed("CreateFileMapping error \"Text 5\""), "A", "l", 0}},
    {40, {framed("MapViewOfFile error \"Text 5\""), "", "l", 0}},
    {41, {framed("WriteFile error \"Text 5\""), "Aom", "l", 0}},
    {42, {kDone, "m", "lwu", IMAGE_SIZE}}, // handing the volume back changes nothing for the user
    {43, {kDone, "m", "lwd", IMAGE_SIZE}},
    {44, {kDone, "Am", "lwdu", IMAGE_SIZE}},
    {45, {kDone, "om", "lwdu", IMAGE_SIZE}},
    {46, {kDone, "m", "lwdu", IMAGE_SIZE}},
};

TEST(Run, EachCallOfASuccessfulRunFailedInTurn)
{
    for (bool homed : {true, false}) {
        machine(homed);
        ASSERT_EQ(run(), 0);
        int calls = w.calls, call = 1;
        ASSERT_EQ(calls, homed ? 46 : 45);
        for (const auto &row : kEveryCall) {
            for (; call <= std::min(row.last, calls); call++) {
                SCOPED_TRACE("call " + std::to_string(call) + (homed ? "" : ", no pause"));
                machine(homed);
                w.failCall = call;
                expectEnding(row.ending, homed);
            }
        }
    }
}

// The own file fails to open from a folder in Cyrillic, with a system text in Cyrillic.
void cyrillic()
{
    w.ownPath = L"C:\\Тест\\imagewrite.exe";
    w.message = L"Файл #.\r\n";
    w.failCall = 37;
}

// Endings that the files and the drive bring about.
const struct {
    const char *name;
    void (*setup)();
    Ending ending;
} kOdd[] = {
    {"path of 259", [] { w.ownPath.resize(259, 'p'); }, {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"path of 260",
     [] { w.ownPath.resize(260, 'p'); },
     {framed("program path longer than 259 characters: move the program to a shorter path"), "A",
      "l", 0}},
    {"path in another script",
     [] { w.ownPath = L"C:\\Тест\\imagewrite.exe"; },
     {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"texts in Cyrillic on a console",
     cyrillic,
     {framed("CreateFile (\"C:\\Тест\\imagewrite.exe\") error \"Файл 5\""), "A", "l", 0}},
    {"texts in Cyrillic to a file",
     [] {
         cyrillic();
         w.console = false;
     },
     {unpaused(framed("CreateFile (\"C:\\????\\imagewrite.exe\") error \"???? 5\"", false)), "A",
      "l", 0}},
    {"file short of the image",
     [] { w.own.erase(0, 4097); },
     {framed("appended image missing"), "Aom", "l", 0}},
    {"file of the image", [] { w.own.erase(0, 4096); }, {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"bytes after the image", [] { w.own += "tail"; }, {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"signed",
     [] {
         sign((DWORD)w.own.size(), signature = 1464);
         w.own += std::string(signature, 'S');
     },
     {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"a table that does not end the file",
     [] { sign((DWORD)w.own.size() - 1464, 1463); },
     {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"headers past the end",
     [] { sign((DWORD)w.own.size() - 1464, 1464, (DWORD)w.own.size() - 2); },
     {kDone, "m", "lwdu", IMAGE_SIZE}},
    {"write cut short",
     [] { w.drives[0].store.resize(512); },
     {framed("write failed, only 512 of 1474560 bytes written"), "Aom", "lw", 512}},
    {"cursor at column 0 of row 5",
     [] {
         w.cursor = {0, 5};
     },
     {unpaused(kDone), "m", "lwdu", IMAGE_SIZE}},
    {"write of nothing",
     [] { w.drives[0].store.clear(); }, // the scan's last error
     {framed("WriteFile error \"Text 5\""), "Aom", "lw", 0}},
};

TEST(Run, EndingsOfTheFilesAndTheDrive)
{
    for (const auto &row : kOdd) {
        SCOPED_TRACE(row.name);
        machine();
        row.setup();
        expectEnding(row.ending, true);
    }
}

// The keys at both prompts: the letter found ('-' for none), what follows the
// listing, and the keys left.
std::string keys(const std::string &keys)
{
    w.keys = keys;
    int letter = findAvailableDrive(IMAGE_SIZE);
    return (char)(letter ? letter : '-') + w.out.substr(kListed.size() + kPrompt.size()) + "|" +
           w.keys;
}

std::string number(const std::string &value)
{
    return commanumber(std::stoull(value));
}

std::string capacity(const std::string &bytes)
{
    return capacityText(std::stoull(bytes));
}

std::string errorText(const std::string &code)
{
    w.lastError = 2;
    return winErrorText((DWORD)std::stoul(code));
}

std::string systemText(const std::string &message)
{
    w.message.assign(message.begin(), message.end());
    return winErrorText(7);
}

// The message of logError, unframed.
std::string logged(const std::string &message)
{
    EXPECT_EQ(status([&] { logError(0, "%s", message.c_str()); }), 1);
    return w.out.substr(37, w.out.size() - 42);
}

const std::string kOverwriteZ = "Overwrite drive Z: (Y/N)?: \f\n", kMessage(256, 'm');

const struct {
    std::string (*function)(const std::string &);
    std::string in, out;
} kTexts[] = {
    {keys, "ay", "A" + kConfirm + "|"},
    {keys, "AY", "A" + kConfirm + "|"},
    {keys, "zy", "Z" + kOverwriteZ + "|"}, // a letter not listed
    {keys, "an", "-" + kConfirm + "|"},
    {keys, "a", "-" + kConfirm + "|"}, // the keys run out
    {keys, "", "-|"},
    {keys, "@y", "-|y"}, // next to the letters
    {keys, "[y", "-|y"},
    {keys, "\xE0Ky", "-|Ky"}, // an arrow key's two codes
    {number, "0", "0"},
    {number, "999", "999"},
    {number, "1000", "1,000"},
    {number, "123456", "123,456"},
    {number, "18446744073709551615", "18,446,744,073,709,551,615"},
    {capacity, "1023", "1.00 KB"},
    {capacity, "1474559", "1440.00 KB"},
    {capacity, "1474560", "1.44 MB"},
    {capacity, "31499999", "30.76 MB"},
    {capacity, "31500000", "32 MB"},
    {capacity, "18446744073709051616", "18,446,744,073,709 MB"},
    {capacity, "18446744073709551615", "18,446,744,073,710 MB"},
    {errorText, "5", "Text 5"},
    {errorText, "0", "Text 2"},               // the thread's last error
    {errorText, "1000", "system error 1000"}, // a code the system has no text for
    {errorText, "4294967295", "system error 4294967295"},
    {systemText, "No line break and no stop", "No line break and no stop"},
    {systemText, "First line.\r\nSecond line.\r\n", "First line"},
    {systemText, "Line feed alone.\nNext", "Line feed alone"},
    {systemText, "Several stops...\r\n", "Several stops.."},
    {systemText, ".\r\n", ""},
    {systemText, "\n.", ""},
    {logged, kMessage.substr(0, 255), kMessage.substr(0, 255)},
    {logged, kMessage.substr(0, 256), kMessage.substr(0, 255)},
};

TEST(Texts, OfKeysNumbersCapacitiesAndErrors)
{
    for (const auto &row : kTexts) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        machine();
        EXPECT_EQ(row.function(row.in), row.out);
    }
}

// A number's text stays through the next three formattings; the fourth takes its slot.
TEST(Texts, ANumberStaysThroughThreeMoreFormattings)
{
    std::vector<char *> texts;
    for (int i = 0; i < 8; i++) {
        texts.push_back(commanumber(1000000 + i));
        for (int j = std::max(0, i - 3); j <= i; j++)
            EXPECT_STREQ(texts[j], ("1,000,00" + std::to_string(j)).c_str());
        if (i >= 4) {
            EXPECT_EQ(texts[i], texts[i - 4]);
        }
    }
}

// The listing rule at its boundaries: a removable drive whose medium holds
// the minimum, by its geometry.
const struct {
    unsigned type;
    MEDIA_TYPE media;
    long long cylinders;
    DWORD heads, sectors, bytes;
    int minimum, failCall;
    const char *listed;
} kListing[] = {
    {DRIVE_REMOVABLE, F3_1Pt44_512, 1, 1, 1, IMAGE_SIZE, IMAGE_SIZE, 0, "\n A: 1.44 MB"},
    {DRIVE_REMOVABLE, F3_1Pt44_512, 1, 1, 1, IMAGE_SIZE - 1, IMAGE_SIZE, 0, ""},
    {DRIVE_REMOVABLE, RemovableMedia, 2, 256, 65536, 512, IMAGE_SIZE, 0, "\n A: 17,180 MB"},
    {DRIVE_REMOVABLE, Unknown, 80, 2, 18, 512, IMAGE_SIZE, 0, ""},
    {DRIVE_REMOVABLE, FixedMedia, 80, 2, 18, 512, IMAGE_SIZE, 0, ""},
    {3, F3_1Pt44_512, 80, 2, 18, 512, IMAGE_SIZE, 0, ""}, // a fixed drive
    // Whatever the minimum, a drive without a medium is left off.
    {DRIVE_REMOVABLE, F3_1Pt44_512, 1, 1, 1, 1, 0, 0, "\n A: 0.00 KB"},
    {DRIVE_REMOVABLE, F3_1Pt44_512, 0, 2, 18, 512, 0, 0, ""},
    {DRIVE_REMOVABLE, FixedMedia, 80, 2, 18, 512, 0, 0, ""},
    {DRIVE_REMOVABLE, F3_1Pt44_512, 80, 2, 18, 512, 0, 2, ""}, // the geometry query fails
};

TEST(Scan, ListsTheRemovableDrivesThatHoldTheMinimum)
{
    for (const auto &row : kListing) {
        SCOPED_TRACE(row.cylinders);
        machine();
        w.drives[0].type = row.type;
        w.drives[0].geometry = {{{(DWORD)row.cylinders, (int32_t)(row.cylinders >> 32)}},
                                row.media,
                                row.heads,
                                row.sectors,
                                row.bytes};
        w.failCall = row.failCall;
        EXPECT_EQ(findAvailableDrive(row.minimum), 'A');
        EXPECT_EQ(w.out, row.listed + kPrompt + kConfirm);
        EXPECT_EQ(w.open, "");
    }
}

} // namespace

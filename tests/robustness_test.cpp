// Every call of a successful run failed in turn, and every key at both prompts.
#include "support.h"

#include <cctype>
#include <cstring>

namespace {

using sim::machine;
using Calls = std::vector<std::string>;

const size_t kProgramSize = 20480;

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The machine of the successful run: a diskette at A:, the program file with
// its image, the cursor home (so the run ends with a key wait), keys a, y, k.
// Made once: these tests run the program over a thousand times.
const std::vector<unsigned char> &image()
{
    static const std::vector<unsigned char> bytes = sim::patternImage();
    return bytes;
}

void standardMachine()
{
    sim::reset();
    sim::addDiskette('A');
    sim::setOwnFile(kProgramSize, image());
    sim::typeKeys({'a', 'y', 'k'});
}

bool imageWritten()
{
    return memcmp(image().data(), sim::drive('A').store.data(), IMAGE_SIZE) == 0;
}

bool untouched()
{
    static const std::vector<unsigned char> fresh(IMAGE_SIZE + 4096,
                                                  0xF6); // as addDiskette fills it
    return sim::drive('A').store == fresh;
}

// How the run must end when the call at `index` of the successful run's log
// fails with `code`.
struct Expected {
    int status;
    std::string transcript;
    bool written;
    int volumeHandles;
    bool locked;
    bool ownFileOpen;
};

Expected expectedEnding(const Calls &log, size_t index, DWORD code)
{
    const std::string &call = log[index];
    const std::string text = "Simulated failure " + std::to_string(code);
    const std::string listed = kListedA;
    size_t firstKey = 0;
    while (log[firstKey] != "_getch()")
        firstKey++;
    size_t secondKey = firstKey + 1;
    while (log[secondKey] != "_getch()")
        secondKey++;
    Expected success{
        0, dialogue(listed, 'A') + congratulations('A') + kKeyPrompt, true, 0, false, false};
    auto stop = [&](const std::string &message, int volumes, bool locked, bool ownOpen) {
        return Expected{1,      dialogue(listed, 'A') + framed(message) + kKeyPrompt,
                        false,  volumes,
                        locked, ownOpen};
    };

    if (startsWith(call, "GetStdHandle") || startsWith(call, "GetConsoleScreenBufferInfo"))
        return {0, dialogue(listed, 'A') + congratulations('A'), true, 0, false, false};
    if (index < firstKey) { // the scan
        if (startsWith(call, "CloseHandle"))
            return {0, success.transcript, true, 1, false, false}; // the handle stays open
        bool aboutA = call.find("A:") != std::string::npos;
        return {0,     dialogue(aboutA ? "" : listed, 'A') + congratulations('A') + kKeyPrompt,
                true,  0,
                false, false};
    }
    if (index == firstKey)
        return {1,     std::string(kBanner) + listed + kLetterPrompt + "\n" + kNoDrive + kKeyPrompt,
                false, 0,
                false, false};
    if (index == secondKey)
        return {1, dialogue(listed, 'A') + kNoDrive + kKeyPrompt, false, 0, false, false};
    if (startsWith(call, "CreateFileA(\\\\.\\A:"))
        return stop("error opening drive A: " + text + "\n", 0, false, false);
    if (startsWith(call, "DeviceIoControl(volume A:, LOCK"))
        return stop("Error locking drive A: " + text, 1, false, false);
    if (startsWith(call, "GetModuleFileNameA"))
        return stop("GetModuleFileName error \"" + text + "\"", 1, true, false);
    if (startsWith(call, "CreateFileA(C:"))
        return stop("CreateFile (\"C:\\Tools\\imagewrite.exe\") error \"" + text + "\"", 1, true,
                    false);
    if (startsWith(call, "GetFileSize")) // its failure value makes the file look too short
        return stop("appended image missing", 1, true, true);
    if (startsWith(call, "CreateFileMappingA"))
        return stop("CreateFileMapping error \"" + text + "\"", 1, true, false);
    if (startsWith(call, "MapViewOfFile"))
        return stop("MapViewOfFile error \"" + text + "\"", 0, false, false);
    if (startsWith(call, "WriteFile"))
        return stop("WriteFile error \"" + text + "\"", 1, true, true);
    // The dismount, the unlock, the closes at the end and the final key wait:
    // their failures change nothing for the user.
    if (startsWith(call, "DeviceIoControl(volume A:, DISMOUNT"))
        return success;
    if (startsWith(call, "DeviceIoControl(volume A:, UNLOCK"))
        return {0, success.transcript, true, 0, false, false}; // closing ends the lock
    if (call == "CloseHandle(volume A:)")
        return {0, success.transcript, true, 1, false, false};
    if (call == "CloseHandle(own file)")
        return {0, success.transcript, true, 0, false, true};
    return success; // the final _getch
}

TEST(EveryCallFailed, EachSystemCallOfASuccessfulRunFailingAloneEndsInAnOrderlyWay)
{
    standardMachine();
    ASSERT_EQ(sim::runProgram(), 0);
    const Calls log = machine.calls;
    int swept = 0;
    for (size_t index = 0; index < log.size(); index++) {
        const std::string &call = log[index];
        // Formatting into the program's own buffers cannot fail for its
        // fixed formats, and a failed print only loses its text.
        if (sim::isPrinting(call))
            continue;
        SCOPED_TRACE("failing call " + std::to_string(index) + ": " + call);
        standardMachine();
        DWORD code = 20000 + (DWORD)index;
        machine.messages[code] = "Simulated failure " + std::to_string(code) + ".\r\n";
        machine.failIndex = (long)index;
        machine.failError = code;
        int status = sim::runProgram();
        ASSERT_EQ(machine.calls[index], call) << "the run took another road before the failure";
        Expected expected = expectedEnding(log, index, code);
        EXPECT_EQ(status, expected.status);
        EXPECT_EQ(transcript(), expected.transcript);
        EXPECT_EQ(imageWritten(), expected.written);
        if (!expected.written) {
            EXPECT_TRUE(untouched());
        }
        EXPECT_EQ(sim::openVolumeHandles(), expected.volumeHandles);
        EXPECT_EQ(sim::drive('A').locked, expected.locked);
        EXPECT_EQ(sim::ownFileOpen(), expected.ownFileOpen);
        swept++;
    }
    EXPECT_GT(swept, 40);
}

TEST(EveryCallFailed, PrintingThatFailsLosesOnlyItsText)
{
    standardMachine();
    ASSERT_EQ(sim::runProgram(), 0);
    const Calls log = machine.calls;
    for (size_t index = 0; index < log.size(); index++) {
        const std::string &call = log[index];
        // Formatting into the program's own buffers is left out, as above.
        if (!sim::isPrinting(call) || startsWith(call, "_"))
            continue;
        SCOPED_TRACE("failing call " + std::to_string(index) + ": " + call);
        standardMachine();
        machine.failIndex = (long)index;
        machine.failError = 1;
        EXPECT_EQ(sim::runProgram(), 0);
        EXPECT_TRUE(imageWritten());
        EXPECT_EQ(machine.console.nextKey, 3u);
    }
}

struct WriteResult {
    DWORD limit;
    const char *message;
};

TEST(EveryCallFailed, ShortAndEmptyWritesStopWithTheirMessages)
{
    const WriteResult results[] = {
        {0, "WriteFile error \"The system cannot find the file specified\""},
        {1, "write failed, only 1 of 1474560 bytes written"},
        {512, "write failed, only 512 of 1474560 bytes written"},
        {IMAGE_SIZE - 1, "write failed, only 1474559 of 1474560 bytes written"},
    };
    for (const WriteResult &result : results) {
        SCOPED_TRACE(result.limit);
        standardMachine();
        sim::drive('A').writeLimit = result.limit;
        EXPECT_EQ(sim::runProgram(), 1);
        EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + framed(result.message) + kKeyPrompt);
        EXPECT_TRUE(sim::drive('A').locked);
        EXPECT_FALSE(sim::drive('A').dismounted);
    }
}

// Every drive letter holds a diskette; each call of the scan fails once.
TEST(EveryCallFailed, AFailureInTheScanLeavesOnlyThatLetterOffTheList)
{
    auto allDrives = [] {
        sim::reset();
        for (char letter = 'A'; letter <= 'Z'; letter++)
            sim::addDiskette(letter, 0);
        sim::typeKeys({'\r'});
    };
    allDrives();
    ASSERT_EQ(findAvailableDrive(IMAGE_SIZE), 0);
    const Calls log = machine.calls;
    int swept = 0;
    for (size_t index = 0; index < log.size(); index++) {
        const std::string &call = log[index];
        if (startsWith(call, "_getch"))
            break;
        if (sim::isPrinting(call))
            continue;
        SCOPED_TRACE("failing call " + std::to_string(index) + ": " + call);
        allDrives();
        machine.failIndex = (long)index;
        machine.failError = sim::ERROR_NOT_READY;
        EXPECT_EQ(findAvailableDrive(IMAGE_SIZE), 0);
        size_t colon = call.find(':');
        ASSERT_NE(colon, std::string::npos);
        char failed = call[colon - 1];
        std::string listing;
        for (char letter = 'A'; letter <= 'Z'; letter++)
            if (letter != failed || startsWith(call, "CloseHandle"))
                listing += std::string("\n ") + letter + ": 1.44 MB";
        EXPECT_EQ(transcript(), listing + kLetterPrompt + "\n");
        EXPECT_EQ(sim::openHandles(), startsWith(call, "CloseHandle") ? 1 : 0);
        swept++;
    }
    EXPECT_EQ(swept, 26 * 4);
}

// ---------------------------------------------------------------------------
// Every key

bool isAsciiLetter(int key)
{
    return (key >= 'A' && key <= 'Z') || (key >= 'a' && key <= 'z');
}

TEST(EveryKey, OnlyALetterAtTheFirstPromptLeadsToTheConfirmation)
{
    for (int key = 0; key < 256; key++) {
        SCOPED_TRACE(key);
        standardMachine();
        machine.console.cursorX = 2; // no final key wait
        sim::addDiskette((char)(isAsciiLetter(key) ? toupper(key) : 'A'));
        sim::typeKeys({key, 'y'});
        int status = sim::runProgram();
        Calls after;
        Calls calls = sim::systemCalls();
        auto firstKey = std::find(calls.begin(), calls.end(), "_getch()");
        after.assign(firstKey, calls.end());
        if (isAsciiLetter(key)) {
            char letter = (char)toupper(key);
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(startsWith(after[2], std::string("CreateFileA(\\\\.\\") + letter + ":"));
            EXPECT_NE(transcript().find(std::string("Overwrite drive ") + letter + ": (Y/N)?: "),
                      std::string::npos);
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(after, (Calls{"_getch()"})); // nothing opened, no confirmation read
            EXPECT_EQ(transcript().find("Overwrite drive"), std::string::npos);
            EXPECT_TRUE(untouched());
        }
    }
}

TEST(EveryKey, TwoCodeKeysAnswerWithTheirFirstCodeAndLeaveTheSecond)
{
    for (int first : {0, 0xE0}) {
        for (int second = 0; second < 256; second++) {
            SCOPED_TRACE(std::to_string(first) + " " + std::to_string(second));
            standardMachine();
            sim::typeKeys({first, second, 'y'});
            EXPECT_EQ(sim::runProgram(), 1);
            EXPECT_EQ(transcript(), std::string(kBanner) + kListedA + kLetterPrompt +
                                        std::string("\n") + kNoDrive + kKeyPrompt);
            EXPECT_EQ(machine.console.nextKey, 2u); // the second code went to the final wait
            EXPECT_TRUE(untouched());
        }
    }
}

TEST(EveryKey, OnlyYOrSmallYConfirms)
{
    for (int key = -1; key < 256; key++) {
        SCOPED_TRACE(key);
        standardMachine();
        sim::typeKeys(key < 0 ? std::vector<int>{'a'} : std::vector<int>{'a', key, 'k'});
        int status = sim::runProgram();
        bool yes = key == 'y' || key == 'Y';
        EXPECT_EQ(status, yes ? 0 : 1);
        EXPECT_EQ(imageWritten(), yes);
        if (!yes) {
            EXPECT_TRUE(untouched());
            EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + kNoDrive + kKeyPrompt);
            EXPECT_EQ(sim::openHandles(), 0);
        }
    }
}

TEST(EveryKey, KeysRunningOutEndAsARefusal)
{
    const std::vector<int> typed[] = {{}, {'a'}};
    for (const std::vector<int> &keys : typed) {
        SCOPED_TRACE(keys.size());
        standardMachine();
        sim::typeKeys(keys);
        EXPECT_EQ(sim::runProgram(), 1);
        EXPECT_TRUE(untouched());
        EXPECT_EQ(sim::openHandles(), 0);
    }
}

} // namespace

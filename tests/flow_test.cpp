// The whole run: the successful write, every ending of the failure table,
// and the program files the image is taken from.
#include "support.h"

#include <functional>

namespace {

using sim::machine;
using Calls = std::vector<std::string>;

const size_t kProgramSize = 20480;
const char *const kOpenA = "CreateFileA(\\\\.\\A:, C0000000, 3, null, 3, 0, null)";
const char *const kLockA = "DeviceIoControl(volume A:, LOCK_VOLUME, in 0, out 0)";
const char *const kOwnOpen =
    "CreateFileA(C:\\Tools\\imagewrite.exe, 80000000, 1, null, 3, 1, null)";
const char *const kMapping = "CreateFileMappingA(own file, null, 2, 0, 0, null)";
const char *const kView = "MapViewOfFile(mapping, 4, 0, 0, 0)";
const char *const kWrite = "WriteFile(volume A:, view+20480, 1474560)";

std::string formatMessage(DWORD code)
{
    return "FormatMessageA(1300, null, " + std::to_string(code) + ", 1024, 0, null)";
}

Calls errorText(DWORD code)
{
    return {"GetLastError()", formatMessage(code)};
}

Calls concat(Calls a, const Calls &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Calls lastCalls(size_t n)
{
    Calls all = sim::systemCalls();
    return n <= all.size() ? Calls(all.end() - (long)n, all.end()) : all;
}

// A diskette at A:, the program file with its image appended, the keys
// "a" and "y" and one for the final wait.
class Run : public Simulated {
  protected:
    void SetUp() override
    {
        Simulated::SetUp();
        image = sim::patternImage();
        sim::addDiskette('A');
        before = sim::drive('A').store;
        sim::setOwnFile(kProgramSize, image);
        sim::typeKeys({'a', 'y', 'k'});
    }
    void homed(bool pause) { machine.console.cursorX = pause ? 0 : 4; }
    bool imageOnDiskette() const
    {
        const std::vector<unsigned char> &store = sim::drive('A').store;
        return std::equal(image.begin(), image.end(), store.begin()) &&
               std::equal(store.begin() + IMAGE_SIZE, store.end(), before.begin() + IMAGE_SIZE);
    }
    std::vector<unsigned char> image, before;
};

TEST_F(Run, WritesTheImageAndReportsSuccess)
{
    homed(true);
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + congratulations('A') + kKeyPrompt);
    Calls expected =
        concat(concat({"GetStdHandle(-11)", "GetConsoleScreenBufferInfo(console)"}, scanCalls("A")),
               {"_getch()", "_getch()", kOpenA, kLockA, "GetModuleFileNameA(null, 260)", kOwnOpen,
                "GetFileSize(own file, null)", kMapping, kView, kWrite,
                "DeviceIoControl(volume A:, DISMOUNT_VOLUME, in 0, out 0)",
                "DeviceIoControl(volume A:, UNLOCK_VOLUME, in 0, out 0)", "CloseHandle(volume A:)",
                "CloseHandle(own file)", "_getch()"});
    EXPECT_EQ(sim::systemCalls(), expected);
    EXPECT_TRUE(imageOnDiskette());
    EXPECT_TRUE(machine.writeWhileLocked);
    EXPECT_TRUE(sim::drive('A').dismounted);
    EXPECT_FALSE(sim::drive('A').locked);
    EXPECT_EQ(sim::openHandles(), 1); // the mapping, left to the end of the process
    EXPECT_EQ(machine.console.nextKey, 3u);
}

TEST_F(Run, WithoutAWindowOfItsOwnEndsWithoutWaiting)
{
    homed(false);
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + congratulations('A'));
    EXPECT_EQ(sim::systemCalls().back(), "CloseHandle(own file)");
    EXPECT_EQ(machine.console.nextKey, 2u);
    EXPECT_TRUE(imageOnDiskette());
}

TEST_F(Run, OutputToAFileNeverWaitsForAKey)
{
    machine.console.isConsole = false;
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + congratulations('A'));
    EXPECT_EQ(machine.console.nextKey, 2u);
}

struct Ending {
    const char *name;
    std::function<void()> setup;
    Calls tail;          // the calls from the failing one up to the key wait and exit
    std::string message; // framed
    int volumeHandles;   // still open at the end
    bool locked;
    bool ownFileOpen;
};

const Ending kEndings[] = {
    {"OpenFails",
     [] {
         sim::typeKeys({'q', 'y', 'k'});
     },
     concat({"CreateFileA(\\\\.\\Q:, C0000000, 3, null, 3, 0, null)"}, errorText(2)),
     "error opening drive Q: The system cannot find the file specified\n", 0, false, false},
    {"LockRefused", [] { sim::drive('A').lockError = sim::ERROR_ACCESS_DENIED; },
     concat({kLockA}, errorText(5)), "Error locking drive A: Access is denied", 1, false, false},
    {"NoModuleName", [] { machine.own.moduleNameError = sim::ERROR_NOT_ENOUGH_MEMORY; },
     concat({"GetModuleFileNameA(null, 260)"}, errorText(8)),
     "GetModuleFileName error \"Not enough memory resources are available to process this "
     "command\"",
     1, true, false},
    {"OwnPathTooLong",
     [] { machine.own.path = "C:\\" + std::string(300, 'd') + "\\imagewrite.exe"; },
     {"GetModuleFileNameA(null, 260)"},
     "program path longer than 259 characters: move the program to a shorter path",
     1,
     true,
     false},
    {"OwnFileDoesNotOpen", [] { machine.own.openError = sim::ERROR_SHARING_VIOLATION; },
     concat({kOwnOpen}, errorText(32)),
     "CreateFile (\"C:\\Tools\\imagewrite.exe\") error \"The process cannot access the file "
     "because it is being used by another process\"",
     1, true, false},
    {"NoMapping", [] { machine.own.mappingError = sim::ERROR_NOT_ENOUGH_MEMORY; },
     concat({kMapping, "CloseHandle(own file)"}, errorText(8)),
     "CreateFileMapping error \"Not enough memory resources are available to process this "
     "command\"",
     1, true, false},
    {"NoView", [] { machine.own.viewError = sim::ERROR_NOT_ENOUGH_MEMORY; },
     concat({kView, "CloseHandle(volume A:)", "CloseHandle(mapping)", "CloseHandle(own file)"},
            errorText(8)),
     "MapViewOfFile error \"Not enough memory resources are available to process this "
     "command\"",
     0, false, false},
    {"ImageMissing",
     [] { sim::setOwnFile(0, sim::patternImage(IMAGE_SIZE - 1)); },
     {kView},
     "appended image missing",
     1,
     true,
     true},
    {"EmptyOwnFile", [] { sim::setOwnFile(0, {}); },
     concat({kMapping, "CloseHandle(own file)"}, errorText(1006)),
     "CreateFileMapping error \"system error 1006\"", 1, true, false},
    {"WriteFails", [] { sim::drive('A').writeError = sim::ERROR_WRITE_PROTECT; },
     concat({kWrite}, errorText(19)), "WriteFile error \"The media is write protected\"", 1, true,
     true},
    // Nothing failed, so the text is whatever error the thread last met: here
    // the scan's open of B:.
    {"WriteOfNothing", [] { sim::drive('A').writeLimit = 0; }, concat({kWrite}, errorText(2)),
     "WriteFile error \"The system cannot find the file specified\"", 1, true, true},
    {"ShortWrite",
     [] { sim::drive('A').writeLimit = 512; },
     {kWrite},
     "write failed, only 512 of 1474560 bytes written",
     1,
     true,
     true},
};

void PrintTo(const Ending &e, std::ostream *os)
{
    *os << e.name;
}

class Endings : public Run, public ::testing::WithParamInterface<std::tuple<Ending, bool>> {};

TEST_P(Endings, StopWithTheFramedMessageAndStatusOne)
{
    const Ending &ending = std::get<0>(GetParam());
    bool pause = std::get<1>(GetParam());
    homed(pause);
    ending.setup();
    EXPECT_EQ(sim::runProgram(), 1);

    char letter = sim::machine.console.keys[0] == 'q' ? 'Q' : 'A';
    EXPECT_EQ(transcript(),
              dialogue(kListedA, letter) + framed(ending.message) + (pause ? kKeyPrompt : ""));
    Calls tail = concat(ending.tail, pause ? Calls{"_getch()", "exit(1)"} : Calls{"exit(1)"});
    EXPECT_EQ(lastCalls(tail.size()), tail);
    EXPECT_EQ(sim::openVolumeHandles(), ending.volumeHandles);
    EXPECT_EQ(sim::drive('A').locked, ending.locked);
    EXPECT_EQ(sim::ownFileOpen(), ending.ownFileOpen);
    EXPECT_FALSE(sim::drive('A').dismounted);
    const std::vector<unsigned char> &store = sim::drive('A').store;
    if (ending.name == std::string("ShortWrite")) {
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 512, store.begin()));
        EXPECT_TRUE(std::equal(store.begin() + 512, store.end(), before.begin() + 512));
    } else {
        EXPECT_EQ(store, before); // nothing written
    }
}

INSTANTIATE_TEST_SUITE_P(FailureTable, Endings,
                         ::testing::Combine(::testing::ValuesIn(kEndings), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Ending, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Paused" : "_NoPause");
                         });

struct Refusal {
    const char *name;
    std::vector<int> keys;
    const char *afterPrompt;
};

void PrintTo(const Refusal &r, std::ostream *os)
{
    *os << r.name;
}

class NoDriveChosen : public Run,
                      public ::testing::WithParamInterface<std::tuple<Refusal, bool>> {};

TEST_P(NoDriveChosen, EndsWithItsOwnUnframedMessage)
{
    const Refusal &refusal = std::get<0>(GetParam());
    bool pause = std::get<1>(GetParam());
    homed(pause);
    sim::typeKeys(refusal.keys);
    EXPECT_EQ(sim::runProgram(), 1);
    EXPECT_EQ(transcript(), std::string(kBanner) + kListedA + kLetterPrompt + refusal.afterPrompt +
                                kNoDrive + (pause ? kKeyPrompt : ""));
    EXPECT_EQ(sim::openHandles(), 0);
    EXPECT_EQ(sim::drive('A').store, before);
    EXPECT_EQ(sim::systemCalls().back(), "_getch()");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, NoDriveChosen,
    ::testing::Combine(::testing::Values(Refusal{"NotALetter", {'1', 'k'}, "\n"},
                                         Refusal{"ConfirmationRefused",
                                                 {'a', 'n', 'k'},
                                                 "\nOverwrite drive A: (Y/N)?: \n"},
                                         Refusal{"KeysRunOut", {}, "\n"}),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<Refusal, bool>> &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_Paused" : "_NoPause");
    });

TEST_F(Run, ProgramFileOfExactlyTheImageSizeIsWrittenWhole)
{
    homed(false);
    sim::setOwnFile(0, image);
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_EQ(machine.writeViewOffset, 0);
    EXPECT_TRUE(imageOnDiskette());
}

TEST_F(Run, BytesAfterTheImageMoveTheWindowToTheLastImageSizeBytes)
{
    homed(false);
    std::vector<unsigned char> file = sim::patternImage(IMAGE_SIZE + 100, 7);
    sim::setOwnFile(kProgramSize, file);
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_EQ(machine.writeViewOffset, (long)(kProgramSize + 100));
    image.assign(file.begin() + 100, file.end());
    EXPECT_TRUE(imageOnDiskette());
    EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + congratulations('A'));
}

TEST_F(Run, OwnPathOf259CharactersStillFits)
{
    homed(false);
    machine.own.path = "C:\\" + std::string(259 - 3 - 15, 'd') + "\\imagewrite.exe";
    ASSERT_EQ(machine.own.path.size(), 259u);
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_TRUE(imageOnDiskette());
}

class HandBackFailure : public Run, public ::testing::WithParamInterface<int> {};

TEST_P(HandBackFailure, StillEndsInSuccess)
{
    homed(false);
    if (GetParam() & 1)
        sim::drive('A').dismountError = sim::ERROR_INVALID_PARAMETER;
    if (GetParam() & 2)
        sim::drive('A').unlockError = sim::ERROR_NOT_READY;
    EXPECT_EQ(sim::runProgram(), 0);
    EXPECT_EQ(transcript(), dialogue(kListedA, 'A') + congratulations('A'));
    EXPECT_TRUE(imageOnDiskette());
    EXPECT_EQ(sim::openVolumeHandles(), 0);
    EXPECT_FALSE(sim::drive('A').locked); // closing the handle ends the lock
}

INSTANTIATE_TEST_SUITE_P(DismountOrUnlock, HandBackFailure, ::testing::Values(1, 2, 3));

} // namespace

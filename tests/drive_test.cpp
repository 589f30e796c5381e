// The drive scan, the listing and the two-key dialogue, and the volume
// operations that the write uses.
#include "support.h"

#include <functional>

namespace {

using sim::machine;

// Runs the scan with one drive at E:, set up by `setup`, and Enter typed.
std::string listingOf(const std::function<void(sim::Drive &)> &setup, int minimum = IMAGE_SIZE)
{
    sim::reset();
    setup(sim::addDiskette('E', 0));
    sim::typeKeys({'\r'});
    EXPECT_EQ(findAvailableDrive(minimum), 0);
    const std::string &all = transcript();
    size_t prompt = all.rfind(kLetterPrompt);
    return prompt == std::string::npos ? "no prompt: " + all : all.substr(0, prompt);
}

struct Listing {
    const char *name;
    std::function<void(sim::Drive &)> setup;
    const char *entry; // "" when the drive is left off the list
};

void PrintTo(const Listing &l, std::ostream *os)
{
    *os << l.name;
}

class DriveListing : public ::testing::TestWithParam<Listing> {};

TEST_P(DriveListing, ListsExactlyTheRemovableDrivesThatHoldTheImage)
{
    EXPECT_EQ(listingOf(GetParam().setup), GetParam().entry);
    EXPECT_EQ(sim::openHandles(), 0);
}

void geometry(sim::Drive &d, long long cylinders, DWORD tracks, DWORD sectors, DWORD bytes)
{
    d.geometry.cylinders = cylinders;
    d.geometry.tracksPerCylinder = tracks;
    d.geometry.sectorsPerTrack = sectors;
    d.geometry.bytesPerSector = bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Drives, DriveListing,
    ::testing::Values(
        Listing{"Diskette", [](sim::Drive &) {}, "\n E: 1.44 MB"},
        Listing{"CapacityEqualsMinimum", [](sim::Drive &d) { geometry(d, 1, 1, 1, IMAGE_SIZE); },
                "\n E: 1.44 MB"},
        Listing{"CapacityOneBelowMinimum",
                [](sim::Drive &d) { geometry(d, 1, 1, 1, IMAGE_SIZE - 1); }, ""},
        Listing{"ZeroCylinders", [](sim::Drive &d) { geometry(d, 0, 2, 18, 512); }, ""},
        Listing{"FlashDisk",
                [](sim::Drive &d) {
                    geometry(d, 1946, 255, 63, 512);
                    d.geometry.mediaType = RemovableMedia;
                },
                "\n E: 16,006 MB"},
        // A product past 32 bits in the DWORD factors alone.
        Listing{"FactorsPast32Bits", [](sim::Drive &d) { geometry(d, 2, 256, 65536, 512); },
                "\n E: 17,180 MB"},
        Listing{"CylindersPast32Bits", [](sim::Drive &d) { geometry(d, 31266816, 1, 1, 512); },
                "\n E: 16,009 MB"},
        Listing{"GeometryFails", [](sim::Drive &d) { d.geometry.error = 50; }, ""},
        Listing{"UnknownMedia", [](sim::Drive &d) { d.geometry.mediaType = Unknown; }, ""},
        Listing{"FixedMediaInARemovableDrive",
                [](sim::Drive &d) { d.geometry.mediaType = FixedMedia; }, ""},
        Listing{"FixedDrive", [](sim::Drive &d) { d.driveType = sim::DRIVE_FIXED; }, ""},
        Listing{"OpticalDrive", [](sim::Drive &d) { d.driveType = sim::DRIVE_CDROM; }, ""},
        Listing{"NetworkDrive", [](sim::Drive &d) { d.driveType = sim::DRIVE_REMOTE; }, ""},
        Listing{"NoRawAccess", [](sim::Drive &d) { d.openError = sim::ERROR_ACCESS_DENIED; }, ""}),
    [](const ::testing::TestParamInfo<Listing> &info) { return info.param.name; });

TEST(DriveListing, MinimumOfZeroStillLeavesDrivesWithoutAMediumOff)
{
    EXPECT_EQ(listingOf([](sim::Drive &d) { d.geometry.mediaType = FixedMedia; }, 0), "");
    EXPECT_EQ(listingOf([](sim::Drive &d) { d.geometry.error = 21; }, 0), "");
    EXPECT_EQ(listingOf([](sim::Drive &d) { geometry(d, 0, 2, 18, 512); }, 0), "");
    EXPECT_EQ(listingOf([](sim::Drive &d) { geometry(d, 1, 1, 1, 1); }, 0), "\n E: 0.00 KB");
}

TEST_F(Simulated, ScanOpensEachLetterOnceClosesEachHandleAndKeepsOneOpenAtATime)
{
    sim::addDiskette('A');
    sim::addDiskette('C').driveType = sim::DRIVE_FIXED;
    sim::addDiskette('E').geometry.error = 50;
    sim::addDiskette('F').openError = sim::ERROR_ACCESS_DENIED;
    sim::addRemovable('K', 1946, 255, 63);
    sim::typeKeys({'\r'});
    EXPECT_EQ(findAvailableDrive(IMAGE_SIZE), 0);

    std::vector<std::string> expected = scanCalls("ACEK");
    expected.push_back("_getch()");
    EXPECT_EQ(sim::systemCalls(), expected);
    EXPECT_EQ(machine.maxOpenHandles, 1);
    EXPECT_EQ(sim::openHandles(), 0);
    EXPECT_EQ(transcript(), std::string("\n A: 1.44 MB\n K: 16,006 MB") + kLetterPrompt + "\n");
}

TEST_F(Simulated, WithNoDriveThePromptFollowsAtOnce)
{
    sim::typeKeys({'\r'});
    EXPECT_EQ(findAvailableDrive(IMAGE_SIZE), 0);
    EXPECT_EQ(transcript(), std::string(kLetterPrompt) + "\n");
}

struct Dialogue {
    const char *name;
    std::vector<int> keys;
    int letter;        // the result
    const char *shown; // what follows the letter prompt
    size_t keysRead;
};

void PrintTo(const Dialogue &d, std::ostream *os)
{
    *os << d.name;
}

class KeyDialogue : public Simulated, public ::testing::WithParamInterface<Dialogue> {};

TEST_P(KeyDialogue, GivesTheLetterOnlyForALetterConfirmedWithY)
{
    sim::addDiskette('A');
    sim::typeKeys(GetParam().keys);
    EXPECT_EQ(findAvailableDrive(IMAGE_SIZE), GetParam().letter);
    EXPECT_EQ(transcript(), std::string("\n A: 1.44 MB") + kLetterPrompt + GetParam().shown);
    EXPECT_EQ(machine.console.nextKey, GetParam().keysRead);
    EXPECT_EQ(sim::openHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyDialogue,
    ::testing::Values(
        Dialogue{"LowerCaseConfirmed", {'a', 'y'}, 'A', "\nOverwrite drive A: (Y/N)?: \n", 2},
        Dialogue{"UpperCaseConfirmed", {'A', 'Y'}, 'A', "\nOverwrite drive A: (Y/N)?: \n", 2},
        Dialogue{"UnlistedLetter", {'q', 'Y'}, 'Q', "\nOverwrite drive Q: (Y/N)?: \n", 2},
        Dialogue{"LastLetter", {'z', 'y'}, 'Z', "\nOverwrite drive Z: (Y/N)?: \n", 2},
        Dialogue{"Refused", {'a', 'n'}, 0, "\nOverwrite drive A: (Y/N)?: \n", 2},
        Dialogue{"EnterAtConfirmation", {'a', '\r'}, 0, "\nOverwrite drive A: (Y/N)?: \n", 2},
        Dialogue{"ArrowAtConfirmation", {'a', 0xE0, 'H'}, 0, "\nOverwrite drive A: (Y/N)?: \n", 2},
        Dialogue{"Digit", {'1', 'y'}, 0, "\n", 1}, Dialogue{"Enter", {'\r', 'y'}, 0, "\n", 1},
        Dialogue{"Escape", {27, 'y'}, 0, "\n", 1}, Dialogue{"Punctuation", {'[', 'y'}, 0, "\n", 1},
        Dialogue{"AtSign", {'@', 'y'}, 0, "\n", 1},
        // A function key arrives as two codes; the second stays for the next read.
        Dialogue{"FunctionKey", {0, 0x3B, 'y'}, 0, "\n", 1},
        Dialogue{"ArrowKey", {0xE0, 'K', 'y'}, 0, "\n", 1},
        Dialogue{"NonAsciiLetter", {0xE4, 'y'}, 0, "\n", 1},
        Dialogue{"NoKeysAtAll", {}, 0, "\n", 0},
        Dialogue{"KeysRunOutAtConfirmation", {'a'}, 0, "\nOverwrite drive A: (Y/N)?: \n", 1}),
    [](const ::testing::TestParamInfo<Dialogue> &info) { return info.param.name; });

TEST_F(Simulated, CopyImageGivesTheCountWrittenOrZero)
{
    std::vector<unsigned char> bytes = sim::patternImage(4096);
    struct {
        DWORD limit, error, result;
    } cases[] = {{~0u, 0, 4096}, {512, 0, 512}, {0, 0, 0}, {~0u, sim::ERROR_WRITE_PROTECT, 0}};
    for (auto c : cases) {
        sim::reset();
        sim::Drive &d = sim::addDiskette('A', 8192);
        d.writeLimit = c.limit;
        d.writeError = c.error;
        HANDLE volume = openDisk('A');
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
        EXPECT_EQ(copyImage(volume, bytes.data(), 4096), c.result);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + c.result, d.store.begin()));
        EXPECT_EQ(d.store[c.result], 0xF6);
        EXPECT_EQ(sim::systemCalls().back(), "WriteFile(volume A:, buffer, 4096)");
    }
}

TEST_F(Simulated, VolumeControlsHandBackThePlatformsResult)
{
    sim::Drive &d = sim::addDiskette('B');
    HANDLE volume = openDisk('B');
    EXPECT_TRUE(lockVolume(volume));
    EXPECT_TRUE(d.locked);
    EXPECT_FALSE(lockVolume(openDisk('B'))); // a second lock is refused
    EXPECT_EQ(machine.lastError, sim::ERROR_ACCESS_DENIED);
    EXPECT_TRUE(dismountVolume(volume));
    EXPECT_TRUE(unlockVolume(volume));
    EXPECT_FALSE(d.locked);
    d.dismountError = sim::ERROR_INVALID_PARAMETER;
    EXPECT_FALSE(dismountVolume(volume));
    EXPECT_EQ(machine.lastError, sim::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(openDisk('C'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(machine.lastError, sim::ERROR_FILE_NOT_FOUND);
}

} // namespace

// What every test of the program shares: a fresh simulated machine, and the
// texts the program prints on its way.
#ifndef IMAGEWRITE_TEST_SUPPORT_H
#define IMAGEWRITE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include "sim.h"

#include <string>

int imagewriteMain(int argc, char **argv);

class Simulated : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
};

inline const std::string &transcript()
{
    return sim::machine.console.transcript;
}

// The thirty blanks that open every fatal message.
inline std::string blankLine()
{
    return "\n" + std::string(30, ' ');
}

inline std::string framed(const std::string &message)
{
    return blankLine() + "\n*** " + message + " ***\n";
}

const char *const kBanner = "\n\n   Varnel Tarvex Flash Disk Creation Utility 1.00   \n\n"
                            "Searching for removable drives...";
const char *const kLetterPrompt = "\nEnter drive letter to be overwritten with files : ";
const char *const kKeyPrompt = "\n(press a key to exit)";
const char *const kListedA = "\n A: 1.44 MB"; // the diskette at A:, as listed
const char *const kNoDrive = "\nNo valid drive letter entered, exiting...\n";

// From the banner through the confirmation of the letter.
inline std::string dialogue(const std::string &listing, char letter)
{
    return std::string(kBanner) + listing + kLetterPrompt + "\nOverwrite drive " + letter +
           ": (Y/N)?: \n";
}

inline std::string congratulations(char letter)
{
    return std::string("\n  Congratulations! You have successfully created a bootable BIOS "
                       "Update Disk in drive ") +
           letter + ":\n";
}

// The scan's calls when the letters in `listed` each hold a volume whose
// geometry answers and every other letter fails to open.
inline std::vector<std::string> scanCalls(const std::string &listed)
{
    std::vector<std::string> calls;
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        std::string name(1, letter);
        calls.push_back("CreateFileA(\\\\.\\" + name + ":, C0000000, 3, null, 3, 0, null)");
        if (listed.find(letter) != std::string::npos) {
            calls.push_back("DeviceIoControl(volume " + name +
                            ":, GET_DRIVE_GEOMETRY, in 0, out 24)");
            calls.push_back("GetDriveTypeA(" + name + ":\\)");
            calls.push_back("CloseHandle(volume " + name + ":)");
        }
    }
    return calls;
}

#endif

// Console texts: thousands separators, capacity texts, system error texts,
// the cursor test and the framed fatal message.
#include "support.h"

#include <climits>
#include <cstring>

namespace {

using sim::machine;

struct Grouping {
    unsigned long long value;
    const char *text;
};

void PrintTo(const Grouping &g, std::ostream *os)
{
    *os << g.value;
}

class CommanumberGroups : public ::testing::TestWithParam<Grouping> {};

TEST_P(CommanumberGroups, PutsACommaBetweenGroupsOfThreeDigits)
{
    sim::reset();
    EXPECT_STREQ(commanumber(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, CommanumberGroups,
                         ::testing::Values(Grouping{0, "0"}, Grouping{7, "7"}, Grouping{999, "999"},
                                           Grouping{1000, "1,000"}, Grouping{123456, "123,456"},
                                           Grouping{1234567, "1,234,567"},
                                           Grouping{1000000000, "1,000,000,000"},
                                           Grouping{ULLONG_MAX, "18,446,744,073,709,551,615"}));

TEST(Commanumber, LargestValueStartsAtIndexOneOfItsSlot)
{
    const char *text = commanumber(ULLONG_MAX);
    EXPECT_EQ(strlen(text), 26u);
    EXPECT_EQ(text[25], '5');
    EXPECT_EQ(text[26], '\0'); // index 27 of the slot
}

TEST(Commanumber, KeepsFourTextsAndOverwritesTheOldestWithTheFifth)
{
    char *first = commanumber(1111);
    char *second = commanumber(2222);
    char *third = commanumber(3333);
    char *fourth = commanumber(4444);
    EXPECT_STREQ(first, "1,111");
    EXPECT_STREQ(second, "2,222");
    EXPECT_STREQ(third, "3,333");
    EXPECT_STREQ(fourth, "4,444");
    char *fifth = commanumber(5555);
    EXPECT_EQ(fifth, first);
    EXPECT_STREQ(first, "5,555");
    EXPECT_STREQ(second, "2,222");
}

TEST(Commanumber, SameValueTwiceGivesEqualTextsInDifferentSlots)
{
    char *a = commanumber(42);
    char *b = commanumber(42);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, b);
}

struct Capacity {
    unsigned long long bytes;
    const char *text;
};

void PrintTo(const Capacity &c, std::ostream *os)
{
    *os << c.bytes;
}

class CapacityTexts : public ::testing::TestWithParam<Capacity> {};

TEST_P(CapacityTexts, ReadsAsTheDriveListShowsIt)
{
    sim::reset();
    EXPECT_STREQ(capacityText(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, CapacityTexts,
    ::testing::Values(Capacity{0, "0.00 KB"}, Capacity{1023, "1.00 KB"},
                      Capacity{737280, "720.00 KB"}, Capacity{1474559, "1440.00 KB"},
                      Capacity{1474560, "1.44 MB"}, Capacity{2949120, "2.88 MB"},
                      Capacity{31499999, "30.76 MB"}, Capacity{31500000, "32 MB"},
                      Capacity{999499999, "999 MB"}, Capacity{999500000, "1,000 MB"},
                      Capacity{16008609792ull, "16,009 MB"},
                      // Near the top of 64 bits adding 500,000 before dividing would wrap around.
                      Capacity{ULLONG_MAX - 499999, "18,446,744,073,709 MB"},
                      Capacity{ULLONG_MAX, "18,446,744,073,710 MB"}));

struct RingUse {
    unsigned long long bytes;
    bool takesASlot;
};

void PrintTo(const RingUse &r, std::ostream *os)
{
    *os << r.bytes;
}

class CapacityRing : public ::testing::TestWithParam<RingUse> {};

TEST_P(CapacityRing, OnlyTheWholeMegabyteFormTakesASlotOfTheRing)
{
    char *before = commanumber(1);
    capacityText(GetParam().bytes);
    commanumber(2);
    commanumber(3);
    char *after = commanumber(4);
    // Four formattings after `before`'s: the fourth lands in its slot again.
    EXPECT_EQ(after == before, GetParam().takesASlot);
}

INSTANTIATE_TEST_SUITE_P(Forms, CapacityRing,
                         ::testing::Values(RingUse{31499999, false}, RingUse{31500000, true},
                                           RingUse{1474560, false}, RingUse{0, false}));

struct Trim {
    const char *message;
    const char *text;
};

void PrintTo(const Trim &t, std::ostream *os)
{
    *os << ::testing::PrintToString(std::string(t.message));
}

class ErrorTexts : public Simulated, public ::testing::WithParamInterface<Trim> {};

TEST_P(ErrorTexts, GiveTheFirstLineWithoutItsFinalFullStop)
{
    machine.messages[1234] = GetParam().message;
    EXPECT_STREQ(winErrorText(1234), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ErrorTexts,
    ::testing::Values(Trim{"Access is denied.\r\n", "Access is denied"},
                      Trim{"No line break and no stop", "No line break and no stop"},
                      Trim{"First line.\r\nSecond line.\r\n", "First line"},
                      Trim{"Line feed alone.\nNext", "Line feed alone"},
                      Trim{"Carriage return alone.\rNext", "Carriage return alone"},
                      Trim{"Several stops...\r\n", "Several stops.."},
                      Trim{"A stop. Inside\r\n", "A stop. Inside"}, Trim{".\r\n", ""},
                      Trim{"\r\n", ""}, Trim{"\n.", ""}));

TEST_F(Simulated, ErrorTextOfZeroIsTheLastErrorOfTheThread)
{
    machine.lastError = sim::ERROR_ACCESS_DENIED;
    EXPECT_STREQ(winErrorText(0), "Access is denied");
    EXPECT_STREQ(winErrorText(sim::ERROR_NOT_READY), "The device is not ready");
}

TEST_F(Simulated, ErrorWithoutASystemMessageReadsAsItsNumber)
{
    EXPECT_STREQ(winErrorText(433), "system error 433");
    EXPECT_STREQ(winErrorText(4294967295u), "system error 4294967295");
}

TEST_F(Simulated, EachErrorTextIsAFreshBufferAndEarlierOnesStay)
{
    const char *first = winErrorText(sim::ERROR_ACCESS_DENIED);
    const char *second = winErrorText(sim::ERROR_NOT_READY);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, "Access is denied");
    EXPECT_STREQ(second, "The device is not ready");
}

struct Cursor {
    bool isConsole;
    short x, y;
    int homed;
};

void PrintTo(const Cursor &c, std::ostream *os)
{
    *os << (c.isConsole ? "console " : "no console ") << c.x << "," << c.y;
}

class CursorTest : public Simulated, public ::testing::WithParamInterface<Cursor> {};

TEST_P(CursorTest, IsHomedOnlyAtColumnZeroOfRowZero)
{
    machine.console.isConsole = GetParam().isConsole;
    machine.console.cursorX = GetParam().x;
    machine.console.cursorY = GetParam().y;
    EXPECT_EQ(isCursorHomed(), GetParam().homed);
}

INSTANTIATE_TEST_SUITE_P(Positions, CursorTest,
                         ::testing::Values(Cursor{true, 0, 0, 1}, Cursor{true, 0, 5, 0},
                                           Cursor{true, 3, 0, 0}, Cursor{true, 79, 299, 0},
                                           // Output to a file or a pipe has no cursor.
                                           Cursor{false, 0, 0, 0}));

// Runs logError and gives its exit status.
template <typename... Arguments>
int runLogError(int pause, const char *format, Arguments... arguments)
{
    try {
        logError(pause, format, arguments...);
    } catch (const sim::Exit &ending) {
        return ending.status;
    }
    return -1;
}

TEST_F(Simulated, FatalMessageWithoutPauseEndsAtOnce)
{
    sim::typeKeys({'x'});
    EXPECT_EQ(runLogError(0, "disk %c: %s", 'A', "broken"), 1);
    EXPECT_EQ(transcript(), "\n                              \n*** disk A: broken ***\n");
    EXPECT_EQ(machine.console.nextKey, 0u);
    EXPECT_EQ(machine.calls.back(), "exit(1)");
}

TEST_F(Simulated, FatalMessageWithPauseWaitsForOneKeyThenEnds)
{
    sim::typeKeys({'x', 'y'});
    EXPECT_EQ(runLogError(1, "appended image missing"), 1);
    EXPECT_EQ(transcript(), framed("appended image missing") + "\n(press a key to exit)");
    EXPECT_EQ(machine.console.nextKey, 1u);
    std::vector<std::string> tail(machine.calls.end() - 3, machine.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"fflush(stdout)", "_getch()", "exit(1)"}));
}

struct Cut {
    size_t length;
    size_t shown;
};

void PrintTo(const Cut &c, std::ostream *os)
{
    *os << c.length;
}

class LongMessages : public Simulated, public ::testing::WithParamInterface<Cut> {};

TEST_P(LongMessages, AreCutAfter255CharactersAndStayTerminated)
{
    std::string message(GetParam().length, 'm');
    for (size_t i = 0; i < message.size(); i += 10)
        message[i] = (char)('0' + i / 10 % 10);
    EXPECT_EQ(runLogError(0, "%s", message.c_str()), 1);
    EXPECT_EQ(transcript(), framed(message.substr(0, GetParam().shown)));
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongMessages,
                         ::testing::Values(Cut{254, 254}, Cut{255, 255}, Cut{256, 255},
                                           Cut{257, 255}, Cut{1000, 255}));

} // namespace

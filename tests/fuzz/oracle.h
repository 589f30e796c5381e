// Independent oracles for the text functions, written another way than the
// program writes them: grouping by recursion on thousands, the capacity texts
// from exact integer arithmetic.
#ifndef IMAGEWRITE_FUZZ_ORACLE_H
#define IMAGEWRITE_FUZZ_ORACLE_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

inline std::string grouped(unsigned long long value)
{
    if (value < 1000)
        return std::to_string(value);
    char last[4];
    snprintf(last, sizeof last, "%03u", (unsigned)(value % 1000));
    return grouped(value / 1000) + "," + last;
}

// Two-decimal text of numerator/denominator. At an exact tie between two
// hundredths either neighbour is accepted.
inline bool decimalMatches(const char *text, unsigned long long numerator,
                           unsigned long long denominator, const char *unit)
{
    unsigned __int128 scaled = (unsigned __int128)numerator * 100;
    unsigned long long hundredths = (unsigned long long)(scaled / denominator);
    unsigned long long remainder = (unsigned long long)(scaled % denominator);
    unsigned long long candidates[2] = {hundredths, hundredths + 1};
    int count = 1;
    if (remainder * 2 > denominator)
        candidates[0] = hundredths + 1;
    else if (remainder * 2 == denominator)
        count = 2;
    for (int i = 0; i < count; i++) {
        char expected[64];
        snprintf(expected, sizeof expected, "%llu.%02llu %s", candidates[i] / 100,
                 candidates[i] % 100, unit);
        if (strcmp(text, expected) == 0)
            return true;
    }
    return false;
}

inline bool capacityMatches(const char *text, unsigned long long bytes)
{
    unsigned __int128 megabytes = ((unsigned __int128)bytes + 500000) / 1000000;
    if (megabytes >= 32)
        return grouped((unsigned long long)megabytes) + " MB" == text;
    if (bytes >= 1474560)
        return decimalMatches(text, bytes, 1024000, "MB");
    return decimalMatches(text, bytes, 1024, "KB");
}

// The first line of a message, without one final full stop.
inline std::string trimmed(std::string message)
{
    message = message.substr(0, message.find('\n'));
    message = message.substr(0, message.find('\r'));
    if (!message.empty() && message.back() == '.')
        message.pop_back();
    return message;
}

#endif

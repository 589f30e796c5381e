// commanumber against grouping by recursion, and its ring of four slots.
// The C headers come before the program's: its host seam brings the simulated
// stdio names into the global scope.
#include "oracle.h"
#include "imagewrite.h"

static const char *endOf(const char *text)
{
    return text + strlen(text);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned long long value = 0;
    memcpy(&value, data, size < sizeof value ? size : sizeof value);
    const char *text = commanumber(value);
    const char *end = endOf(text); // index 27 of its slot
    if (grouped(value) != text || strlen(text) > 26)
        abort();
    // The next three formattings take the other three slots...
    const char *others[3] = {commanumber(value / 3), commanumber(value / 5),
                             commanumber(value / 7)};
    for (const char *other : others)
        if (endOf(other) == end)
            abort();
    if (grouped(value) != text)
        abort();
    // ...and the fourth takes this one again.
    const char *again = commanumber(value ^ 1);
    if (endOf(again) != end || grouped(value ^ 1) != again)
        abort();
    return 0;
}

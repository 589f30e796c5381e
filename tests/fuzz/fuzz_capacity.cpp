// capacityText against exact integer arithmetic of its three forms.
// The C headers come before the program's: its host seam brings the simulated
// stdio names into the global scope.
#include "oracle.h"
#include "imagewrite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned long long bytes = 0;
    memcpy(&bytes, data, size < sizeof bytes ? size : sizeof bytes);
    // An odd ninth byte brings the count below 40,000,000, into the decimal forms.
    if (size > 8 && data[8] % 2)
        bytes %= 40000000;
    const char *text = capacityText(bytes);
    if (strlen(text) >= 40 || !capacityMatches(text, bytes))
        abort();
    return 0;
}

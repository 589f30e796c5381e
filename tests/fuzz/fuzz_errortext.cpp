// winErrorText's trimming against arbitrary message texts.
// The C headers come before the program's: its host seam brings the simulated
// stdio names into the global scope.
#include "oracle.h"
#include "sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::reset();
    std::string message((const char *)data, size);
    message = message.substr(0, message.find('\0'));
    sim::machine.messages[4321] = message;
    const char *text = winErrorText(4321);
    // The system gives no text at all for an empty message.
    std::string expected = message.empty() ? "system error 4321" : trimmed(message);
    if (expected != text)
        abort();
    return 0;
}

#include "fuzzinput.h"

// "lsblk --output MOUNTPOINT,UUID": a mount point may hold any byte lsblk does not escape.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BootListText::rootUuid(fuzzText(fuzzBytes(data, size)));
    return 0;
}

#include "fuzzinput.h"

// The /boot probe reads /etc/fstab as raw bytes: any encoding, NULs, CRLF, endless lines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BootListText::hasSeparateBoot(fuzzBytes(data, size));
    return 0;
}

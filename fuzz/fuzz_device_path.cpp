#include "fuzzinput.h"

// "lsblk --output UUID,PATH": the first line is the configured backup UUID, the rest the listing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString uuid;
    QString listing;
    splitKeyAndText(fuzzBytes(data, size), uuid, listing);
    const QString path = BootListText::devicePath(listing, uuid);
    // A device path is always one line of the listing, never more.
    if (path.contains(QLatin1Char('\n')))
        __builtin_trap();
    return 0;
}

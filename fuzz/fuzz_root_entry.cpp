#include "fuzzinput.h"

// The root entry search: the first line is the UUID lsblk reported for "/", the rest is fstab.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString uuid;
    QString fstab;
    splitKeyAndText(fuzzBytes(data, size), uuid, fstab);
    // In the tool the UUID comes from rootUuid(), which never yields an empty one.
    if (!uuid.isEmpty())
        BootListText::rootEntryIsRoot(fstab, uuid);
    return 0;
}

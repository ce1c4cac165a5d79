#include "bootlisttext.h"
#include "bootversionmgr.h"
#include "textutil.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// What Qt's JSON writer must be given to write what ours writes: ours replaces each half of a
// surrogate pair by U+FFFD, where Qt's escapes it into text that strict readers reject.
QString wellFormed(QString text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (text.at(i).isSurrogate())
            text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

} // namespace

// Every parser of outside text gets the input: fstab, the lsblk listings, the mount table, a
// snapshot description. Where a parser searches for a key (a UUID), the first line is the key.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString text = TextUtil::fromUtf8UntilNul(bytes);
    const QString key = text.section(QLatin1Char('\n'), 0, 0);
    const QString rest = text.section(QLatin1Char('\n'), 1);
    BootListText::hasSeparateBoot(bytes);
    BootListText::rootUuid(text);
    const QList<MountTable::Mount> mounts = MountTable::storageMounts(MountTable::parse(bytes));
    const auto probe = [](const QString &path) { return BootListText::DeviceNode{path, path}; };
    // The root UUID lsblk gives is never empty.
    if (!key.isEmpty())
        BootListText::rootEntryIsRoot(rest, key, MountTable::rootMount(mounts), probe);
    const QStringList devices = BootListText::devicePaths(rest, key);
    // A device path is always one line of the listing, never more.
    if (devices.join(QString()).contains(QLatin1Char('\n')))
        __builtin_trap();
    MountTable::deviceMounts(mounts, devices);

    // Whatever a description on a removable device holds, the entry made of it must be what
    // Qt's JSON writer would write, byte for byte.
    BootVersion record;
    if (!BootVersionJson::admitSnapshot(bytes, record))
        return 0;
    BootVersion reference = record;
    for (QString *member : {&reference.version, &reference.display, &reference.uuid})
        *member = wellFormed(*member);
    const QJsonObject object{{"version", reference.version}, {"kernel", reference.kernel},
                             {"initrd", reference.initrd},   {"scheme", reference.scheme},
                             {"display", reference.display}, {"uuid", reference.uuid}};
    if (record.toJson() != QJsonDocument(object).toJson(QJsonDocument::Compact))
        __builtin_trap();
    return 0;
}

#include "bootversionmgr.h"

#include <QJsonArray>

// Every parser of outside text gets the input: fstab, the lsblk listings, the mount table, a
// snapshot description.
// Where a parser searches for a key (a UUID), the first line is the key and the rest the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString text = BootListText::fromUtf8UntilNul(bytes);
    const QString key = text.section(QLatin1Char('\n'), 0, 0);
    const QString rest = text.section(QLatin1Char('\n'), 1);
    BootListText::hasSeparateBoot(bytes);
    BootListText::rootUuid(text);
    const QString rootDevice = BootListText::rootDevice(BootListText::mountTable(bytes));
    if (!key.isEmpty()) // the root UUID lsblk gives is never empty
        BootListText::rootEntryIsRoot(rest, key, rootDevice,
                                      [](const QString &path) { return path; });
    // A device path is always one line of the listing, never more.
    if (BootListText::devicePath(rest, key).contains(QLatin1Char('\n')))
        __builtin_trap();

    // Whatever a description on a removable device holds, its record must come out of the boot
    // list as it went in; only a byte order mark that opens a text may be lost, as Qt's JSON
    // reader drops it there.
    BootVersion record;
    if (!BootListText::admitSnapshot(text, record))
        return 0;
    BootVersionMgr manager;
    const QJsonArray list = manager.QStringToJson(manager.versionList2Json({record}))
                                .value(QStringLiteral("version_list"))
                                .toArray();
    BootVersion back;
    back.unmarshal(list.at(0).toObject());
    const auto same = [](const QString &back, const QString &text) {
        return back == text || (text.startsWith(QChar(0xFEFF)) && back == text.mid(1));
    };
    if (list.size() != 1 || !same(back.version, record.version) ||
        !same(back.display, record.display) || !same(back.uuid, record.uuid))
        __builtin_trap();
    return 0;
}

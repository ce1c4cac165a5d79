// The parsers of the system files and listings bootlist reads: fstab, lsblk's listings and the
// configuration file.
#include "bootlisttext.h"

#include "constants.h"
#include "textutil.h"

#include <QFile>
#include <QSettings>
#include <QVariant>

#include <algorithm>

namespace {

const QString UuidTag = QStringLiteral("UUID=");
const QString BootMountPoint = QStringLiteral("/boot");
const QString RootLinePrefix = QStringLiteral("/ ");
const QString CommentMark = QStringLiteral("#");
const QString DevicePrefix = QStringLiteral("/dev/");
// fstab(5) makes the dump and pass fields optional, and a seventh field is no fstab line.
const int MinBootEntryFields = 4;
const int MaxBootEntryFields = 6;
const int MountPointField = 1;

const QString BackupGroup = QStringLiteral("backup");
const QString DeviceUuidKey = QStringLiteral("device_uuid");
const QString HistoryDeviceUuidKey = QStringLiteral("history_device_uuid");
const QChar UuidSeparator = QLatin1Char(',');

// fstab fields are separated by any run of spaces and tabs.
QStringList fstabFields(QString line)
{
    line.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QStringList nonEmptyLines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

namespace BootListText {

bool hasSeparateBoot(const QByteArray &fstab)
{
    for (const QByteArray &line : fstab.split('\n')) {
        const QString text = TextUtil::fromUtf8UntilNul(line).trimmed();
        if (!text.startsWith(UuidTag))
            continue;
        const QStringList fields = fstabFields(text);
        if (fields.size() >= MinBootEntryFields && fields.size() <= MaxBootEntryFields &&
            fields.at(MountPointField) == BootMountPoint)
            return true;
    }
    return false;
}

QString rootUuid(const QString &listing)
{
    for (const QString &line : nonEmptyLines(listing)) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(RootLinePrefix))
            return trimmed.mid(1).trimmed();
    }
    return QString();
}

bool rootEntryIsRoot(const QString &fstab, const QString &rootUuid, const MountTable::Mount &root,
                     const DeviceProbe &probe)
{
    const QStringList lines = nonEmptyLines(fstab);
    for (const QString &line : lines) {
        if (!line.contains(rootUuid))
            continue;
        const QString entry = line.trimmed();
        if (entry.startsWith(CommentMark))
            continue;
        // Split like the /boot probe does: a space separated fstab is as valid as a tabbed one.
        const QStringList fields = fstabFields(entry);
        if (fields.size() > MountPointField &&
            fields.at(MountPointField) == KivRecovery::RootMountPoint)
            return true;
        break;
    }
    // An installer that puts the root filesystem on LVM, or one that names disks by their
    // nodes, writes the root entry as a device path, which holds no UUID. LABEL= and PARTUUID=
    // sources are not looked up: that would take another program.
    if (root.device.isEmpty())
        return false;
    for (const QString &line : lines) {
        const QString entry = line.trimmed();
        if (entry.startsWith(CommentMark))
            continue;
        const QStringList fields = fstabFields(entry);
        if (fields.size() <= MountPointField ||
            fields.at(MountPointField) != KivRecovery::RootMountPoint)
            continue;
        const QString &source = fields.first();
        if (!source.startsWith(DevicePrefix))
            return false;
        // A kernel booted without an initramfs shows its root as /dev/root, a node that need not
        // exist; the device number in the mount table still names the device.
        const DeviceNode node = probe(source);
        return node.path == probe(root.device).path ||
               (!node.number.isEmpty() && node.number == root.number);
    }
    return false;
}

QStringList devicePaths(const QString &listing, const QString &uuid)
{
    QStringList paths;
    for (const QString &line : nonEmptyLines(listing)) {
        const QString trimmed = line.trimmed();
        // Compare the whole UUID column: a short UUID may be part of another device's longer one.
        int end = 0;
        while (end < trimmed.size() && !trimmed.at(end).isSpace())
            ++end;
        if (QStringView(trimmed).left(end) != uuid)
            continue;
        const int slash = trimmed.indexOf(QLatin1Char('/'));
        paths.append(slash < 0 ? trimmed : trimmed.mid(slash));
    }
    return paths;
}

QStringList backupUuids(const QString &iniPath)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    settings.beginGroup(BackupGroup);
    const QString device = settings.value(DeviceUuidKey).toString();
    const QVariant history = settings.value(HistoryDeviceUuidKey);
    settings.endGroup();

    // Written without quotes, "B,E" reaches us as the list ("B", "E"); it means the same as the
    // quoted text, so it must not silently lose the history.
    const QString historyText = history.userType() == QMetaType::QStringList
                                    ? history.toStringList().join(UuidSeparator)
                                    : history.toString();
    QStringList uuids = historyText.split(UuidSeparator, Qt::SkipEmptyParts);
    uuids.append(device);
    uuids.removeDuplicates();
    return uuids;
}

} // namespace BootListText

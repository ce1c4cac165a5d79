// The parsers of the system files and listings bootlist reads: the mount table, fstab, lsblk's
// listings and the configuration file.
#include "bootlisttext.h"

#include "constants.h"

#include <QFile>
#include <QSettings>
#include <QTextCodec>
#include <QVariant>

#include <algorithm>
#include <climits>
#include <cstring>
#include <sys/mount.h>
#include <utility>

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

const QString MountTablePath = QStringLiteral("/proc/self/mountinfo");
const uchar FirstNonAscii = 0x80;

const QString BackupGroup = QStringLiteral("backup");
const QString DeviceUuidKey = QStringLiteral("device_uuid");
const QString HistoryDeviceUuidKey = QStringLiteral("history_device_uuid");
const QChar UuidSeparator = QLatin1Char(',');

// The fields of a mountinfo line before its optional fields, which a lone "-" ends; after that
// come the filesystem type and the source.
const int MountIdColumn = 0;
const int DeviceNumberColumn = 2;
const int RootColumn = 3;
const int MountPointColumn = 4;
const int MountOptionsColumn = 5;
const int FirstOptionalColumn = 6;
const QByteArray OptionalFieldsEnd = QByteArrayLiteral("-");
const int TypeAfterEnd = 1;
const int SourceAfterEnd = 2;
// The per-mount options that a read-only remount must name again to keep them.
const std::pair<QByteArray, unsigned long> KeptMountOptions[] = {{"nosuid", MS_NOSUID},
                                                                 {"nodev", MS_NODEV},
                                                                 {"noexec", MS_NOEXEC},
                                                                 {"nosymfollow", MS_NOSYMFOLLOW}};
// Pseudo filesystems and runtime folders: whatever is mounted there is no backup device. Qt's
// volume list passes over the same folders, and so the initial "rootfs", which keeps a device
// found at the place every other Qt program shows it.
const QStringList HiddenMountFolders{QStringLiteral("/dev"), QStringLiteral("/proc"),
                                     QStringLiteral("/sys"), QStringLiteral("/var/run"),
                                     QStringLiteral("/var/lock")};
const QByteArray InitialRootType = QByteArrayLiteral("rootfs");
// The kernel writes a blank, tab, line feed or backslash of a mountinfo field as a backslash and
// three octal digits.
const char EscapeMark = '\\';
const int EscapeDigits = 3;
const int OctalBase = 8;

// The MIB enum of UTF-8 among QTextCodec's codecs.
const int Utf8Mib = 106;

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

bool isUnder(const QString &folder, const QString &path)
{
    return path.startsWith(folder) &&
           (path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/'));
}

// Where the optional fields of a mountinfo line end, or -1 for a line that is no whole mount.
int optionalFieldsEnd(const QList<QByteArray> &fields)
{
    const int end = fields.indexOf(OptionalFieldsEnd, FirstOptionalColumn);
    return end >= 0 && end + SourceAfterEnd < fields.size() ? end : -1;
}

QByteArray unescapeMountField(const QByteArray &field)
{
    // Most fields have nothing escaped, and the table is read for every run.
    if (!field.contains(EscapeMark))
        return field;
    QByteArray text;
    text.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        int code = 0;
        int digits = 0;
        if (field.at(i) == EscapeMark) {
            for (; digits < EscapeDigits && i + 1 + digits < field.size(); ++digits) {
                const char digit = field.at(i + 1 + digits);
                if (digit < '0' || digit >= '0' + OctalBase)
                    break;
                code = code * OctalBase + (digit - '0');
            }
        }
        if (digits == EscapeDigits && code <= UCHAR_MAX) {
            text.append(char(code));
            i += EscapeDigits;
        } else {
            text.append(field.at(i));
        }
    }
    return text;
}

} // namespace

namespace BootListText {

int lengthUntilNul(const QByteArray &bytes)
{
    const void *nul = std::memchr(bytes.constData(), '\0', size_t(bytes.size()));
    return nul ? int(static_cast<const char *>(nul) - bytes.constData()) : bytes.size();
}

bool isAscii(const char *bytes, int length)
{
    // The bytes are ORed together rather than tested one by one, which the compiler vectorizes.
    uchar allBits = 0;
    for (int i = 0; i < length; ++i)
        allBits |= uchar(bytes[i]);
    return allBits < FirstNonAscii;
}

QByteArray readMountTable()
{
    QFile file(MountTablePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool localeIsUtf8()
{
    return QTextCodec::codecForLocale()->mibEnum() == Utf8Mib;
}

QString fromUtf8UntilNul(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), lengthUntilNul(bytes));
}

bool hasSeparateBoot(const QByteArray &fstab)
{
    for (const QByteArray &line : fstab.split('\n')) {
        const QString text = fromUtf8UntilNul(line).trimmed();
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

QList<Mount> mountTable(const QByteArray &mountinfo)
{
    QList<Mount> mounts;
    for (const QByteArray &line : mountinfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int end = optionalFieldsEnd(fields);
        if (end < 0 || fields.at(end + TypeAfterEnd) == InitialRootType)
            continue;
        Mount mount;
        mount.mountPoint = QFile::decodeName(unescapeMountField(fields.at(MountPointColumn)));
        const bool hidden = std::any_of(
            HiddenMountFolders.cbegin(), HiddenMountFolders.cend(),
            [&mount](const QString &folder) { return isUnder(folder, mount.mountPoint); });
        if (hidden)
            continue;
        mount.id = fields.at(MountIdColumn).toInt();
        mount.number = QString::fromLatin1(fields.at(DeviceNumberColumn));
        mount.root = QFile::decodeName(unescapeMountField(fields.at(RootColumn)));
        mount.device = fromUtf8UntilNul(unescapeMountField(fields.at(end + SourceAfterEnd)));
        mounts.append(mount);
    }
    return mounts;
}

QList<MountPoint> mountPoints(const QByteArray &mountinfo)
{
    QList<MountPoint> points;
    for (const QByteArray &line : mountinfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (optionalFieldsEnd(fields) < 0)
            continue;
        MountPoint point;
        point.path = unescapeMountField(fields.at(MountPointColumn));
        const QList<QByteArray> options = fields.at(MountOptionsColumn).split(',');
        for (const auto &option : KeptMountOptions) {
            if (options.contains(option.first))
                point.flags |= option.second;
        }
        points.append(point);
    }
    return points;
}

Mount rootMount(const QList<Mount> &mounts)
{
    for (const Mount &mount : mounts) {
        if (mount.mountPoint == KivRecovery::RootMountPoint)
            return mount;
    }
    return Mount();
}

QList<Mount> deviceMounts(const QList<Mount> &mounts, const QStringList &devices)
{
    QList<Mount> found;
    for (const QString &device : devices) {
        const int first = found.size();
        for (const Mount &mount : mounts) {
            if (mount.device == device)
                found.append(mount);
        }
        // A bind mount of a subfolder, or a btrfs subvolume, shows only part of the device: the
        // store lies at the top of the whole filesystem.
        std::stable_partition(found.begin() + first, found.end(), [](const Mount &mount) {
            return mount.root == KivRecovery::RootMountPoint;
        });
    }
    return found;
}

bool rootEntryIsRoot(const QString &fstab, const QString &rootUuid, const Mount &root,
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

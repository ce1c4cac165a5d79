// The system's mount table, parsed once into one record a mount.
#include "mounttable.h"

#include "constants.h"
#include "textutil.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <climits>
#include <sys/mount.h>
#include <utility>
#include <vector>

namespace {

const QString MountTablePath = QStringLiteral("/proc/self/mountinfo");

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

// What a mount and its copy in another namespace have in common, as one key.
QByteArray identity(const MountTable::Mount &mount)
{
    const char separator = '\0';
    return mount.path + separator + mount.root.toUtf8() + separator + mount.number.toLatin1() +
           separator + mount.device.toUtf8() + separator + mount.type;
}

} // namespace

namespace MountTable {

QByteArray read()
{
    QFile file(MountTablePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<Mount> parse(const QByteArray &mountinfo)
{
    QList<Mount> mounts;
    for (const QByteArray &line : mountinfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int end = optionalFieldsEnd(fields);
        if (end < 0)
            continue;
        Mount mount;
        mount.id = fields.at(MountIdColumn).toInt();
        mount.number = QString::fromLatin1(fields.at(DeviceNumberColumn));
        mount.root = QFile::decodeName(unescapeMountField(fields.at(RootColumn)));
        mount.path = unescapeMountField(fields.at(MountPointColumn));
        mount.mountPoint = QFile::decodeName(mount.path);
        mount.type = fields.at(end + TypeAfterEnd);
        mount.device =
            TextUtil::fromUtf8UntilNul(unescapeMountField(fields.at(end + SourceAfterEnd)));
        const QList<QByteArray> options = fields.at(MountOptionsColumn).split(',');
        for (const auto &option : KeptMountOptions) {
            if (options.contains(option.first))
                mount.flags |= option.second;
        }
        mounts.append(mount);
    }
    return mounts;
}

QList<Mount> storageMounts(const QList<Mount> &mounts)
{
    QList<Mount> kept;
    for (const Mount &mount : mounts) {
        const bool hidden = std::any_of(
            HiddenMountFolders.cbegin(), HiddenMountFolders.cend(),
            [&mount](const QString &folder) { return isUnder(folder, mount.mountPoint); });
        if (!hidden && mount.type != InitialRootType)
            kept.append(mount);
    }
    return kept;
}

QList<Mount> inOrderOf(const QList<Mount> &mounts, const QList<Mount> &system)
{
    // The copies of each identity, in their order, to be taken one by one.
    QHash<QByteArray, std::vector<int>> copies;
    for (int i = mounts.size() - 1; i >= 0; --i)
        copies[identity(mounts.at(i))].push_back(i);
    QList<Mount> ordered;
    std::vector<bool> taken(size_t(mounts.size()), false);
    for (const Mount &original : system) {
        const auto found = copies.find(identity(original));
        if (found == copies.end() || found->empty())
            continue;
        const int copy = found->back();
        found->pop_back();
        taken[size_t(copy)] = true;
        ordered.append(mounts.at(copy));
    }
    for (int i = 0; i < mounts.size(); ++i) {
        if (!taken[size_t(i)])
            ordered.append(mounts.at(i));
    }
    return ordered;
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

} // namespace MountTable

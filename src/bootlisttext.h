// The parsers of the system files and listings bootlist reads: the mount table, fstab, lsblk's
// listings and the configuration file. Each is a function of its input alone.
#ifndef KIV_RECOVERY_BOOTLISTTEXT_H
#define KIV_RECOVERY_BOOTLISTTEXT_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The text parsers behind the operations of BootVersionMgr. Each is a function of its input alone,
// so the odd lines that real systems and hostile media produce can be fed to them directly.
namespace BootListText {

// One mount of the mount table.
struct Mount
{
    // The kernel's ID of the mount, which no other mount has while it exists.
    int id = 0;
    // The device number of the filesystem, as "major:minor".
    QString number;
    // The folder of the filesystem that is mounted: "/" for the whole of it, another for a bind
    // mount of a subfolder or a btrfs subvolume.
    QString root;
    // The source, as the table names it.
    QString device;
    QString mountPoint;
};

// The mounts of a /proc/self/mountinfo text, in its order, with the octal escapes of blanks,
// tabs, line feeds and backslashes decoded. Mounts at or under /dev, /proc, /sys, /var/run and
// /var/lock, and the initial "rootfs", are left out: they are never a backup device.
QList<Mount> mountTable(const QByteArray &mountinfo);

// A mount as a read-only remount names it: its mount point, and the flags of mount(2) that keep
// its nosuid, nodev, noexec and nosymfollow options.
struct MountPoint
{
    QByteArray path;
    unsigned long flags = 0;
};

// Every mount of a /proc/self/mountinfo text, those left out of mountTable() included, in its
// order.
QList<MountPoint> mountPoints(const QByteArray &mountinfo);

// The mount at "/", or a mount without a source when the table has none.
Mount rootMount(const QList<Mount> &mounts);

// The mounts of the devices, device by device in their order; of one device the mounts of the
// whole filesystem first, then those of a part of it, each in the order of the table.
QList<Mount> deviceMounts(const QList<Mount> &mounts, const QStringList &devices);

// Whether the locale's encoding is UTF-8, as nearly every locale's is: text the tool reads or
// writes as UTF-8 then needs no conversion through the locale's codec.
bool localeIsUtf8();

// The length of bytes up to the first NUL byte, or of all of them.
int lengthUntilNul(const QByteArray &bytes);

// Whether bytes are all ASCII, the same text in every locale's encoding.
bool isAscii(const char *bytes, int length);

// The process's mount table (/proc/self/mountinfo), or nothing where it cannot be read.
QByteArray readMountTable();

// Bytes as UTF-8 text, up to the first NUL byte.
QString fromUtf8UntilNul(const QByteArray &bytes);

// Whether an fstab declares a filesystem of its own, named by UUID, for /boot.
bool hasSeparateBoot(const QByteArray &fstab);

// The UUID of the filesystem mounted at "/" in a "lsblk --output MOUNTPOINT,UUID" listing.
QString rootUuid(const QString &listing);

// What the system says of a device path: the path with its symbolic links resolved (the path
// itself when it cannot be), and the device number of the node it names as "major:minor" (empty
// for anything but a block device).
struct DeviceNode
{
    QString path;
    QString number;
};
using DeviceProbe = std::function<DeviceNode(const QString &)>;

// Whether the fstab mounts the root filesystem at "/": the first uncommented line that names
// rootUuid decides. When that line mounts elsewhere or there is none, the first uncommented
// entry for "/" counts too if its source is a path under /dev that names the device of root, the
// mount at "/": the same path once links are resolved, or the same device number.
bool rootEntryIsRoot(const QString &fstab, const QString &rootUuid, const Mount &root,
                     const DeviceProbe &probe);

// The device paths of the filesystem uuid in a "lsblk --output UUID,PATH" listing, in its
// order: more than one where a disk is cloned or reached on several paths.
QStringList devicePaths(const QString &listing, const QString &uuid);

// The backup device UUIDs of an INI configuration file: the history first, the current device
// last, each once.
QStringList backupUuids(const QString &iniPath);

} // namespace BootListText

#endif // KIV_RECOVERY_BOOTLISTTEXT_H

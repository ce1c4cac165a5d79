// The system's mount table: each line of /proc/self/mountinfo parsed once into one record, and
// the choices made from it (which mounts may hold a backup device, which of a device's mounts to
// try first, the order the system shows them in).
#ifndef KIV_RECOVERY_MOUNTTABLE_H
#define KIV_RECOVERY_MOUNTTABLE_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace MountTable {

// One mount of the table, its fields with the octal escapes of blanks, tabs, line feeds and
// backslashes decoded.
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
    // The mount point as text, and as the bytes the system names it by.
    QString mountPoint;
    QByteArray path;
    QByteArray type;
    // The flags of mount(2) that keep its nosuid, nodev, noexec and nosymfollow options, which a
    // read-only remount must name again.
    unsigned long flags = 0;
};

// The process's mount table (/proc/self/mountinfo), or nothing where it cannot be read.
QByteArray read();

// Every mount of a mountinfo text, in its order. A line that is no whole mount is left out.
QList<Mount> parse(const QByteArray &mountinfo);

// The mounts that may hold a backup device: those at or under /dev, /proc, /sys, /var/run and
// /var/lock, and the initial "rootfs", are left out.
QList<Mount> storageMounts(const QList<Mount> &mounts);

// The mounts of a table read in a mount namespace of the tool's own, which lists its copies in
// tree order, put in the order of the system's table (read before the namespace was made): each
// copy where its original stood, matched by mount point, root, device number, source and type.
// Copies without an original (a mount made since) come last, in their order.
QList<Mount> inOrderOf(const QList<Mount> &mounts, const QList<Mount> &system);

// The mount at "/", or a mount without a source when the table has none.
Mount rootMount(const QList<Mount> &mounts);

// Which mounts of a backup device to try, in order: device by device in the order given; of
// one device the mounts of the whole filesystem first, then those of a part of it, each in the
// order of the table. The first that shows a snapshot store is the device's.
QList<Mount> deviceMounts(const QList<Mount> &mounts, const QStringList &devices);

} // namespace MountTable

#endif // KIV_RECOVERY_MOUNTTABLE_H

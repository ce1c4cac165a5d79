// The parsers of the system files and listings bootlist reads: fstab, lsblk's listings and the
// configuration file.
#ifndef KIV_RECOVERY_BOOTLISTTEXT_H
#define KIV_RECOVERY_BOOTLISTTEXT_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

#include "mounttable.h"

// The text parsers behind the operations of BootVersionMgr, so that the odd lines that real systems
// and hostile media produce can be fed to them directly. Each is a function of its input alone,
// but for rootEntryIsRoot, which asks its probe about device paths, and backupUuids, which reads
// the INI file it is given.
namespace BootListText {

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
bool rootEntryIsRoot(const QString &fstab, const QString &rootUuid, const MountTable::Mount &root,
                     const DeviceProbe &probe);

// The device paths of the filesystem uuid in a "lsblk --output UUID,PATH" listing, in its
// order: more than one where a disk is cloned or reached on several paths.
QStringList devicePaths(const QString &listing, const QString &uuid);

// The backup device UUIDs of an INI configuration file: the history first, the current device
// last, each once.
QStringList backupUuids(const QString &iniPath);

} // namespace BootListText

#endif // KIV_RECOVERY_BOOTLISTTEXT_H

#ifndef KIV_RECOVERY_BOOTLISTTEXT_H
#define KIV_RECOVERY_BOOTLISTTEXT_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class BootVersion;

// The text parsers behind the operations of BootVersionMgr. Each is a function of its input alone,
// so the odd lines that real systems and hostile media produce can be fed to them directly.
namespace BootListText {

// One filesystem of the mount table: its source as the table names it and the folder it is
// mounted at.
struct Mount
{
    QString device;
    QString mountPoint;
};

// The mounts of a /proc/self/mountinfo text, in its order, with the octal escapes of blanks,
// tabs, line feeds and backslashes decoded. Mounts at or under /dev, /proc, /sys, /var/run and
// /var/lock, and the initial "rootfs", are left out: they are never a backup device.
QList<Mount> mountTable(const QByteArray &mountinfo);

// The source of the filesystem mounted at "/", or an empty text when the table has none.
QString rootDevice(const QList<Mount> &mounts);

// Bytes as UTF-8 text, up to the first NUL byte.
QString fromUtf8UntilNul(const QByteArray &bytes);

// The JSON object a text holds, or an empty object for anything else.
QJsonObject jsonObject(const QString &text);

// Whether an fstab declares a filesystem of its own, named by UUID, for /boot.
bool hasSeparateBoot(const QByteArray &fstab);

// The UUID of the filesystem mounted at "/" in a "lsblk --output MOUNTPOINT,UUID" listing.
QString rootUuid(const QString &listing);

// Resolves the symbolic links of a path, or gives the path back when it cannot.
using LinkResolver = std::function<QString(const QString &)>;

// Whether the fstab mounts the root filesystem at "/": the first uncommented line that names
// rootUuid decides. When that line mounts elsewhere or there is none, the first uncommented
// entry for "/" counts too if its source is a path under /dev that resolves to the same device
// as rootDevice, the source of "/" in the mount table.
bool rootEntryIsRoot(const QString &fstab, const QString &rootUuid, const QString &rootDevice,
                     const LinkResolver &resolve);

// The device path of the filesystem uuid in a "lsblk --output UUID,PATH" listing, or an empty
// text when no line has exactly that UUID.
QString devicePath(const QString &listing, const QString &uuid);

// Fills version, display and uuid of entry from a snapshot description and answers whether the
// snapshot is bootable (its "status" is the number 1).
bool admitSnapshot(const QString &description, BootVersion &entry);

// The backup device UUIDs of an INI configuration file: the history first, the current device
// last, each once.
QStringList backupUuids(const QString &iniPath);

} // namespace BootListText

#endif // KIV_RECOVERY_BOOTLISTTEXT_H

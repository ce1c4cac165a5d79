// A backup device's snapshot store, read through the device's own filesystem only.
#ifndef KIV_RECOVERY_SNAPSHOTSTORE_H
#define KIV_RECOVERY_SNAPSHOTSTORE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "bootlisttext.h"

// The snapshot store of one backup device, read through the device's own filesystem only. A
// backup device is removable media that anyone may have written: no symbolic link on it is
// followed and no mount below its mount point is entered, so nothing it holds can lead the tool
// to a file elsewhere, nor to a network share or FUSE filesystem that never answers.
class SnapshotStore
{
public:
    SnapshotStore() = default;
    ~SnapshotStore();
    SnapshotStore(const SnapshotStore &) = delete;
    SnapshotStore &operator=(const SnapshotStore &) = delete;

    // Opens the store of the mount, when its mount point shows that mount (nothing is mounted on
    // top), it has a size and it holds the snapshot folder.
    bool open(const BootListText::Mount &mount);

    // The names of the snapshot folders: no links, no hidden folders, in the order of the
    // folder listing (by name, without regard to case).
    QStringList snapshotNames() const;

    // The description of the snapshot name, as a text-mode read gives it, or false for anything
    // but a regular file of at most MaxDescriptionSize bytes.
    bool readDescription(const QString &name, QByteArray &bytes) const;

    // Opens path below the folder dir as O_PATH, without following a symbolic link or crossing
    // into another mount: the whole path lies on the mount mountId, which dir lies on. With
    // walk, one component at a time as on kernels without openat2.
    static int openBeneath(int dir, QByteArray path, int mountId, bool walk = false);

    // The ID of the mount an open file lies on, or -1 when it cannot be told.
    static int mountIdOf(int fd);

    // The names of the folders in the folder dir, but for hidden ones and links, in the order
    // QDir lists them by default: by name, without regard to case.
    static QStringList folderNames(int dir);

private:
    int m_store = -1;
    int m_mountId = -1;
};

#endif // KIV_RECOVERY_SNAPSHOTSTORE_H

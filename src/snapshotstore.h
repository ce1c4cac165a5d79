// A backup device's snapshot store, read through the device's own filesystem only.
#ifndef KIV_RECOVERY_SNAPSHOTSTORE_H
#define KIV_RECOVERY_SNAPSHOTSTORE_H

#include <QByteArray>
#include <QList>

#include "mounttable.h"

// A backup device is removable media that anyone may have written: a symbolic link on it is
// followed only where it stays beneath the mount point, and no mount below the mount point is
// entered, so nothing it holds can lead the tool to a file elsewhere, nor to a network share or
// FUSE filesystem that never answers. What a device may cost is bounded: time and memory do not
// grow with what it holds.
class SnapshotStore
{
public:
    // A store of real snapshots holds a few hundred folders, and a boot menu could not offer
    // more than a few; past this many the listing would only cost time and memory. The first in
    // the listing's order are considered.
    static const int MaxSnapshotFolders = 65536;
    // A description is a few hundred bytes, and each is read whole and parsed: this many bytes of
    // descriptions are far above any real store, yet read in well under a second. Once they are
    // spent, the rest of the device's snapshots are left unread.
    static const qint64 MaxDescriptionBytes = 64 * 1024 * 1024;

    SnapshotStore() = default;
    ~SnapshotStore();
    SnapshotStore(const SnapshotStore &) = delete;
    SnapshotStore &operator=(const SnapshotStore &) = delete;

    // Opens the store of the mount, when its mount point shows that mount (nothing is mounted on
    // top), it has a size and it holds the snapshot folder.
    bool open(const MountTable::Mount &mount);

    // The names of the first MaxSnapshotFolders snapshot folders, as the device stores them, in
    // the order of folderNames(); unlisted counts the folders past them.
    QList<QByteArray> snapshotNames(int &unlisted) const;

    // The description of the snapshot name, as a text-mode read gives it, or false for anything
    // but a regular file of at most 1 MiB, and for every snapshot once the description bytes of
    // the device are spent.
    bool readDescription(const QByteArray &name, QByteArray &bytes);
    // Whether a description did not fit in what was left of MaxDescriptionBytes.
    bool descriptionBytesSpent() const { return m_spent; }

    // The steps a store is read by, public so that the unit tests reach each of them directly.

    // openat2 of path below the folder dir with flags, resolved on dir's mount: a symbolic link
    // is followed where it stays beneath dir, no mount point is crossed and no magic link of
    // /proc taken. -1 with errno set where it fails.
    static int openat2Beneath(int dir, const char *path, int flags);

    // Opens path below the folder dir as O_PATH one component at a time, as on kernels without
    // openat2, following no symbolic link at all: the whole path lies on the mount mountId,
    // which dir lies on.
    static int walkBeneath(int dir, QByteArray path, int mountId);

    // The ID of the mount an open file lies on, or -1 when it cannot be told.
    static int mountIdOf(int fd);

    // The names of the folders in the folder dir, but for hidden ones, links and names that are
    // no valid text in the locale's encoding, as QDir lists them by default: by name, without
    // regard to case, decoded as part of their path (a leading byte order mark stays). Of the
    // first limit of them in that order; unlisted counts the rest.
    static QList<QByteArray> folderNames(int dir, int limit, int &unlisted);

private:
    int m_top = -1;
    int m_store = -1;
    int m_mountId = -1;
    // The mount lets no device node be opened.
    bool m_nodev = false;
    // openat2 is missing, or refused by a container's filter: paths are walked.
    bool m_walk = false;
    qint64 m_descriptionBytesLeft = MaxDescriptionBytes;
    bool m_spent = false;
    // The snapshot folder's path below the mount point, of m_storePathLength bytes, then that of
    // the description read last: one buffer for all, which with procPath() saves 9% of the
    // instructions of 2 x 500 snapshots.
    QByteArray m_path;
    int m_storePathLength = 0;
};

#endif // KIV_RECOVERY_SNAPSHOTSTORE_H

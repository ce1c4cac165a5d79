// The bootlist action: the backup devices, the running kernel, the programs it runs and the walk
// over the snapshots, written as the boot list document.
#ifndef KIV_RECOVERY_BOOTVERSIONMGR_H
#define KIV_RECOVERY_BOOTVERSIONMGR_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

#include "bootversion.h"
#include "mounttable.h"

class SnapshotStore;

// The "bootlist" action: finds the backup devices, walks their snapshots and renders the list.
// It has no state; every call probes the system anew.
class BootVersionMgr
{
public:
    BootVersionMgr() = default;
    ~BootVersionMgr() = default;

    // Writes the boot list document and a newline to out as its entries are found, so that the
    // run holds one entry at a time; false, with errno set, when out could not be written.
    // systemMountTable is the mount table as the system showed it before the run made a mount
    // namespace of its own.
    bool getBootList(std::FILE *out, const QByteArray &systemMountTable);
    // Takes the document's text a piece at a time, an entry or a comma; answers false when it
    // could not, ending the walk.
    using DocumentWriter = std::function<bool(const QByteArray &text)>;
    // mounts is the mount table, read once for the run.
    bool getBootVersionList(const QStringList &uuidList, const QList<MountTable::Mount> &mounts,
                            const DocumentWriter &write);

    bool spawnCmd(const QString &program, const QStringList &args, QString &out, QString &err);

    void getBootKernelAndInitrd(QString &kernel, QString &initrd);
    bool isExistBootPartition(const QString &fstabPath);

    // root is the mount at "/" in the mount table.
    void getRecoveryBackupUUIDList(QStringList &uuidList, const MountTable::Mount &root);
    // Under its published name: whether this is the running system, whose configuration lies
    // under "/", rather than a rescue system, which keeps it under "/root/".
    bool isRootMounted(const MountTable::Mount &root);

    // Under its published name, which once answered a mount point: opens the snapshot store of
    // the filesystem uuid, of the devices lsblk lists for it and their mounts in the table the
    // first that holds one. False only when lsblk fails.
    bool getMountPointByUUID(const QString &uuid, const QList<MountTable::Mount> &mounts,
                             SnapshotStore &store);
};

#endif // KIV_RECOVERY_BOOTVERSIONMGR_H

#ifndef KIV_RECOVERY_BOOTVERSIONMGR_H
#define KIV_RECOVERY_BOOTVERSIONMGR_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include "bootlisttext.h"

// One bootable snapshot as the boot menu generator sees it.
class BootVersion
{
public:
    QString version;
    QString kernel;
    QString initrd;
    QString scheme;
    QString display;
    QString uuid;

    QJsonObject marshal();
    void unmarshal(const QJsonObject &obj);
};

// The "bootlist" action: finds the backup devices, walks their snapshots and renders the list.
// It has no state; every call probes the system anew.
class BootVersionMgr
{
public:
    BootVersionMgr() = default;
    ~BootVersionMgr() = default;

    QString getBootList();
    void getBootVersionList(const QStringList &uuidList, QList<BootVersion> &list);

    QString versionList2Json(const QList<BootVersion> &list);
    QJsonObject QStringToJson(const QString &text);

    bool spawnCmd(const QString &program, const QStringList &args, QString &out, QString &err);

    void getBootKernelAndInitrd(QString &kernel, QString &initrd);
    bool isExistBootPartition(const QString &fstabPath);

    void getRecoveryBackupUUIDList(QStringList &uuidList);
    bool isRootMounted();

    bool getMountPointByUUID(const QString &uuid, QString &mountPoint);

private:
    // The lookup above in a mount table read beforehand, so that a run over many devices reads
    // the table once.
    bool getMountPointByUUID(const QString &uuid, const QList<BootListText::Mount> &mounts,
                             QString &mountPoint);
};

#endif // KIV_RECOVERY_BOOTVERSIONMGR_H

#include "bootversionmgr.h"
#include "casetable.h"

using namespace BootListText;

class TestBootListText : public QObject
{
    Q_OBJECT

private slots:
    void separateBoot_data() { addCaseRows(QStringLiteral("separate_boot")); }
    void separateBoot()
    {
        QFETCH(QJsonObject, row);
        QCOMPARE(hasSeparateBoot(row[QStringLiteral("fstab")].toString().toUtf8()),
                 row[QStringLiteral("separate")].toBool());
    }

    void rootCheck_data() { addCaseRows(QStringLiteral("root_check")); }
    void rootCheck()
    {
        QFETCH(QJsonObject, row);
        const QString uuid = rootUuid(row[QStringLiteral("lsblk")].toString());
        QCOMPARE(uuid, row[QStringLiteral("uuid")].toString());
        const QString device =
            rootDevice(mountTable(row[QStringLiteral("mountinfo")].toString().toUtf8()));
        const QJsonObject links = row[QStringLiteral("links")].toObject();
        const auto resolve = [&links](const QString &path) { return links[path].toString(path); };
        QCOMPARE(!uuid.isEmpty() && rootEntryIsRoot(row[QStringLiteral("fstab")].toString(), uuid,
                                                    device, resolve),
                 row[QStringLiteral("root")].toBool());
    }

    void mountTableParse_data() { addCaseRows(QStringLiteral("mount_table")); }
    void mountTableParse()
    {
        QFETCH(QJsonObject, row);
        QStringList mounts;
        for (const Mount &mount : mountTable(row[QStringLiteral("mountinfo")].toString().toUtf8()))
            mounts << mount.device << mount.mountPoint;
        QCOMPARE(mounts, strings(row[QStringLiteral("mounts")]));
    }

    void devicePathLookup_data() { addCaseRows(QStringLiteral("device_path")); }
    void devicePathLookup()
    {
        QFETCH(QJsonObject, row);
        QCOMPARE(devicePath(row[QStringLiteral("listing")].toString(),
                            row[QStringLiteral("uuid")].toString()),
                 row[QStringLiteral("path")].toString());
    }

    void snapshotAdmission_data() { addCaseRows(QStringLiteral("snapshots")); }
    void snapshotAdmission()
    {
        QFETCH(QJsonObject, row);
        BootVersion entry;
        entry.version = QStringLiteral("stale"); // what an earlier snapshot left behind
        const bool admitted = admitSnapshot(row[QStringLiteral("description")].toString(), entry);
        QCOMPARE(admitted, row[QStringLiteral("admitted")].toBool());
        if (admitted)
            QCOMPARE(QStringList({entry.version, entry.display, entry.uuid}),
                     strings(row[QStringLiteral("fields")]));
    }

    void document_data() { addCaseRows(QStringLiteral("documents")); }
    void document()
    {
        QFETCH(QJsonObject, row);
        QList<BootVersion> list;
        for (const QJsonValue &record : row[QStringLiteral("records")].toArray()) {
            const QStringList f = strings(record);
            BootVersion version{f[0], f[1], f[2], f[3], f[4], f[5]};
            BootVersion decoded;
            decoded.unmarshal(version.marshal());
            QCOMPARE(decoded.marshal(), version.marshal());
            list.append(version);
        }
        QCOMPARE(BootVersionMgr().versionList2Json(list), row[QStringLiteral("json")].toString());
    }

    void backupUuidList_data() { addCaseRows(QStringLiteral("backup_uuids")); }
    void backupUuidList()
    {
        QFETCH(QJsonObject, row);
        QTemporaryDir dir;
        QCOMPARE(backupUuids(iniFile(dir, row)), strings(row[QStringLiteral("uuids")]));
    }

    void spawn_data() { addCaseRows(QStringLiteral("spawn")); }
    void spawn()
    {
        QFETCH(QJsonObject, row);
        QString out = QStringLiteral("pre:"); // output is appended to what the caller holds
        QString err;
        QCOMPARE(BootVersionMgr().spawnCmd(row[QStringLiteral("program")].toString(),
                                           strings(row[QStringLiteral("args")]), out, err),
                 row[QStringLiteral("ok")].toBool());
        QCOMPARE(out, row[QStringLiteral("out")].toString());
        QCOMPARE(err, row[QStringLiteral("err")].toString());
    }
};

QTEST_GUILESS_MAIN(TestBootListText)
#include "tst_bootlisttext.moc"

#include "bootlisttext.h"
#include "bootversionmgr.h"
#include "landlock.h"
#include "mounttable.h"
#include "rollbacknotify.h"
#include "snapshotstore.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace BootListText;
using namespace MountTable;
using namespace BootVersionJson;

namespace {

// The row's "ini" as a file in dir; a null "ini" leaves no file there.
QString iniFile(const QTemporaryDir &dir, const QJsonObject &row)
{
    QFile file(dir.filePath("kiv-recovery.ini"));
    if (!row["ini"].isNull() && file.open(QIODevice::WriteOnly))
        file.write(row["ini"].toString().toUtf8());
    return file.fileName();
}

// What the rows of the table tests/cases/TABLE.json feed to the tool, answered as the JSON value
// that a row's "expect" holds.
QJsonValue check(const QString &table, const QJsonObject &row)
{
    const auto text = [&row](const char *key) { return row[QLatin1String(key)].toString(); };
    QTemporaryDir dir;
    if (table == "separate_boot")
        return hasSeparateBoot(text("fstab").toUtf8());
    if (table == "device_path")
        return QJsonArray::fromStringList(devicePaths(text("listing"), text("uuid")));
    if (table == "backup_uuids")
        return QJsonArray::fromStringList(backupUuids(iniFile(dir, row)));
    if (table == "root_check") {
        const QString uuid = rootUuid(text("lsblk"));
        const Mount root = rootMount(storageMounts(parse(text("mountinfo").toUtf8())));
        const auto probe = [&row](const QString &path) { // the links and nodes a row's system has
            return DeviceNode{row["links"][path].toString(path), row["nodes"][path].toString()};
        };
        return QJsonArray{uuid,
                          !uuid.isEmpty() && rootEntryIsRoot(text("fstab"), uuid, root, probe)};
    }
    if (table == "mount_table") {
        QList<Mount> mounts = parse(text("mountinfo").toUtf8());
        if (row.contains("system")) // a namespace's table in the order of the system's
            mounts = inOrderOf(mounts, parse(text("system").toUtf8()));
        mounts = storageMounts(mounts);
        if (row.contains("devices")) // the mounts in the order a device's store is looked for
            mounts = deviceMounts(mounts, row["devices"].toVariant().toStringList());
        QJsonArray found;
        for (const Mount &mount : mounts)
            found << mount.device << mount.mountPoint;
        return found;
    }
    if (table == "mount_points") { // what a read-only remount names of every mount
        QJsonArray points;
        for (const Mount &point : parse(text("mountinfo").toUtf8()))
            points << QString::fromUtf8(point.path) << double(point.flags);
        return points;
    }
    if (table == "snapshots") {
        BootVersion entry;
        entry.version = "stale"; // what an earlier snapshot left behind
        if (!admitSnapshot(text("description").toUtf8(), entry))
            return false;
        return QJsonArray{entry.version, entry.display, entry.uuid};
    }
    if (table == "documents") {
        QList<BootVersion> list; // each record after a round trip through its JSON object
        for (const QJsonValue &record : row["records"].toArray()) {
            const QStringList f = record.toVariant().toStringList();
            list.append(BootVersion());
            list.last().unmarshal(BootVersion{f[0], f[1], f[2], f[3], f[4], f[5]}.marshal());
        }
        return BootVersionMgr().versionList2Json(list);
    }
    if (table == "spawn") {
        QString out = "pre:"; // output is appended to what the caller holds
        QString err;
        const bool ok = BootVersionMgr().spawnCmd(text("program"),
                                                  row["args"].toVariant().toStringList(), out, err);
        return QJsonArray{ok, out, err};
    }
    QString folder = KIV_CASES_DIR "/../fixtures/bootlist/cases/" + text("folder");
    QList<QByteArray> made;
    if (row.contains("names")) { // folders of these names, their bytes percent-encoded
        folder = dir.path();
        for (const QJsonValue &name : row["names"].toArray())
            made.append(QFile::encodeName(folder) + '/' +
                        QByteArray::fromPercentEncoding(name.toString().toLatin1()));
    }
    for (const QByteArray &path : made)
        ::mkdir(path, S_IRWXU);
    // QDir cannot remove what it cannot list.
    const auto removeMade = qScopeGuard([&made] {
        for (const QByteArray &path : made)
            ::rmdir(path);
    });
    const int fixture = ::open(QFile::encodeName(folder), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto closeFixture = qScopeGuard([fixture] { ::close(fixture); });
    if (table == "listing") { // the first names of QDir's listing, and how many are past them
        const int limit = row["limit"].toInt(SnapshotStore::MaxSnapshotFolders);
        int unlisted = 0;
        const QList<QByteArray> names = SnapshotStore::folderNames(fixture, limit, unlisted);
        QList<QByteArray> listed;
        const auto filters = QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot;
        for (const QString &name : QDir(folder).entryList(filters))
            listed.append(QFile::encodeName(name));
        return QJsonArray{names == listed.mid(0, limit) && !names.isEmpty(), unlisted};
    }
    if (table == "beneath") { // each path opened both ways: by openat2 and one part at a time
        const QByteArray path = text("path").toUtf8();
        const int opened = SnapshotStore::openat2Beneath(fixture, path, O_PATH);
        const int walked =
            SnapshotStore::walkBeneath(fixture, path, SnapshotStore::mountIdOf(fixture));
        ::close(opened);
        ::close(walked);
        return QJsonArray{opened >= 0, walked >= 0};
    }
    if (table == "sandbox_rights")
        return double(Landlock::handledRights(row["abi"].toInt()));
    if (table == "rollback_info") {
        const RollbackInfo info = RollbackNotify().getRollbackInfo(iniFile(dir, row));
        return QJsonArray{QString::number(info.status), info.rollbackVersion,
                          info.rollbackBeforeVersion};
    }
    return "a table without a check";
}

} // namespace

class TestParsers : public QObject
{
    Q_OBJECT

private slots:
    void rows_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QJsonObject>("row");
        for (const QFileInfo &tableFile : QDir(KIV_CASES_DIR).entryInfoList({"*.json"})) {
            const QString table = tableFile.baseName();
            QFile file(tableFile.filePath());
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            for (const QJsonValue &row : QJsonDocument::fromJson(file.readAll()).array())
                QTest::newRow(qPrintable(table + ": " + row["name"].toString()))
                    << table << row.toObject();
        }
    }

    void rows()
    {
        QFETCH(QString, table);
        QFETCH(QJsonObject, row);
        // Compared as JSON text, so that a failure shows both values.
        const auto json = [](const QJsonValue &v) { return QJsonDocument(QJsonArray{v}).toJson(); };
        QCOMPARE(json(check(table, row)), json(row["expect"]));
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"

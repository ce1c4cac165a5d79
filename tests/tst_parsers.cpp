#include "bootlisttext.h"
#include "bootversionmgr.h"
#include "landlock.h"
#include "mounttable.h"
#include "rollbacknotify.h"
#include "snapshotstore.h"
#include "syscallfilter.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace BootListText;
using namespace MountTable;

namespace {

// The rows of the table tests/cases/TABLE.json, each an object named by its "name".
QJsonArray rows(const char *table)
{
    QFile file(QStringLiteral(KIV_CASES_DIR "/%1.json").arg(QLatin1String(table)));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return QJsonDocument::fromJson(file.readAll()).array();
}

// Adds the rows of a table: a column of each type, named by its key, and for every row the
// values of those keys (a null or missing one as the type's empty value).
template <typename... Types>
void addRows(const char *table, const std::array<const char *, sizeof...(Types)> &keys)
{
    size_t column = 0;
    (QTest::addColumn<Types>(keys[column++]), ...);
    for (const QJsonValue &row : rows(table)) {
        QTestData &data = QTest::newRow(qPrintable(row["name"].toString()));
        size_t key = 0;
        ((data << qvariant_cast<Types>(row[keys[key++]].toVariant())), ...);
    }
}

// The paths in dir of names whose bytes are percent-encoded.
QList<QByteArray> pathsIn(const QString &dir, const QStringList &names)
{
    QList<QByteArray> paths;
    for (const QString &name : names)
        paths << QFile::encodeName(dir) + '/' + QByteArray::fromPercentEncoding(name.toLatin1());
    return paths;
}

} // namespace

class TestParsers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;

    // The configuration file of a row, written where ini is not null. Each row's has a name of
    // its own: QSettings keeps what it read of a path while its size and time stay the same.
    QString iniFile(const QByteArray &ini)
    {
        QFile file(m_dir.filePath(QString::number(++m_files)));
        if (!ini.isNull() && file.open(QIODevice::WriteOnly))
            file.write(ini);
        return file.fileName();
    }

private slots:
    void separateBoot_data() { addRows<QByteArray, bool>("separate_boot", {"fstab", "separate"}); }
    void separateBoot()
    {
        QFETCH(QByteArray, fstab);
        QFETCH(bool, separate);
        QCOMPARE(hasSeparateBoot(fstab), separate);
    }

    void devicePaths_data()
    {
        addRows<QString, QString, QStringList>("device_path", {"listing", "uuid", "paths"});
    }
    void devicePaths()
    {
        QFETCH(QString, listing);
        QFETCH(QString, uuid);
        QFETCH(QStringList, paths);
        QCOMPARE(BootListText::devicePaths(listing, uuid), paths);
    }

    void backupUuids_data() { addRows<QByteArray, QStringList>("backup_uuids", {"ini", "uuids"}); }
    void backupUuids()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, uuids);
        QCOMPARE(BootListText::backupUuids(iniFile(ini)), uuids);
    }

    void rootUuid_data() { addRows<QString, QString>("root_uuid", {"lsblk", "uuid"}); }
    void rootUuid()
    {
        QFETCH(QString, lsblk);
        QFETCH(QString, uuid);
        QCOMPARE(BootListText::rootUuid(lsblk), uuid);
    }

    // The root's UUID is r-1; links and nodes are what the system says of the paths they name.
    void rootEntryIsRoot_data()
    {
        addRows<QString, QByteArray, QVariantMap, QVariantMap, bool>(
            "root_entry", {"fstab", "mountinfo", "links", "nodes", "root"});
    }
    void rootEntryIsRoot()
    {
        QFETCH(QString, fstab);
        QFETCH(QByteArray, mountinfo);
        QFETCH(QVariantMap, links);
        QFETCH(QVariantMap, nodes);
        QFETCH(bool, root);
        const auto probe = [&links, &nodes](const QString &path) {
            return DeviceNode{links.value(path, path).toString(), nodes.value(path).toString()};
        };
        const Mount mount = rootMount(storageMounts(parse(mountinfo)));
        QCOMPARE(BootListText::rootEntryIsRoot(fstab, "r-1", mount, probe), root);
    }

    // The mount table's parsers and filters, the sandbox's rights and the process runner, as
    // they are today: together, for they are being reshaped.
    void mountTable_data()
    {
        addRows<QByteArray, QByteArray, QStringList, QStringList>(
            "mount_table", {"mountinfo", "system", "devices", "mounts"});
    }
    // Each storage mount's device and mount point; with the system's table, in its order; with
    // devices, in the order a store is looked for.
    void mountTable()
    {
        QFETCH(QByteArray, mountinfo);
        QFETCH(QByteArray, system);
        QFETCH(QStringList, devices);
        QFETCH(QStringList, mounts);
        QList<Mount> table = parse(mountinfo);
        if (!system.isEmpty())
            table = inOrderOf(table, parse(system));
        table = storageMounts(table);
        if (!devices.isEmpty())
            table = deviceMounts(table, devices);
        QStringList found;
        for (const Mount &mount : table)
            found << mount.device << mount.mountPoint;
        QCOMPARE(found, mounts);
    }

    void mountPoints_data()
    {
        addRows<QByteArray, QStringList>("mount_points", {"mountinfo", "points"});
    }
    // Each mount point, then the options a read-only remount must keep, by their names.
    void mountPoints()
    {
        QFETCH(QByteArray, mountinfo);
        QFETCH(QStringList, points);
        const std::pair<unsigned long, QString> options[] = {{MS_NOSUID, "nosuid"},
                                                             {MS_NODEV, "nodev"},
                                                             {MS_NOEXEC, "noexec"},
                                                             {MS_NOSYMFOLLOW, "nosymfollow"}};
        QStringList found;
        for (const Mount &point : parse(mountinfo)) {
            QStringList kept;
            for (const auto &option : options) {
                if (point.flags & option.first)
                    kept << option.second;
            }
            found << QString::fromUtf8(point.path) << kept.join(',');
        }
        QCOMPARE(found, points);
    }

    void writeRights_data() { addRows<int, int>("write_rights", {"abi", "known"}); }
    // known: how many filesystem rights the Landlock ABI knows. A kernel rejects a ruleset that
    // names a newer one, and the newest it knows (refer in 2, truncate in 3, device ioctls in 5)
    // are handled.
    void writeRights()
    {
        QFETCH(int, abi);
        QFETCH(int, known);
        const unsigned long long rights = Landlock::handledRights(abi);
        const unsigned long long reading =
            LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
        QCOMPARE(rights >> (known - 1), 1ULL);
        QCOMPARE(rights & reading, 0ULL);
    }

    void spawn_data()
    {
        addRows<QString, QStringList, bool, QString, QString>(
            "spawn", {"program", "args", "ok", "out", "err"});
    }
    // Output is appended to what the caller holds.
    void spawn()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QString output = "pre:";
        QString error;
        QCOMPARE(BootVersionMgr().spawnCmd(program, args, output, error), ok);
        QCOMPARE(output, "pre:" + out);
        QCOMPARE(error, err);
    }

    // The tool's ABI first, then the others of its family, whose programs it may start.
    void filterFamilies_data()
    {
        QTest::addColumn<QStringList>("family");
        QTest::newRow("amd64 and i386") << QStringList{"x86_64", "x86"};
        QTest::newRow("i386 on an amd64 kernel") << QStringList{"x86", "x86_64"};
        QTest::newRow("arm64 and armhf") << QStringList{"aarch64", "arm"};
        QTest::newRow("armhf on an arm64 kernel") << QStringList{"arm", "aarch64"};
        QTest::newRow("mips64el, n32 and mipsel")
            << QStringList{"mipsel64", "mipsel64n32", "mipsel"};
        QTest::newRow("mipsel on a mips64el kernel") << QStringList{"mipsel", "mipsel64"};
        QTest::newRow("s390x and s390") << QStringList{"s390x", "s390"};
        QTest::newRow("ppc64el") << QStringList{"ppc64le"};
        QTest::newRow("riscv64") << QStringList{"riscv64"};
    }
    // The filter, built but not loaded, refuses a call of each group in each ABI of the family.
    void filterFamilies()
    {
        QFETCH(QStringList, family);
        const char *const calls[] = {"chmod",
                                     "reboot",
                                     "mount",
                                     "io_uring_setup",
                                     "ptrace",
                                     "keyctl",
                                     "open_by_handle_at",
                                     "socket",
                                     "kill",
                                     "prlimit64",
                                     "ioctl"};
        const uint32_t tool = seccomp_arch_resolve_name(qPrintable(family.first()));
        const scmp_filter_ctx filter = SyscallFilter::build(SyscallFilter::Plan(), tool);
        QTemporaryFile exported;
        QVERIFY(filter && exported.open() && seccomp_export_pfc(filter, exported.handle()) == 0);
        seccomp_release(filter);
        exported.seek(0);
        const QByteArray pfc = exported.readAll();
        for (const QString &abi : family) {
            const uint32_t token = seccomp_arch_resolve_name(qPrintable(abi));
            const QByteArray heading = "# filter for arch " + abi.toLatin1() + " (";
            const int start = pfc.indexOf(heading + QByteArray::number(token) + ")");
            QVERIFY2(start >= 0, qPrintable(abi));
            const QByteArray part =
                pfc.mid(start, pfc.indexOf("# filter for arch", start + 1) - start);
            for (const char *call : calls) {
                const int number = seccomp_syscall_resolve_name_arch(token, call);
                const QByteArray test = "if ($syscall == " + QByteArray::number(number) + ")";
                QVERIFY2(number < 0 || part.contains(test), qPrintable(abi + ": " + call));
            }
        }
    }

    void admitSnapshot_data()
    {
        addRows<QByteArray, QStringList>("snapshots", {"description", "fields"});
    }
    // fields: version, display and uuid of a bootable snapshot, none for another.
    void admitSnapshot()
    {
        QFETCH(QByteArray, description);
        QFETCH(QStringList, fields);
        BootVersion entry;
        entry.version = "stale"; // what an earlier snapshot left behind
        const bool admitted = BootVersionJson::admitSnapshot(description, entry);
        QCOMPARE(admitted, !fields.isEmpty());
        if (admitted)
            QCOMPARE(QStringList({entry.version, entry.display, entry.uuid}), fields);
    }

    void entry_data() { addRows<QStringList, QByteArray>("entries", {"record", "entry"}); }
    // The entry the boot list writes for a record of version, kernel, initrd, scheme, display
    // and uuid.
    void entry()
    {
        QFETCH(QStringList, record);
        QFETCH(QByteArray, entry);
        const BootVersion version{record[0], record[1], record[2], record[3], record[4], record[5]};
        QCOMPARE(version.toJson(), entry);
    }

    // A folder "a" holds a file "file"; where a row names a target, a link "link" points there.
    void beneath_data()
    {
        addRows<QByteArray, QByteArray, bool, bool>("beneath",
                                                    {"target", "path", "opened", "walked"});
    }
    // Each path opened both ways: by openat2, which follows a link that stays beneath, and one
    // component at a time, as without openat2, which follows none. Where a kernel or a container
    // refuses openat2, the tool walks: only the walk is judged there.
    void beneath()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, path);
        QFETCH(bool, opened);
        QFETCH(bool, walked);
        QTemporaryDir dir;
        const QByteArray top = QFile::encodeName(dir.path());
        QVERIFY(::mkdir(top + "/a", S_IRWXU) == 0);
        QVERIFY(QFile(dir.filePath("a/file")).open(QIODevice::WriteOnly));
        if (!target.isNull())
            QVERIFY(::symlink(target, top + "/link") == 0);
        const int fixture = ::open(top, O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int byOpenat2 = SnapshotStore::openat2Beneath(fixture, path, O_PATH);
        const bool refused = byOpenat2 < 0 && (errno == ENOSYS || errno == EPERM);
        const int byWalk =
            SnapshotStore::walkBeneath(fixture, path, SnapshotStore::mountIdOf(fixture));
        ::close(byOpenat2);
        ::close(byWalk);
        ::close(fixture);
        if (!refused)
            QCOMPARE(byOpenat2 >= 0, opened);
        QCOMPARE(byWalk >= 0, walked);
    }

    void listing_data()
    {
        addRows<QStringList, QStringList, int, int>("listing",
                                                    {"folders", "links", "limit", "unlisted"});
    }
    // The first names of QDir's listing of folders (their bytes percent-encoded), beside links,
    // and how many are past them.
    void listing()
    {
        QFETCH(QStringList, folders);
        QFETCH(QStringList, links);
        QFETCH(int, limit);
        QFETCH(int, unlisted);
        QTemporaryDir dir;
        const QList<QByteArray> made = pathsIn(dir.path(), folders);
        const QList<QByteArray> linked = pathsIn(dir.path(), links);
        // QDir cannot remove what it cannot list.
        const auto remove = qScopeGuard([&made, &linked] {
            for (const QByteArray &path : linked)
                ::unlink(path);
            for (const QByteArray &path : made)
                ::rmdir(path);
        });
        for (const QByteArray &path : made)
            QVERIFY(::mkdir(path, S_IRWXU) == 0);
        for (const QByteArray &path : linked)
            QVERIFY(::symlink(made.first(), path) == 0);
        QList<QByteArray> listed;
        const auto filters = QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot;
        for (const QString &name : QDir(dir.path()).entryList(filters))
            listed.append(QFile::encodeName(name));
        const int fixture = ::open(QFile::encodeName(dir.path()), O_PATH | O_DIRECTORY);
        int past = -1;
        const QList<QByteArray> names = SnapshotStore::folderNames(fixture, limit, past);
        ::close(fixture);
        QVERIFY(!names.isEmpty());
        QCOMPARE(names, listed.mid(0, limit));
        QCOMPARE(past, unlisted);
    }

    void rollbackInfo_data() { addRows<QByteArray, QStringList>("rollback_info", {"ini", "info"}); }
    // info: the status, the version rolled back to, the version before.
    void rollbackInfo()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, info);
        const RollbackInfo found = RollbackNotify().getRollbackInfo(iniFile(ini));
        const QStringList fields{QString::number(found.status), found.rollbackVersion,
                                 found.rollbackBeforeVersion};
        QCOMPARE(fields, info);
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"

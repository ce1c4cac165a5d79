#include "bootlisttext.h"
#include "bootversionmgr.h"
#include "descriptor.h"
#include "mounttable.h"
#include "namespaces.h"
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
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace BootListText;
using namespace MountTable;

namespace {

// Adds the rows of tests/cases/TEST.json, TEST being the test whose data is asked for: a column
// of each type, named by its key, and for every row, named by its "name", the values of those
// keys (a null or missing one as the type's empty value).
template <typename... Types> void addRows(const std::array<const char *, sizeof...(Types)> &keys)
{
    QFile file(KIV_CASES_DIR "/" + QLatin1String(QTest::currentTestFunction()) + ".json");
    QVERIFY(file.open(QIODevice::ReadOnly));
    size_t column = 0;
    (QTest::addColumn<Types>(keys[column++]), ...);
    for (const QJsonValue &row : QJsonDocument::fromJson(file.readAll()).array()) {
        QTestData &data = QTest::newRow(qPrintable(row["name"].toString()));
        size_t key = 0;
        ((data << qvariant_cast<Types>(row[keys[key++]].toVariant())), ...);
    }
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
    void separateBoot_data() { addRows<QByteArray, bool>({"fstab", "separate"}); }
    void separateBoot()
    {
        QFETCH(QByteArray, fstab);
        QTEST(hasSeparateBoot(fstab), "separate");
    }

    void devicePaths_data()
    {
        addRows<QString, QString, QStringList>({"listing", "uuid", "paths"});
    }
    void devicePaths()
    {
        QFETCH(QString, listing);
        QFETCH(QString, uuid);
        QTEST(BootListText::devicePaths(listing, uuid), "paths");
    }

    void backupUuids_data() { addRows<QByteArray, QStringList>({"ini", "uuids"}); }
    void backupUuids()
    {
        QFETCH(QByteArray, ini);
        QTEST(BootListText::backupUuids(iniFile(ini)), "uuids");
    }

    void rootUuid_data() { addRows<QString, QString>({"lsblk", "uuid"}); }
    void rootUuid()
    {
        QFETCH(QString, lsblk);
        QTEST(BootListText::rootUuid(lsblk), "uuid");
    }

    // The root's UUID is r-1; links and nodes are what the system says of the paths they name.
    void rootEntryIsRoot_data()
    {
        addRows<QString, QByteArray, QVariantMap, QVariantMap, bool>(
            {"fstab", "mountinfo", "links", "nodes", "root"});
    }
    void rootEntryIsRoot()
    {
        QFETCH(QString, fstab);
        QFETCH(QByteArray, mountinfo);
        QFETCH(QVariantMap, links);
        QFETCH(QVariantMap, nodes);
        const auto probe = [&links, &nodes](const QString &path) {
            return DeviceNode{links.value(path, path).toString(), nodes.value(path).toString()};
        };
        const Mount mount = rootMount(storageMounts(parse(mountinfo)));
        QTEST(BootListText::rootEntryIsRoot(fstab, "r-1", mount, probe), "root");
    }

    void mountTable_data()
    {
        addRows<QByteArray, QByteArray, QStringList, QStringList>(
            {"mountinfo", "system", "devices", "mounts"});
    }
    // Each storage mount's device and mount point; with the system's table, in its order; with
    // devices, in the order a store is looked for.
    void mountTable()
    {
        QFETCH(QByteArray, mountinfo);
        QFETCH(QByteArray, system);
        QFETCH(QStringList, devices);
        QList<Mount> table = parse(mountinfo);
        if (!system.isEmpty())
            table = inOrderOf(table, parse(system));
        table = storageMounts(table);
        if (!devices.isEmpty())
            table = deviceMounts(table, devices);
        QStringList found;
        for (const Mount &mount : table)
            found << mount.device << mount.mountPoint;
        QTEST(found, "mounts");
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

    // A wait status of the child and a signal it reported: the signal the parent ends by, or its
    // exit status.
    void relayedEnd_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("reported");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exit");
        QTest::newRow("an exit status") << W_EXITCODE(3, 0) << 0 << 0 << 3;
        QTest::newRow("killed by a signal") << W_EXITCODE(0, SIGKILL) << 0 << SIGKILL << 1;
        QTest::newRow("abort() reported") << W_EXITCODE(134, 0) << SIGABRT << SIGABRT << 134;
    }
    void relayedEnd()
    {
        QFETCH(int, status);
        QFETCH(int, reported);
        const Namespaces::End end = Namespaces::endOf(true, status, reported);
        QTEST(end.signal, "signal");
        QTEST(end.status, "exit");
        QCOMPARE(Namespaces::endOf(false, status, 0).status, 1);
    }

    void spawn_data()
    {
        addRows<QString, QStringList, bool, QString, QString>(
            {"program", "args", "ok", "out", "err"});
    }
    // Output is appended to what the caller holds.
    void spawn()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QString, out);
        QString output = "pre:";
        QString error;
        QTEST(BootVersionMgr().spawnCmd(program, args, output, error), "ok");
        QCOMPARE(output, "pre:" + out);
        QTEST(error, "err");
    }

    void entry_data() { addRows<QByteArray, QByteArray>({"description", "entry"}); }
    // What the boot list writes for a snapshot description, nothing where it is not bootable.
    // The record holds what an earlier snapshot left, and kernel, initrd and scheme to escape.
    void entry()
    {
        QFETCH(QByteArray, description);
        BootVersion record{"stale", "k\n", "i\t", "s/", "stale", "stale"};
        QByteArray written;
        if (BootVersionJson::admitSnapshot(description, record))
            written = record.toJson();
        QTEST(written, "entry");
    }

    // A folder "a" holds a file "file"; where a row names a target, a link "link" points there.
    void beneath_data()
    {
        addRows<QByteArray, QByteArray, bool, bool>({"target", "path", "opened", "walked"});
    }
    // Each path opened both ways: by openat2, which follows a link that stays beneath, and one
    // component at a time, as without openat2, which follows none. Where a kernel or a container
    // refuses openat2, the tool walks: only the walk is judged there.
    void beneath()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, path);
        QTemporaryDir dir;
        const QByteArray top = QFile::encodeName(dir.path());
        QVERIFY(::mkdir(top + "/a", S_IRWXU) == 0);
        QVERIFY(QFile(dir.filePath("a/file")).open(QIODevice::WriteOnly));
        if (!target.isNull())
            QVERIFY(::symlink(target, top + "/link") == 0);
        const Descriptor fixture(::open(top, O_PATH | O_DIRECTORY));
        const Descriptor byOpenat2(SnapshotStore::openat2Beneath(fixture.get(), path, O_PATH));
        const bool refused = byOpenat2.get() < 0 && (errno == ENOSYS || errno == EPERM);
        const int mountId = SnapshotStore::mountIdOf(fixture.get());
        const Descriptor byWalk(SnapshotStore::walkBeneath(fixture.get(), path, mountId));
        if (!refused)
            QTEST(byOpenat2.get() >= 0, "opened");
        QTEST(byWalk.get() >= 0, "walked");
    }

    void listing_data() { addRows<QStringList, int, int>({"folders", "limit", "unlisted"}); }
    // Folders named by a row's percent-encoded bytes: the first names of QDir's listing of them,
    // and how many are past those.
    void listing()
    {
        QFETCH(QStringList, folders);
        QFETCH(int, limit);
        QTemporaryDir dir;
        QList<QByteArray> made;
        // QDir cannot remove what it cannot list.
        const auto remove = qScopeGuard([&made] {
            for (const QByteArray &path : made)
                ::rmdir(path);
        });
        for (const QString &folder : folders) {
            const QByteArray name = QByteArray::fromPercentEncoding(folder.toLatin1());
            made << QFile::encodeName(dir.path()) + '/' + name;
            QVERIFY(::mkdir(made.last(), S_IRWXU) == 0);
        }
        QList<QByteArray> listed;
        for (const QString &name : QDir(dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            listed << QFile::encodeName(name);
        const Descriptor fixture(::open(QFile::encodeName(dir.path()), O_PATH | O_DIRECTORY));
        int past = -1;
        const QList<QByteArray> names = SnapshotStore::folderNames(fixture.get(), limit, past);
        QCOMPARE(names, listed.mid(0, limit));
        QTEST(past, "unlisted");
    }

    void rollbackInfo_data() { addRows<QByteArray, QStringList>({"ini", "info"}); }
    // info: the status, the version rolled back to, the version before.
    void rollbackInfo()
    {
        QFETCH(QByteArray, ini);
        const RollbackInfo found = RollbackNotify().getRollbackInfo(iniFile(ini));
        const QStringList fields{QString::number(found.status), found.rollbackVersion,
                                 found.rollbackBeforeVersion};
        QTEST(fields, "info");
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"

#include "bootversionmgr.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace BootListText;

class TestBootListText : public QObject
{
    Q_OBJECT

private slots:
    void separateBoot_data();
    void separateBoot();
    void rootCheck_data();
    void rootCheck();
    void devicePathLookup_data();
    void devicePathLookup();
    void snapshotAdmission_data();
    void snapshotAdmission();
    void document_data();
    void document();
    void backupUuidList_data();
    void backupUuidList();
    void spawn_data();
    void spawn();
};

void TestBootListText::separateBoot_data()
{
    QTest::addColumn<QByteArray>("fstab");
    QTest::addColumn<bool>("separate");
    const QByteArray root = "UUID=r / ext4 defaults 0 1\n";
    QTest::newRow("six fields, spaces") << root + "UUID=b /boot ext4 defaults 0 2\n" << true;
    QTest::newRow("six fields, tabs, indented")
        << QByteArray("  UUID=b\t/boot\text4\td\t0\t2") << true;
    QTest::newRow("five fields") << QByteArray("UUID=b /boot ext4 defaults 0") << true;
    QTest::newRow("four fields") << QByteArray("UUID=b /boot ext4 defaults") << true;
    QTest::newRow("three fields") << QByteArray("UUID=b /boot ext4") << false;
    QTest::newRow("seven fields") << QByteArray("UUID=b /boot ext4 defaults 0 2 x") << false;
    QTest::newRow("trailing comment") << QByteArray("UUID=b /boot ext4 defaults 0 2 # b") << false;
    QTest::newRow("device path") << QByteArray("/dev/sda1 /boot ext4 defaults 0 2") << false;
    QTest::newRow("commented") << QByteArray("#UUID=b /boot ext4 defaults 0 2") << false;
    QTest::newRow("lower-case tag") << QByteArray("uuid=b /boot ext4 defaults 0 2") << false;
    QTest::newRow("trailing slash") << QByteArray("UUID=b /boot/ ext4 defaults 0 2") << false;
    QTest::newRow("below /boot") << QByteArray("UUID=b /boot/efi vfat umask=0077 0 1") << false;
    QTest::newRow("CR line ends") << QByteArray("UUID=b /boot ext4 defaults 0 2\r\n") << true;
    QTest::newRow("NUL ends the line") << QByteArray("UUID=b /boot ext4 d 0 2\0 x y", 30) << true;
    QTest::newRow("root only") << root << false;
}

void TestBootListText::separateBoot()
{
    QFETCH(QByteArray, fstab);
    QFETCH(bool, separate);
    QCOMPARE(hasSeparateBoot(fstab), separate);
}

void TestBootListText::rootCheck_data()
{
    QTest::addColumn<QString>("lsblk");
    QTest::addColumn<QString>("fstab");
    QTest::addColumn<QString>("uuid"); // the root UUID found in the listing
    QTest::addColumn<bool>("root");
    const QString lsblk = QStringLiteral("MOUNTPOINT UUID\n           aaa\n/boot      bbb\n"
                                         "/          r-1\n[SWAP]     ccc\n");
    QTest::newRow("tab separated") << lsblk << "UUID=r-1\t/\text4\tdefaults\t0\t1\n"
                                   << "r-1" << true;
    QTest::newRow("space separated") << lsblk << "UUID=r-1  /  ext4 defaults 0 1"
                                     << "r-1" << true;
    QTest::newRow("spaces around the slash") << lsblk << "UUID=r-1\t / \text4\tdefaults\t0\t1"
                                             << "r-1" << true;
    QTest::newRow("comment first") << lsblk << "# UUID=r-1 /mnt\nUUID=r-1 / ext4"
                                   << "r-1" << true;
    QTest::newRow("first entry decides") << lsblk << "UUID=r-1 /mnt ext4\nUUID=r-1 / ext4"
                                         << "r-1" << false;
    QTest::newRow("device path holds it") << lsblk << "/dev/disk/by-uuid/r-1 / ext4"
                                          << "r-1" << true;
    QTest::newRow("device alone") << lsblk << "UUID=r-1\n"
                                  << "r-1" << false;
    QTest::newRow("not in fstab") << lsblk << "UUID=other / ext4"
                                  << "r-1" << false;
    QTest::newRow("root without UUID") << "MOUNTPOINT UUID\n/\n/boot bbb\n"
                                       << "UUID=x / e"
                                       << "" << false;
    QTest::newRow("no root line") << "MOUNTPOINT UUID\n/boot bbb\n"
                                  << "UUID=bbb / e"
                                  << "" << false;
}

void TestBootListText::rootCheck()
{
    QFETCH(QString, lsblk);
    QFETCH(QString, fstab);
    QFETCH(QString, uuid);
    QFETCH(bool, root);
    QCOMPARE(rootUuid(lsblk), uuid);
    QCOMPARE(!uuid.isEmpty() && rootEntryIsRoot(fstab, uuid), root);
}

void TestBootListText::devicePathLookup_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("path");
    QTest::newRow("padded columns") << "1234-ABCD"
                                    << "/dev/sdb1";
    QTest::newRow("part of a longer UUID listed first") << "abcd-1234"
                                                        << "/dev/sdc1";
    QTest::newRow("not listed") << "ffff"
                                << "";
    QTest::newRow("empty UUID") << ""
                                << "";
    QTest::newRow("column header") << "UUID"
                                   << "UUID                                 PATH";
}

void TestBootListText::devicePathLookup()
{
    QFETCH(QString, uuid);
    QFETCH(QString, path);
    const QString listing = QStringLiteral("UUID                                 PATH\n"
                                           "                                     /dev/sda\n"
                                           "abcd-1234-5678                       /dev/sdd1\n"
                                           "1234-ABCD                            /dev/sdb1\n"
                                           "abcd-1234                            /dev/sdc1\n");
    QCOMPARE(devicePath(listing, uuid), path);
}

void TestBootListText::snapshotAdmission_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<QString>("version"); // version|display|uuid of an admitted snapshot
    const QString members =
        QStringLiteral(R"("backupVersion":"V","versionDisplay":"D","backupDevUUID":"U")");
    for (const char *status : {"1", "1.0", "1e0"})
        QTest::newRow(status) << "{\"status\":" + QLatin1String(status) + ',' + members + '}'
                              << true << "V|D|U";
    for (const char *status : {"\"1\"", "true", "2", "1.5", "null", "[1]"})
        QTest::newRow(status) << "{\"status\":" + QLatin1String(status) + ',' + members + '}'
                              << false << "";
    QTest::newRow("no status") << '{' + members + '}' << false << "";
    QTest::newRow("members missing") << R"({"status":1})" << true << "||";
    QTest::newRow("members not strings")
        << R"({"status":1,"backupVersion":7,"versionDisplay":[]})" << true << "||";
    QTest::newRow("non-ASCII")
        << R"({"status":1,"backupVersion":"版本 é","versionDisplay":"\u00e9"})" << true
        << QStringLiteral("版本 é|é|");
    QTest::newRow("NUL after the object")
        << QStringLiteral("{\"status\":1}") + QChar(0) + 'x' << true << "||";
    QTest::newRow("NUL inside the object")
        << QStringLiteral("{\"status\":1") + QChar(0) + '}' << false << "";
    QTest::newRow("array") << "[{\"status\":1}]" << false << "";
    QTest::newRow("trailing garbage") << "{\"status\":1} x" << false << "";
    QTest::newRow("empty") << "" << false << "";
}

void TestBootListText::snapshotAdmission()
{
    QFETCH(QString, description);
    QFETCH(bool, admitted);
    QFETCH(QString, version);
    BootVersion entry;
    entry.version = QStringLiteral("stale"); // what an earlier snapshot left behind
    QCOMPARE(admitSnapshot(description, entry), admitted);
    if (admitted)
        QCOMPARE(QStringList({entry.version, entry.display, entry.uuid}).join(QLatin1Char('|')),
                 version);
}

void TestBootListText::document_data()
{
    QTest::addColumn<QStringList>("fields"); // six fields per record, in declaration order
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("no records") << QStringList() << QByteArray(R"({"version_list":[]})");
    QTest::newRow("empty record") << QStringList{"", "", "", "", "", ""}
                                  << QByteArray(
                                         R"({"version_list":[{"display":"","initrd":"",)"
                                         R"("kernel":"","scheme":"","uuid":"","version":""}]})");
    QTest::newRow("escapes and UTF-8")
        << QStringList{QStringLiteral("a\"b\\"),
                       QStringLiteral("k\n"),
                       QStringLiteral("i\t"),
                       QStringLiteral("s/"),
                       QStringLiteral("版本 é") + QChar(1),
                       QStringLiteral("u")}
        << QByteArray(R"({"version_list":[{"display":"版本 é\u0001","initrd":"i\t","kernel":"k\n",)"
                      R"("scheme":"s/","uuid":"u","version":"a\"b\\"}]})");
}

void TestBootListText::document()
{
    QFETCH(QStringList, fields);
    QFETCH(QByteArray, json);
    QList<BootVersion> list;
    if (!fields.isEmpty()) {
        BootVersion v{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
        BootVersion decoded;
        decoded.unmarshal(v.marshal());
        QCOMPARE(decoded.marshal(), v.marshal());
        list.append(v);
    }
    QCOMPARE(BootVersionMgr().versionList2Json(list).toUtf8(), json);
}

void TestBootListText::backupUuidList_data()
{
    QTest::addColumn<QByteArray>("ini"); // a null array: no file at all
    QTest::addColumn<QStringList>("uuids");
    QTest::newRow("history then device")
        << QByteArray("[backup]\ndevice_uuid=A\nhistory_device_uuid=\"B,A,E\"")
        << QStringList{"B", "A", "E"};
    QTest::newRow("empty pieces") << QByteArray(
                                         "[backup]\ndevice_uuid=D\nhistory_device_uuid=\",B,,E,\"")
                                  << QStringList{"B", "E", "D"};
    QTest::newRow("piece kept untrimmed")
        << QByteArray("[backup]\ndevice_uuid=D\nhistory_device_uuid=\"B, E\"")
        << QStringList{"B", " E", "D"};
    QTest::newRow("no current device")
        << QByteArray("[backup]\nhistory_device_uuid=\"B,E\"") << QStringList{"B", "E", ""};
    QTest::newRow("unquoted history")
        << QByteArray("[backup]\ndevice_uuid=D\nhistory_device_uuid=B,,E")
        << QStringList{"B", "E", "D"};
    QTest::newRow("no history") << QByteArray("[backup]\ndevice_uuid=D") << QStringList{"D"};
    QTest::newRow("other group") << QByteArray("[restore]\ndevice_uuid=D") << QStringList{""};
    QTest::newRow("no file") << QByteArray() << QStringList{""};
}

void TestBootListText::backupUuidList()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, uuids);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kiv-recovery.ini"));
    if (!ini.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    QCOMPARE(backupUuids(path), uuids);
}

void TestBootListText::spawn_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("out"); // after "pre:", which the caller passed in
    QTest::addColumn<QString>("err");
    const QString sh = QStringLiteral("sh");
    const QString c = QStringLiteral("-c");
    QTest::newRow("line") << sh << QStringList{c, "printf 'a\\n'"} << true << "pre:a\n"
                          << "";
    QTest::newRow("no newline") << sh << QStringList{c, "printf a"} << true << "pre:a"
                                << "";
    QTest::newRow("NUL byte") << sh << QStringList{c, "printf 'a\\000b'"} << true << "pre:a"
                              << "";
    QTest::newRow("exit 1") << sh << QStringList{c, "echo x; echo e >&2; exit 1"} << false
                            << "pre:x\n"
                            << "e\n";
    QTest::newRow("killed") << sh << QStringList{c, "kill -9 $$"} << false << "pre:"
                            << "";
    QTest::newRow("missing program") << "kiv-no-such-program" << QStringList() << false << "pre:"
                                     << "";
    QTest::newRow("shell characters")
        << "printf" << QStringList{"%s|", "a b;$(x) *"} << true << "pre:a b;$(x) *|"
        << "";
    QTest::newRow("reads its input") << "cat" << QStringList() << true << "pre:"
                                     << "";
}

void TestBootListText::spawn()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QString gotOut = QStringLiteral("pre:");
    QString gotErr;
    QCOMPARE(BootVersionMgr().spawnCmd(program, args, gotOut, gotErr), ok);
    QCOMPARE(gotOut, out);
    QCOMPARE(gotErr, err);
}

QTEST_GUILESS_MAIN(TestBootListText)
#include "tst_bootlisttext.moc"

#include "rollbacknotify.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestRollbackInfo : public QObject
{
    Q_OBJECT

private slots:
    void readsRestoreGroup_data();
    void readsRestoreGroup();
};

void TestRollbackInfo::readsRestoreGroup_data()
{
    QTest::addColumn<QByteArray>("ini"); // a null array: no file at all
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("before");

    const QByteArray v = "rollback_version=V\nrollback_before_version=B\n";
    QTest::newRow("no file") << QByteArray() << -1 << QString() << QString();
    QTest::newRow("no group") << QByteArray("[backup]\nrollback_status=0\n" + v) << -1 << ""
                              << "";
    QTest::newRow("keys outside the group")
        << QByteArray("rollback_status=0\n" + v + "[restore]\n") << -1 << ""
        << "";
    QTest::newRow("no rollback") << QByteArray("[restore]\nrollback_status=-1\n" + v) << -1 << "V"
                                 << "B";
    QTest::newRow("success") << QByteArray("[restore]\nrollback_status=0\n" + v) << 0 << "V"
                             << "B";
    QTest::newRow("failure") << QByteArray("[restore]\nrollback_status=1\n" + v) << 1 << "V"
                             << "B";
    QTest::newRow("other status") << QByteArray("[restore]\nrollback_status=7\n") << 7 << ""
                                  << "";
    QTest::newRow("quoted status") << QByteArray("[restore]\nrollback_status=\"0\"\n") << 0 << ""
                                   << "";
    // A status that is no whole number must never read as 0, the success status.
    for (const char *bad : {"", "abc", "1.0", "0x1", "1,0", "99999999999"})
        QTest::newRow(qPrintable(QStringLiteral("status '%1'").arg(QLatin1String(bad))))
            << QByteArray("[restore]\nrollback_status=" + QByteArray(bad) + "\n" + v) << -1 << "V"
            << "B";
    QTest::newRow("UTF-8 version")
        << QByteArray("[restore]\nrollback_status=0\nrollback_version=Système 版本 7\n") << 0
        << QStringLiteral("Système 版本 7") << "";
    QTest::newRow("escapes as Qt writes them")
        << QByteArray("[restore]\nrollback_status=0\nrollback_version=V\\x7248\\x672c\n") << 0
        << QStringLiteral("V版本") << "";
    QTest::newRow("quoted with comma, quote and backslash")
        << QByteArray(
               "[restore]\nrollback_status=1\nrollback_before_version=\"a, \\\"b\\\" \\\\c\"\n")
        << 1 << "" << QStringLiteral("a, \"b\" \\c");
}

void TestRollbackInfo::readsRestoreGroup()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, status);
    QFETCH(QString, version);
    QFETCH(QString, before);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kiv-recovery.ini"));
    if (!ini.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    const RollbackInfo info = RollbackNotify().getRollbackInfo(path);
    QCOMPARE(info.status, status);
    QCOMPARE(info.rollbackVersion, version);
    QCOMPARE(info.rollbackBeforeVersion, before);
    QCOMPARE(QFile::exists(path), !ini.isNull()); // reading never creates the file
}

QTEST_GUILESS_MAIN(TestRollbackInfo)
#include "tst_rollbackinfo.moc"

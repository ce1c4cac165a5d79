#include "casetable.h"
#include "rollbacknotify.h"

class TestRollbackInfo : public QObject
{
    Q_OBJECT

private slots:
    void readsRestoreGroup_data() { addCaseRows(QStringLiteral("rollback_info")); }
    void readsRestoreGroup()
    {
        QFETCH(QJsonObject, row);
        QTemporaryDir dir;
        const QString path = iniFile(dir, row);
        const RollbackInfo info = RollbackNotify().getRollbackInfo(path);
        QCOMPARE(info.status, row[QStringLiteral("status")].toInt());
        QCOMPARE(info.rollbackVersion, row[QStringLiteral("version")].toString());
        QCOMPARE(info.rollbackBeforeVersion, row[QStringLiteral("before")].toString());
        QCOMPARE(QFile::exists(path), !row[QStringLiteral("ini")].isNull()); // nothing created
    }
};

QTEST_GUILESS_MAIN(TestRollbackInfo)
#include "tst_rollbackinfo.moc"

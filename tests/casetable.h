#ifndef KIV_RECOVERY_CASETABLE_H
#define KIV_RECOVERY_CASETABLE_H

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

// The case tables are data, tests/cases/*.json, one object per row; every row becomes a QTest
// row named by its "name" member.
inline void addCaseRows(const QString &table)
{
    QFile file(QStringLiteral(KIV_CASES_DIR "/") + table + QStringLiteral(".json"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QJsonArray rows = QJsonDocument::fromJson(file.readAll()).array();
    QVERIFY2(!rows.isEmpty(), qPrintable(file.fileName()));
    QTest::addColumn<QJsonObject>("row");
    for (const QJsonValue &row : rows)
        QTest::newRow(qPrintable(row[QStringLiteral("name")].toString())) << row.toObject();
}

// Writes the row's "ini" text as a file in dir and returns its path; a null "ini" means no file.
inline QString iniFile(const QTemporaryDir &dir, const QJsonObject &row)
{
    const QString path = dir.filePath(QStringLiteral("kiv-recovery.ini"));
    const QJsonValue ini = row[QStringLiteral("ini")];
    QFile file(path);
    if (!ini.isNull() && file.open(QIODevice::WriteOnly))
        file.write(ini.toString().toUtf8());
    return path;
}

inline QStringList strings(const QJsonValue &array)
{
    QStringList list;
    for (const QJsonValue &value : array.toArray())
        list.append(value.toString());
    return list;
}

#endif // KIV_RECOVERY_CASETABLE_H

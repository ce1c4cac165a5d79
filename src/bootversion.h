// The boot list's record, one bootable snapshot, and its JSON: the entry written for it, the
// document the entries are written into, and the snapshot description a record is made from.
#ifndef KIV_RECOVERY_BOOTVERSION_H
#define KIV_RECOVERY_BOOTVERSION_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

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

    // The compact JSON text of the record as an object of its six members, byte for byte as Qt's
    // writer gives it, but written without building the object: the boot list holds one of these
    // per snapshot.
    QByteArray toJson() const;
};

namespace BootVersionJson {

// The boot list document as it is written: its entries come between these, separated by
// EntrySeparator.
extern const QByteArray DocumentStart;
extern const QByteArray EntrySeparator;
extern const QByteArray DocumentEnd;

// The JSON object a text holds, or an empty object for anything else.
QJsonObject jsonObject(const QString &text);

// Fills version, display and uuid of entry from the bytes of a snapshot description, read as
// UTF-8 text up to the first NUL byte, and answers whether the snapshot is bootable (its
// "status" is the number 1).
bool admitSnapshot(const QByteArray &description, BootVersion &entry);

} // namespace BootVersionJson

#endif // KIV_RECOVERY_BOOTVERSION_H

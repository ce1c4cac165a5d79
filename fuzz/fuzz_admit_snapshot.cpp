#include "fuzzinput.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>

namespace {

// Qt's JSON reader drops a byte order mark that opens a string value written without escapes,
// as QString::fromUtf8 does, so a reader of the boot list may lose one there. Nothing else may
// change on the way.
bool readsBackAs(const QString &back, const QString &text)
{
    return back == text || (text.startsWith(QChar(0xFEFF)) && back == text.mid(1));
}

} // namespace

// A snapshot description comes from a removable device anyone may have written. Whatever it
// holds, the record made from it must come out of the boot list as it went in.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString description = fuzzText(fuzzBytes(data, size));
    BootVersionMgr manager;
    manager.QStringToJson(description);

    BootVersion record;
    if (!BootListText::admitSnapshot(description, record))
        return 0;
    const QString list = manager.versionList2Json({record});
    const QJsonArray array =
        manager.QStringToJson(list).value(QStringLiteral("version_list")).toArray();
    BootVersion back;
    back.unmarshal(array.at(0).toObject());
    if (array.size() != 1 || !readsBackAs(back.version, record.version) ||
        !readsBackAs(back.display, record.display) || !readsBackAs(back.uuid, record.uuid))
        __builtin_trap();
    return 0;
}

// The boot list's record, one bootable snapshot, and its JSON: the entry written for it, the
// document the entries are written into, and the snapshot description a record is made from.
#include "bootversion.h"

#include "textutil.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

const QString VersionKey = QStringLiteral("version");
const QString KernelKey = QStringLiteral("kernel");
const QString InitrdKey = QStringLiteral("initrd");
const QString SchemeKey = QStringLiteral("scheme");
const QString DisplayKey = QStringLiteral("display");
const QString UuidKey = QStringLiteral("uuid");
const QString VersionListKey = QStringLiteral("version_list");

// Looked up as Latin-1, which Qt's JSON objects compare with their keys without a conversion.
const QLatin1String StatusMember("status");
const QLatin1String BackupVersionMember("backupVersion");
const QLatin1String VersionDisplayMember("versionDisplay");
const QLatin1String BackupDevUuidMember("backupDevUUID");
const int BootableStatus = 1;
const int UnknownStatus = -1;

// The JSON object that UTF-8 bytes hold, or an empty object for anything else.
QJsonObject parsedObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return QJsonObject();
    return document.object();
}

// The most bytes one UTF-16 code unit takes in a JSON string: six for an escape such as \u001f.
const int MaxBytesPerUnit = 6;

// Writes text at out as a JSON string, escaped as Qt's JSON writer escapes it and in UTF-8,
// except that half a surrogate pair becomes U+FFFD, as invalid UTF-8 does when it is read: a
// strict reader would reject the whole document over it. out needs room for the quotes and
// MaxBytesPerUnit bytes a code unit; answers where the string ends.
char *writeJsonString(char *out, const QString &text)
{
    const char hex[] = "0123456789abcdef";
    *out++ = '"';
    // Pointers, not indexes, as each write through out could change the string's size and data
    // for all the compiler knows: 2% of the instructions of a boot list of 2 x 500 snapshots.
    const QChar *const end = text.constEnd();
    for (const QChar *unit = text.constBegin(); unit != end; ++unit) {
        char32_t c = unit->unicode();
        // Printable ASCII, nearly all of a boot list, goes straight out: 2% of the same.
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            *out++ = char(c);
            continue;
        }
        if (unit->isHighSurrogate() && unit + 1 != end && unit[1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(unit[0], unit[1]);
            ++unit;
        } else if (unit->isSurrogate()) {
            c = QChar::ReplacementCharacter;
        }
        switch (c) {
        case '"':
        case '\\':
            *out++ = '\\';
            *out++ = char(c);
            break;
        case '\b':
            *out++ = '\\';
            *out++ = 'b';
            break;
        case '\f':
            *out++ = '\\';
            *out++ = 'f';
            break;
        case '\n':
            *out++ = '\\';
            *out++ = 'n';
            break;
        case '\r':
            *out++ = '\\';
            *out++ = 'r';
            break;
        case '\t':
            *out++ = '\\';
            *out++ = 't';
            break;
        default:
            if (c < 0x20) {
                out = std::copy_n("\\u00", 4, out);
                *out++ = hex[c >> 4];
                *out++ = hex[c & 0xf];
            } else if (c < 0x800) {
                *out++ = char(0xc0 | c >> 6);
                *out++ = char(0x80 | (c & 0x3f));
            } else if (c < 0x10000) {
                *out++ = char(0xe0 | c >> 12);
                *out++ = char(0x80 | (c >> 6 & 0x3f));
                *out++ = char(0x80 | (c & 0x3f));
            } else {
                *out++ = char(0xf0 | c >> 18);
                *out++ = char(0x80 | (c >> 12 & 0x3f));
                *out++ = char(0x80 | (c >> 6 & 0x3f));
                *out++ = char(0x80 | (c & 0x3f));
            }
        }
    }
    *out++ = '"';
    return out;
}

// A member's name as the document writes it, "name": (our keys are ASCII and need no escape).
QByteArray memberName(const QString &key)
{
    return '"' + key.toLatin1() + "\":";
}

const QByteArray DisplayMember = memberName(DisplayKey);
const QByteArray InitrdMember = memberName(InitrdKey);
const QByteArray KernelMember = memberName(KernelKey);
const QByteArray SchemeMember = memberName(SchemeKey);
const QByteArray UuidMember = memberName(UuidKey);
const QByteArray VersionMember = memberName(VersionKey);

} // namespace

namespace BootVersionJson {

const QByteArray DocumentStart = '{' + memberName(VersionListKey) + '[';
const QByteArray EntrySeparator = QByteArrayLiteral(",");
const QByteArray DocumentEnd = QByteArrayLiteral("]}");

QJsonObject jsonObject(const QString &text)
{
    QByteArray bytes = text.toLocal8Bit();
    bytes.truncate(TextUtil::lengthUntilNul(bytes));
    return parsedObject(bytes);
}

bool admitSnapshot(const QByteArray &description, BootVersion &entry)
{
    // Bytes that are all ASCII, NUL excepted, are the same as text in every locale: they are
    // parsed as they are, without the round trip through a QString that any others take.
    const bool ascii = TextUtil::isAscii(description.constData(), description.size()) &&
                       !std::memchr(description.constData(), '\0', size_t(description.size()));
    const QJsonObject obj =
        ascii ? parsedObject(description) : jsonObject(TextUtil::fromUtf8UntilNul(description));
    // A missing member reads as the fallback too.
    if (obj.value(StatusMember).toInt(UnknownStatus) != BootableStatus)
        return false;
    entry.version = obj.value(BackupVersionMember).toString();
    entry.display = obj.value(VersionDisplayMember).toString();
    entry.uuid = obj.value(BackupDevUuidMember).toString();
    return true;
}

} // namespace BootVersionJson

QByteArray BootVersion::toJson() const
{
    // Fixed: the members in key order, as Qt's JSON objects keep them and as the boot menu
    // generator, which compares documents byte for byte, has always read them.
    const std::pair<const QByteArray &, const QString &> members[] = {
        {DisplayMember, display}, {InitrdMember, initrd}, {KernelMember, kernel},
        {SchemeMember, scheme},   {UuidMember, uuid},     {VersionMember, version}};
    int room = 2;
    for (const auto &member : members)
        room += 1 + member.first.size() + 2 + MaxBytesPerUnit * member.second.size();
    QByteArray json(room, Qt::Uninitialized);
    char *out = json.data();
    char separator = '{';
    for (const auto &member : members) {
        *out++ = separator;
        separator = ',';
        out = std::copy(member.first.cbegin(), member.first.cend(), out);
        out = writeJsonString(out, member.second);
    }
    *out++ = '}';
    json.truncate(int(out - json.constData()));
    return json;
}

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
// A record's object before its fields are filled in: every member there, every value empty.
const QJsonObject EmptyRecord{{VersionKey, QString()}, {KernelKey, QString()},
                              {InitrdKey, QString()},  {SchemeKey, QString()},
                              {DisplayKey, QString()}, {UuidKey, QString()}};

// Looked up as Latin-1, which Qt's JSON objects compare with their keys without a conversion.
const QLatin1String StatusMember("status");
const QLatin1String BackupVersionMember("backupVersion");
const QLatin1String VersionDisplayMember("versionDisplay");
const QLatin1String BackupDevUuidMember("backupDevUUID");
const int BootableStatus = 1;
const int UnknownStatus = -1;

// Below this a character is a control character, which JSON escapes, as \u00XX where it has no
// short escape.
const char16_t FirstPrintable = 0x20;
const char HexDigits[] = "0123456789abcdef";
const int HexDigitBits = 4;
const char16_t LowHexDigit = 0xf;
// The most bytes one UTF-16 code unit of a text takes in JSON: six for an escape such as \u001f.
const int MaxBytesPerUnit = 6;

// UTF-8: a code point below FirstOfTwoBytes is one byte, below FirstOfThreeBytes two, within the
// Basic Multilingual Plane three, beyond it four. The first byte of each length carries its
// mark, every further byte ContinuationMark and ContinuationBits of the code point.
const char16_t FirstOfTwoBytes = 0x80;
const char16_t FirstOfThreeBytes = 0x800;
const uchar TwoByteMark = 0xc0;
const uchar ThreeByteMark = 0xe0;
const uchar FourByteMark = 0xf0;
const uchar ContinuationMark = 0x80;
const int ContinuationBits = 6;
const char32_t ContinuationMask = 0x3f;

// Writes the escape of a control character at out, in the short form where JSON has one, and
// answers where it ends.
char *writeControlEscape(char *out, char16_t unit)
{
    *out++ = '\\';
    switch (unit) {
    case '\b':
        *out++ = 'b';
        break;
    case '\f':
        *out++ = 'f';
        break;
    case '\n':
        *out++ = 'n';
        break;
    case '\r':
        *out++ = 'r';
        break;
    case '\t':
        *out++ = 't';
        break;
    default:
        *out++ = 'u';
        *out++ = '0';
        *out++ = '0';
        *out++ = HexDigits[unit >> HexDigitBits];
        *out++ = HexDigits[unit & LowHexDigit];
    }
    return out;
}

// Writes a code point beyond ASCII at out in UTF-8 and answers where it ends.
char *writeUtf8(char *out, char32_t code)
{
    if (code < FirstOfThreeBytes) {
        *out++ = char(TwoByteMark | (code >> ContinuationBits));
    } else if (!QChar::requiresSurrogates(code)) {
        *out++ = char(ThreeByteMark | (code >> (2 * ContinuationBits)));
        *out++ = char(ContinuationMark | ((code >> ContinuationBits) & ContinuationMask));
    } else {
        *out++ = char(FourByteMark | (code >> (3 * ContinuationBits)));
        *out++ = char(ContinuationMark | ((code >> (2 * ContinuationBits)) & ContinuationMask));
        *out++ = char(ContinuationMark | ((code >> ContinuationBits) & ContinuationMask));
    }
    *out++ = char(ContinuationMark | (code & ContinuationMask));
    return out;
}

// The JSON object that UTF-8 bytes hold, or an empty object for anything else.
QJsonObject parsedObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return QJsonObject();
    return document.object();
}

// Room for text written as a JSON string: the quotes and each code unit at its longest.
int jsonStringRoom(const QString &text)
{
    return 2 + MaxBytesPerUnit * text.size();
}

// Writes text at out as a JSON string, escaped as Qt's JSON writer escapes it and in UTF-8,
// except that half a surrogate pair becomes U+FFFD, as invalid UTF-8 does when it is read: a
// strict reader would reject the whole document over it. Answers where the string ends; out must
// have jsonStringRoom(text) bytes of room. Written in place, as the boot list writes one of these
// for every member of every entry.
char *writeJsonString(char *out, const QString &text)
{
    *out++ = '"';
    const QChar *const end = text.constEnd();
    for (const QChar *c = text.constBegin(); c != end; ++c) {
        const char16_t unit = c->unicode();
        if (unit >= FirstPrintable && unit < FirstOfTwoBytes && unit != '"' && unit != '\\') {
            *out++ = char(unit);
        } else if (unit == '"' || unit == '\\') {
            *out++ = '\\';
            *out++ = char(unit);
        } else if (unit < FirstPrintable) {
            out = writeControlEscape(out, unit);
        } else if (!c->isSurrogate()) {
            out = writeUtf8(out, unit);
        } else if (c->isHighSurrogate() && c + 1 != end && c[1].isLowSurrogate()) {
            out = writeUtf8(out, QChar::surrogateToUcs4(unit, c[1].unicode()));
            ++c;
        } else {
            out = writeUtf8(out, QChar::ReplacementCharacter);
        }
    }
    *out++ = '"';
    return out;
}

// A member's name as the document writes it: "name":
QByteArray memberName(const QString &key)
{
    QByteArray name(jsonStringRoom(key) + 1, Qt::Uninitialized);
    char *const end = writeJsonString(name.data(), key);
    *end = ':';
    name.truncate(int(end + 1 - name.constData()));
    return name;
}

const QByteArray DisplayMember = memberName(DisplayKey);
const QByteArray InitrdMember = memberName(InitrdKey);
const QByteArray KernelMember = memberName(KernelKey);
const QByteArray SchemeMember = memberName(SchemeKey);
const QByteArray UuidMember = memberName(UuidKey);
const QByteArray VersionMember = memberName(VersionKey);

// A member of an entry: its name as written, and its value.
using Member = std::pair<const QByteArray &, const QString &>;

// Room for members written one after the other, with commas between them, at their longest.
template <size_t Count> int jsonRoom(const Member (&members)[Count])
{
    int room = 0;
    for (const Member &member : members)
        room += 1 + member.first.size() + jsonStringRoom(member.second);
    return room;
}

// Writes members at out, with commas between them, and answers where they end.
template <size_t Count> char *writeMembers(char *out, const Member (&members)[Count])
{
    for (size_t i = 0; i < Count; ++i) {
        if (i > 0)
            *out++ = ',';
        out = std::copy(members[i].first.cbegin(), members[i].first.cend(), out);
        out = writeJsonString(out, members[i].second);
    }
    return out;
}

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

QJsonObject BootVersion::marshal()
{
    // Filling in a copy of an object that already holds the six keys only replaces values;
    // inserting into an empty object converted each key anew and grew the object six times.
    QJsonObject obj = EmptyRecord;
    obj[VersionKey] = version;
    obj[KernelKey] = kernel;
    obj[InitrdKey] = initrd;
    obj[SchemeKey] = scheme;
    obj[DisplayKey] = display;
    obj[UuidKey] = uuid;
    return obj;
}

void BootVersion::unmarshal(const QJsonObject &obj)
{
    version = obj.value(VersionKey).toString();
    kernel = obj.value(KernelKey).toString();
    initrd = obj.value(InitrdKey).toString();
    scheme = obj.value(SchemeKey).toString();
    display = obj.value(DisplayKey).toString();
    uuid = obj.value(UuidKey).toString();
}

QByteArray BootVersion::toJson() const
{
    return toJson(bootMembersJson());
}

QByteArray BootVersion::toJson(const QByteArray &bootMembers) const
{
    // In the order of Qt's JSON objects, which keep their keys sorted: display, then the boot
    // members, then uuid and version.
    const Member first[] = {{DisplayMember, display}};
    const Member last[] = {{UuidMember, uuid}, {VersionMember, version}};
    QByteArray json(jsonRoom(first) + bootMembers.size() + jsonRoom(last) + 4, Qt::Uninitialized);
    char *out = json.data();
    *out++ = '{';
    out = writeMembers(out, first);
    *out++ = ',';
    out = std::copy(bootMembers.cbegin(), bootMembers.cend(), out);
    *out++ = ',';
    out = writeMembers(out, last);
    *out++ = '}';
    json.truncate(int(out - json.constData()));
    return json;
}

QByteArray BootVersion::bootMembersJson() const
{
    const Member members[] = {
        {InitrdMember, initrd}, {KernelMember, kernel}, {SchemeMember, scheme}};
    QByteArray json(jsonRoom(members), Qt::Uninitialized);
    json.truncate(int(writeMembers(json.data(), members) - json.constData()));
    return json;
}

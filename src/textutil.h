// Byte and text helpers that every reader of outside text shares: where text ends, whether it is
// ASCII, and whether the locale's encoding is UTF-8.
#ifndef KIV_RECOVERY_TEXTUTIL_H
#define KIV_RECOVERY_TEXTUTIL_H

#include <QByteArray>
#include <QString>

namespace TextUtil {

// The length of bytes up to the first NUL byte, or of all of them.
int lengthUntilNul(const QByteArray &bytes);

// Bytes as UTF-8 text, up to the first NUL byte.
QString fromUtf8UntilNul(const QByteArray &bytes);

// Whether bytes are all ASCII, the same text in every locale's encoding.
bool isAscii(const char *bytes, int length);

// Whether the locale's encoding is UTF-8, as nearly every locale's is: text the tool reads or
// writes as UTF-8 then needs no conversion through the locale's codec.
bool localeIsUtf8();

} // namespace TextUtil

#endif // KIV_RECOVERY_TEXTUTIL_H

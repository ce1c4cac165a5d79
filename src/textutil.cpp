// Byte and text helpers shared by the readers of outside text.
#include "textutil.h"

#include <QTextCodec>

#include <cstring>

namespace {

const uchar FirstNonAscii = 0x80;
// The MIB enum of UTF-8 among QTextCodec's codecs.
const int Utf8Mib = 106;

} // namespace

namespace TextUtil {

int lengthUntilNul(const QByteArray &bytes)
{
    const void *nul = std::memchr(bytes.constData(), '\0', size_t(bytes.size()));
    return nul ? int(static_cast<const char *>(nul) - bytes.constData()) : bytes.size();
}

QString fromUtf8UntilNul(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), lengthUntilNul(bytes));
}

bool isAscii(const char *bytes, int length)
{
    // The bytes are ORed together rather than tested one by one, which the compiler vectorizes.
    uchar allBits = 0;
    for (int i = 0; i < length; ++i)
        allBits |= uchar(bytes[i]);
    return allBits < FirstNonAscii;
}

bool localeIsUtf8()
{
    return QTextCodec::codecForLocale()->mibEnum() == Utf8Mib;
}

} // namespace TextUtil

#ifndef KIV_RECOVERY_FUZZINPUT_H
#define KIV_RECOVERY_FUZZINPUT_H

#include "bootversionmgr.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// The fuzz input as the bytes a program or a file would hand the tool.
inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size));
}

// Text as the tool receives a program's output: UTF-8 up to the first NUL.
inline QString fuzzText(const QByteArray &bytes)
{
    return BootListText::fromUtf8UntilNul(bytes);
}

// Splits a two-part input: the first line is the key (a UUID), the rest the text searched for it.
// The key may then be anything, as an odd lsblk line or a hand-written configuration can make it.
inline void splitKeyAndText(const QByteArray &bytes, QString &key, QString &text)
{
    const int newline = bytes.indexOf('\n');
    key = fuzzText(newline < 0 ? bytes : bytes.left(newline));
    text = newline < 0 ? QString() : fuzzText(bytes.mid(newline + 1));
}

#endif // KIV_RECOVERY_FUZZINPUT_H

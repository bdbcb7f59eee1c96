#pragma once
// Conversion between Qt text and the Western single-byte character set
// (Windows-1252) in which the session log is written, for readers of the file
// that expect that encoding. Qt 6.4's own converters offer Latin-1 but not
// Windows-1252, whose bytes 0x80-0x9F carry the euro sign, typographic quotes
// and dashes instead of control codes.
//
// ToWindows1252: every character without a Windows-1252 byte (a surrogate pair
// counts as one character) becomes '?'. FromWindows1252: the five bytes that
// Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1
// control characters of the same value, so that decoding never loses a byte.
//
// Thread safety: reentrant.

#include <QByteArray>
#include <QString>

QByteArray ToWindows1252(const QString& text);
QString FromWindows1252(const QByteArray& bytes);

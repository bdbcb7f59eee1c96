#pragma once
// The reader protocol's bytes, as pure functions: request frames, the
// exclusive-or check, the texts of keys and clocks, and the decoding of the
// 18-byte status records. No I/O, no state; any thread.
//
// Request frame: STX 'R' <address letter> <command text> ETX <check>, where
// the check byte is the exclusive-or of every byte before it.
// Answers: one byte (ACK or anything else) or an 18-byte record whose last
// byte is the exclusive-or of its first 17.

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct TRegistrador_Data;

namespace Framing {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;
inline constexpr char kRequest = 'R';
inline constexpr int kRecordSize = 18;

// Exclusive-or of the first len bytes (len counted modulo 256, as the
// device's length byte is); bytes beyond the data are not read. 0 for len 0.
quint8 Checksum(const QByteArray& data, int len);
// Byte len (1-based) equals the check of the bytes before it. False when the
// data is shorter than len or len is not positive.
bool CheckFrame(const QByteArray& data, int len);
// STX 'R' + body + ETX + check, where body is the address letter followed by
// the command text. Returns the frame's length, check byte included.
int BuildFrame(QByteArray& frame, const QByteArray& body);
// The frame of one command text to one address.
QByteArray RequestFrame(QChar address, const QByteArray& command);

// A key as five digits: right-aligned in a field of five, blanks as "0"
// (123 -> "00123"); a longer number in full.
QByteArray KeyText(qint32 key);
// yymmdd w hhmm: w is the day of the week, 1 (Sunday) .. 7 (Saturday), or
// 0 .. 6 when zeroBasedWeekday.
QByteArray ClockText(const QDateTime& when, bool zeroBasedWeekday);

// Characters pos .. pos+len-1 (1-based) of a record as an unsigned decimal
// number. Throws EConvertError when they are missing or not all digits.
qint32 NumberField(const QByteArray& record, int pos, int len);
// Same for a text that must be only digits with an optional leading sign
// (the count of a profile text). Throws EConvertError.
qint32 SignedNumber(const QByteArray& text);

// Fills month, day, hour, minute and Texto from status record A, or
// Estado2, the four numbers and Cantidad from status record B, into out. All
// fields are decoded before any is stored: on EConvertError out is untouched.
void DecodeStatusA(const QByteArray& record, TRegistrador_Data& out);
void DecodeStatusB(const QByteArray& record, TRegistrador_Data& out);

}  // namespace Framing

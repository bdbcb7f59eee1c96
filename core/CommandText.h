#pragma once
// Reading of the argument texts ("Texto") of command rows. The table is
// written by other programs, so every text is checked before anything goes
// on the line: a malformed text fails that one command, never the agent.
//
// Thread safety: pure functions.

#include <QChar>
#include <QString>

class CommandText {
public:
    struct Alta {
        qint32 key = 0;
        QChar c1 = u'-';
        QChar c2 = u'-';
    };

    // A key number written in decimal digits ("00123" is 123). Throws
    // EConvertError when the text is not a non-negative decimal number that
    // fits a 32-bit integer.
    static qint32 KeyNumber(const QString& text);

    // An "ALTA" text: characters 1-5 the key, 6 and 7 the two schedule
    // identifiers. For an Hta reader only the key is read and both
    // identifiers are '-'. Throws EConvertError for a bad key and Exception
    // for a text of fewer than seven characters on an ordinary reader.
    static Alta ParseAlta(const QString& text, bool hta);
};

#include "core/CommandText.h"

#include <limits>

#include "shell/Errors.h"

qint32 CommandText::KeyNumber(const QString& text) {
    const QString digits = text.trimmed();
    bool ok = !digits.isEmpty();
    for (QChar c : digits) ok = ok && c.isDigit() && c.unicode() < 128;
    const qint64 value = ok ? digits.toLongLong(&ok) : 0;
    // Digits only: a sign or a negative key would put a malformed key field
    // on the line.
    if (!ok || value > std::numeric_limits<qint32>::max()) {
        throw EConvertError(QStringLiteral("'%1' no es un número de llave válido").arg(text));
    }
    return static_cast<qint32>(value);
}

CommandText::Alta CommandText::ParseAlta(const QString& text, bool hta) {
    Alta alta;
    alta.key = KeyNumber(text.left(5));
    if (hta)
        return alta;
    if (text.size() < 7) {
        throw Exception(
            QStringLiteral("El texto del alta '%1' no tiene los siete caracteres esperados")
                .arg(text));
    }
    alta.c1 = text.at(5);
    alta.c2 = text.at(6);
    return alta;
}

#include "shell/TextLimits.h"

namespace TextLimits {

QString Capped(const QString& text, qsizetype max) {
    if (text.size() <= max)
        return text;
    const QString mark = QStringLiteral(" [... cortado: %1 caracteres en total]").arg(text.size());
    const qsizetype keep = qMax<qsizetype>(0, max - mark.size());
    // A surrogate pair is never split: half a character would become a '?'
    // in the Windows-1252 log.
    qsizetype cut = keep;
    if (cut > 0 && text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + mark;
}

}  // namespace TextLimits

#include "db/TSqlDialect.h"

#include <QRegularExpression>

#include "shell/Errors.h"

namespace {

bool IsNameStart(QChar c) {
    return c.isLetter() || c == '_';
}
bool IsNameChar(QChar c) {
    return c.isLetterOrNumber() || c == '_';
}

// A quoted text that names a table file of the old engine: "INGREG.db".
QString TableOfFileName(const QString& quoted) {
    static const QRegularExpression file(QStringLiteral("^([A-Za-z_][A-Za-z0-9_]*)\\.db$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = file.match(quoted);
    return m.hasMatch() ? m.captured(1) : QString();
}

[[noreturn]] void Unterminated(QChar quote, const QString& statement) {
    throw EDatabaseError(QStringLiteral("Sentencia mal formada (falta cerrar %1): %2")
                             .arg(quote)
                             .arg(statement.simplified()));
}

}  // namespace

TAdaptedSql TSqlDialect::Adapt(const QString& statement) {
    TAdaptedSql out;
    QString& sql = out.text;
    sql.reserve(statement.size());
    const qsizetype n = statement.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = statement[i];
        if (c == '\'') {
            // Copy a literal, '' included.
            qsizetype j = i + 1;
            for (;; ++j) {
                if (j >= n)
                    Unterminated(c, statement);
                if (statement[j] == '\'') {
                    if (j + 1 < n && statement[j + 1] == '\'') {
                        ++j;
                        continue;
                    }
                    break;
                }
            }
            sql += statement.mid(i, j - i + 1);
            i = j;
        } else if (c == '"') {
            const qsizetype close = statement.indexOf('"', i + 1);
            if (close < 0)
                Unterminated(c, statement);
            const QString quoted = statement.mid(i + 1, close - i - 1);
            const QString table = TableOfFileName(quoted);
            if (!table.isEmpty()) {
                sql += table;
            } else {
                QString literal = quoted;
                literal.replace('\'', QStringLiteral("''"));
                sql += '\'' + literal + '\'';
            }
            i = close;
        } else if (c == ':' && i + 1 < n && statement[i + 1] == ':') {
            sql += QStringLiteral("::");
            ++i;
        } else if (c == ':' && i + 1 < n && IsNameStart(statement[i + 1])) {
            qsizetype j = i + 1;
            while (j < n && IsNameChar(statement[j])) ++j;
            out.parameters << statement.mid(i + 1, j - i - 1);
            out.offsets << sql.size();
            sql += '?';
            i = j - 1;
        } else {
            sql += c;
        }
    }
    return out;
}

QString TSqlDialect::RowIdColumn(TSqlDriver driver) {
    return driver == TSqlDriver::PostgreSQL ? QStringLiteral("ctid") : QStringLiteral("rowid");
}

QString TSqlDialect::RowLockClause(TSqlDriver driver) {
    return driver == TSqlDriver::PostgreSQL ? QStringLiteral(" FOR UPDATE") : QString();
}

QString TSqlDialect::BeginStatement(TSqlDriver driver) {
    return driver == TSqlDriver::PostgreSQL ? QStringLiteral("BEGIN")
                                            : QStringLiteral("BEGIN IMMEDIATE");
}

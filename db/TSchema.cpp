#include "db/TSchema.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include "db/TTransaction.h"
#include "shell/Errors.h"

QString TSchema::Script(TSqlDriver driver) {
    const QString path = driver == TSqlDriver::PostgreSQL
                             ? QStringLiteral(":/kelvor/schema/postgresql.sql")
                             : QStringLiteral(":/kelvor/schema/sqlite.sql");
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw EDatabaseError(QStringLiteral("Falta el esquema %1 en el programa").arg(path));
    return QString::fromUtf8(f.readAll());
}

QStringList TSchema::Statements(TSqlDriver driver) {
    QString text;
    for (const QString& line : Script(driver).split('\n')) {
        if (line.trimmed().startsWith(QLatin1String("--")))
            continue;
        text += line + '\n';
    }
    QStringList out;
    for (const QString& s : text.split(';')) {
        if (!s.trimmed().isEmpty())
            out << s.trimmed();
    }
    return out;
}

QStringList TSchema::Tables() {
    QStringList out;
    static const QRegularExpression create(QStringLiteral("^CREATE TABLE (\\w+)"));
    for (const QString& s : Statements(TSqlDriver::SQLite)) {
        const QRegularExpressionMatch m = create.match(s);
        if (m.hasMatch())
            out << m.captured(1);
    }
    return out;
}

QStringList TSchema::ExistingTables(const QSqlDatabase& db) {
    const QStringList present = db.tables(QSql::Tables);
    QStringList out;
    for (const QString& t : Tables()) {
        if (present.contains(t, Qt::CaseInsensitive))
            out << t;
    }
    return out;
}

namespace {

void Run(const QSqlDatabase& db, const QString& s) {
    QSqlQuery q(db);
    if (!q.exec(s))
        throw EDatabaseError(QStringLiteral("Error de base de datos (esquema): %1 en \"%2\"")
                                 .arg(q.lastError().text().trimmed(), s.section('\n', 0, 0)));
}

// The table a CREATE TABLE or CREATE INDEX statement is about.
QString TableOf(const QString& statement) {
    static const QRegularExpression table(QStringLiteral("^CREATE TABLE (\\w+)"));
    static const QRegularExpression index(QStringLiteral("^CREATE INDEX \\w+ ON (\\w+)"));
    QRegularExpressionMatch m = table.match(statement);
    if (!m.hasMatch())
        m = index.match(statement);
    return m.hasMatch() ? m.captured(1) : QString();
}

}  // namespace

QStringList TSchema::AgentTables() {
    return {QStringLiteral("AGPENDIENTE")};
}

QStringList TSchema::Upgrade(const QSqlDatabase& db, TSqlDriver driver) {
    const QStringList present = db.tables(QSql::Tables);
    QStringList missing;
    for (const QString& t : AgentTables()) {
        if (!present.contains(t, Qt::CaseInsensitive))
            missing << t;
    }
    if (missing.isEmpty())
        return missing;
    int depth = 0;
    TTransaction t(db, driver, depth, QStringLiteral("esquema"));
    for (const QString& s : Statements(driver)) {
        if (missing.contains(TableOf(s), Qt::CaseInsensitive))
            Run(db, s);
    }
    t.Commit();
    return missing;
}

void TSchema::Create(const QSqlDatabase& db, TSqlDriver driver) {
    const QStringList existing = ExistingTables(db);
    if (!existing.isEmpty())
        throw EDatabaseError(QStringLiteral("La base de datos ya tiene tablas del esquema (%1); no "
                                            "se modifica")
                                 .arg(existing.join(QStringLiteral(", "))));
    int depth = 0;
    TTransaction t(db, driver, depth, QStringLiteral("esquema"));
    for (const QString& s : Statements(driver)) Run(db, s);
    t.Commit();
}

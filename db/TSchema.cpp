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

// Qt's table list names PostgreSQL tables outside "public" as
// "schema.table" and ignores the search path, so the engine is asked itself.
bool TSchema::HasTable(const QSqlDatabase& db, const QString& table) {
    static const QRegularExpression plain(QStringLiteral("^\\w+$"));
    if (!plain.match(table).hasMatch())
        return false;
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    const QString sql = pg ? QStringLiteral("SELECT to_regclass('%1') IS NOT NULL").arg(table)
                           : QStringLiteral(
                                 "SELECT COUNT(*) FROM main.sqlite_master WHERE type IN "
                                 "('table', 'view') AND name = '%1' COLLATE NOCASE")
                                 .arg(table);
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next())
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): no se pudo comprobar si "
                                            "existe la tabla: %2")
                                 .arg(table, q.lastError().text().trimmed()));
    return pg ? q.value(0).toBool() : q.value(0).toInt() > 0;
}

QStringList TSchema::ExistingTables(const QSqlDatabase& db) {
    QStringList out;
    for (const QString& t : Tables()) {
        if (HasTable(db, t))
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
    return {QStringLiteral("AGPENDIENTE"), QStringLiteral("AGESTACION"),
            QStringLiteral("AGESTADO")};
}

QStringList TSchema::Upgrade(const QSqlDatabase& db, TSqlDriver driver) {
    return CreateMissing(db, driver, AgentTables());
}

QStringList TSchema::CreateMissing(const QSqlDatabase& db, TSqlDriver driver,
                                   const QStringList& tables) {
    QStringList missing;
    for (const QString& t : tables) {
        if (!HasTable(db, t))
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

QStringList TSchema::AddIndexes(const QSqlDatabase& db, TSqlDriver driver) {
    const bool pg = driver == TSqlDriver::PostgreSQL;
    // Looked for as the engine finds it: PostgreSQL in the schema of the
    // table the search path finds (an index lives beside its table).
    const QString exists =
        pg ? QStringLiteral("SELECT COUNT(*) FROM pg_indexes WHERE indexname = 'comando_orden' "
                            "AND schemaname = (SELECT n.nspname FROM pg_class c JOIN "
                            "pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = "
                            "to_regclass('comando'))")
           : QStringLiteral("SELECT COUNT(*) FROM main.sqlite_master WHERE type = 'index' AND "
                            "name = 'COMANDO_Orden' COLLATE NOCASE");
    QSqlQuery q(db);
    if (!q.exec(exists) || !q.next())
        throw EDatabaseError(QStringLiteral("Error de base de datos (COMANDO): %1")
                                 .arg(q.lastError().text().trimmed()));
    if (q.value(0).toInt() > 0)
        return {};
    q.finish();
    Run(db, QStringLiteral("CREATE INDEX COMANDO_Orden ON COMANDO (IdEstacion, FechaHora, Id)"));
    return {QStringLiteral("COMANDO_Orden")};
}

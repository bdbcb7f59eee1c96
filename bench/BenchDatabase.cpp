#include "bench/BenchDatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <set>

#include "db/TAlias.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"

namespace {

QString NewName() {
    return QStringLiteral("bench-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

[[noreturn]] void Fail(const QSqlQuery& q, const QString& sql) {
    throw EDatabaseError(
        QStringLiteral("%1: %2").arg(sql.simplified(), q.lastError().text().trimmed()));
}

}  // namespace

BenchDatabase::BenchDatabase(const QString& settings) : m_name(NewName()) {
    const TAlias alias = TAlias::Load(RegistryFile(settings));
    m_driver = alias.Driver();
    m_db = alias.Connect(m_name, 10000);
}

BenchDatabase::~BenchDatabase() {
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

void BenchDatabase::Exec(const QString& sql, const QVariantList& values) {
    QSqlQuery q(m_db);
    if (!q.prepare(sql))
        Fail(q, sql);
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec())
        Fail(q, sql);
}

QVariant BenchDatabase::Value(const QString& sql, const QVariantList& values) {
    QSqlQuery q(m_db);
    if (!q.prepare(sql))
        Fail(q, sql);
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec())
        Fail(q, sql);
    return q.next() ? q.value(0) : QVariant();
}

qint64 BenchDatabase::Count(const QString& sql, const QVariantList& values) {
    return Value(sql, values).toLongLong();
}

void BenchDatabase::Create(const QString& settings, const QString& port, int holders) {
    BenchSite::Kelvordb(settings, {QStringLiteral("init")});
    BenchSite::Kelvordb(settings, {QStringLiteral("seed-demo"), QStringLiteral("--port"), port});
    BenchDatabase(settings).ShapeStation(holders);
}

void BenchDatabase::ShapeStation(int holders) {
    if (!m_db.transaction())
        throw EDatabaseError(m_db.lastError().text());
    Exec(QStringLiteral("DELETE FROM INGREG WHERE IdRegistrador = 'B1'"));
    Exec(QStringLiteral("DELETE FROM Zonas WHERE IdReg = 'B1'"));
    Exec(QStringLiteral("DELETE FROM Reg WHERE Id = 'B1'"));
    Exec(QStringLiteral("UPDATE Reg SET CTRLACTIVO = ?"), {false});

    std::set<qint64> held;
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT NroLlave FROM INGRESAN")))
            Fail(q, q.lastQuery());
        while (q.next()) held.insert(q.value(0).toLongLong());
    }
    QSqlQuery insert(m_db);
    const QString sql = QStringLiteral(
        "INSERT INTO INGRESAN (Id, Nombre, Tipo, NroLlave) VALUES (?, ?, 'EMPLEADO', ?)");
    if (!insert.prepare(sql))
        Fail(insert, sql);
    for (int key = 1; key <= holders; ++key) {
        if (held.count(key))
            continue;
        insert.addBindValue(100000 + key);
        insert.addBindValue(QStringLiteral("Titular %1").arg(key));
        insert.addBindValue(key);
        if (!insert.exec())
            Fail(insert, sql);
    }
    if (!m_db.commit())
        throw EDatabaseError(m_db.lastError().text());
}

void BenchDatabase::AddStation(int station, const QString& port) {
    Exec(QStringLiteral("INSERT INTO Estacion (Id, Nombre, Puerto) VALUES (?, ?, ?)"),
         {station, QStringLiteral("Estación %1").arg(station), port});
    Exec(QStringLiteral("INSERT INTO Reg (Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, VIRTUAL, "
                        "HTA) VALUES (?, ?, ?, 9600, ?, ?, ?)"),
         {QStringLiteral("A%1").arg(station), station, QStringLiteral("Entrada %1").arg(station),
          false, false, false});
}

std::optional<BenchDb> BenchDatabase::PostgresFromEnvironment(QString* why) {
    if (qEnvironmentVariableIsSet("KELVOR_TEST_PG_SKIP")) {
        *why = qEnvironmentVariable("KELVOR_TEST_PG_SKIP");
        return std::nullopt;
    }
    BenchDb db;
    db.driver = TSqlDriver::PostgreSQL;
    db.host = qEnvironmentVariable("KELVOR_TEST_PG_HOST");
    db.port = qEnvironmentVariableIntValue("KELVOR_TEST_PG_PORT");
    db.user = qEnvironmentVariable("KELVOR_TEST_PG_USER");
    if (db.host.isEmpty() || db.port <= 0) {
        *why = QStringLiteral(
            "no PostgreSQL server given (KELVOR_TEST_PG_HOST/PORT/USER unset; "
            "scripts/bench starts one)");
        return std::nullopt;
    }
    return db;
}

void BenchDatabase::RecreatePostgresDatabase(const BenchDb& server, const QString& name) {
    const QString connection = NewName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(server.host);
        db.setPort(server.port);
        db.setUserName(server.user);
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open())
            throw EDatabaseError(QStringLiteral("No se pudo conectar con PostgreSQL en %1:%2: %3")
                                     .arg(server.host)
                                     .arg(server.port)
                                     .arg(db.lastError().text().trimmed()));
        QSqlQuery q(db);
        // "does not exist, skipping" is no news for a fresh server.
        q.exec(QStringLiteral("SET client_min_messages TO WARNING"));
        for (const QString& sql : {QStringLiteral("DROP DATABASE IF EXISTS %1").arg(name),
                                   QStringLiteral("CREATE DATABASE %1").arg(name)}) {
            if (!q.exec(sql))
                Fail(q, sql);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
}

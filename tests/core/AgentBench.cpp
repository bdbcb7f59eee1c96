#include "tests/core/AgentBench.h"

#include <QEventLoop>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include "core/TComunicationThread.h"
#include "db/TDM.h"
#include "db/TSchema.h"
#include "shell/RegistryFile.h"
#include "shell/TLogFile.h"
#include "shell/Windows1252.h"
#include "tools/simulador/SimulatedLine.h"

// ---- RecordingView ---------------------------------------------------------------

void RecordingView::AddLogRow(const QString& registrador, const QString& mensaje,
                              const QDateTime& when, const QString& estado, quint8 image,
                              quint8 state) {
    rows.push_back({registrador, mensaje, when, estado, image, state});
    if (onRow)
        onRow(rows.back());
}

void RecordingView::UpdateLogRow(const QString& estado, quint8 state) {
    if (rows.empty())
        return;
    rows.back().estado = estado;
    rows.back().state = state;
}

bool RecordingView::AgentHidden() {
    ++cycleStarts;
    if (onCycleStart)
        onCycleStart(cycleStarts);
    return hidden;
}

std::vector<ViewRow> RecordingView::With(const QString& mensaje) const {
    std::vector<ViewRow> out;
    for (const ViewRow& r : rows)
        if (r.mensaje == mensaje)
            out.push_back(r);
    return out;
}

std::vector<ViewRow> RecordingView::Starting(const QString& prefix) const {
    std::vector<ViewRow> out;
    for (const ViewRow& r : rows)
        if (r.mensaje.startsWith(prefix))
            out.push_back(r);
    return out;
}

// ---- PostgreSQL ------------------------------------------------------------------------

PgServer PgServer::FromEnvironment() {
    PgServer s;
    s.skip = qEnvironmentVariable("KELVOR_TEST_PG_SKIP");
    s.host = qEnvironmentVariable("KELVOR_TEST_PG_HOST");
    s.user = qEnvironmentVariable("KELVOR_TEST_PG_USER");
    s.port = qEnvironmentVariableIntValue("KELVOR_TEST_PG_PORT");
    if (s.skip.isEmpty() && s.host.isEmpty()) {
        s.skip = QStringLiteral("no throwaway PostgreSQL server (run the tests with scripts/test)");
    }
    return s;
}

// ---- AgentBench -------------------------------------------------------------------------

AgentBench::AgentBench(BenchDb db) {
    registry = dir.File("registry.reg");
    RegistryFile::SetProcessPath(registry);
    config.Estacion = 1;
    config.Espera = 0;
    config.TimeOut = 1;
    config.Retrys = 2;
    config.LogFileActivado = 1;
    config.DifHora = 5;
    timing.recoveryPauseMs = 20;
    timing.cyclePauseMs = 5;
    timing.esperaUnitMs = 1;
    timing.serialTimeoutUnitMs = 100;

    CreateDatabase(db);
    if (!Ready())
        return;

    m_line = std::make_unique<SimulatedLine>(clock.Fn(), 7);
    m_linePath = dir.File("ttyKelvor");
    m_line->SetLinkPath(m_linePath);
    m_line->Start();

    m_dm = std::make_unique<TDM>(clock.Fn());
    m_dm->SetConfig(&config);
    m_dm->SetCommandPause(std::chrono::milliseconds(0));
    m_dm->SetBusyTimeout(2000);

    m_log = std::make_unique<TLogFile>(dir.Path(), false, 1, QStringLiteral("Agente de Kelvor I"),
                                       QStringLiteral("AGKelvorI"), RetryQuestion{}, clock.Fn());
    m_logFile = m_log->FileName();
}

AgentBench::~AgentBench() {
    m_log.reset();
    m_dm.reset();
    if (m_line)
        m_line->Stop();
    m_line.reset();
    if (!m_setupName.isEmpty()) {
        QSqlDatabase::database(m_setupName, false).close();
        QSqlDatabase::removeDatabase(m_setupName);
    }
    if (!m_pgAdminName.isEmpty()) {
        {
            QSqlDatabase admin = QSqlDatabase::database(m_pgAdminName, true);
            QSqlQuery q(admin);
            q.exec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(database));
            admin.close();
        }
        QSqlDatabase::removeDatabase(m_pgAdminName);
    }
}

void AgentBench::CreateDatabase(BenchDb db) {
    const QString tag = QUuid::createUuid().toString(QUuid::Id128).left(12);
    m_setupName = QStringLiteral("bench-setup-") + tag;
    QList<RegistryValue> alias;
    if (db == BenchDb::SQLite) {
        database = dir.File("kelvor.db");
        alias = {RegistryValue::Str("Driver", "QSQLITE"), RegistryValue::Str("Database", database)};
        QSqlDatabase setup = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_setupName);
        setup.setDatabaseName(database);
        if (!setup.open()) {
            ADD_FAILURE() << setup.lastError().text().toStdString();
            m_skip = "SQLite file could not be made";
            return;
        }
        TSchema::Create(setup, TSqlDriver::SQLite);
    } else {
        const PgServer pg = PgServer::FromEnvironment();
        if (!pg.skip.isEmpty()) {
            m_skip = pg.skip;
            return;
        }
        database = QStringLiteral("kelvor_core_") + tag;
        m_pgAdminName = m_setupName + QStringLiteral("-admin");
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_pgAdminName);
            admin.setHostName(pg.host);
            admin.setPort(pg.port);
            admin.setUserName(pg.user);
            admin.setDatabaseName(QStringLiteral("postgres"));
            if (!admin.open()) {
                ADD_FAILURE() << admin.lastError().text().toStdString();
                m_skip = "PostgreSQL server unreachable";
                return;
            }
            QSqlQuery q(admin);
            if (!q.exec(QStringLiteral("CREATE DATABASE %1").arg(database))) {
                ADD_FAILURE() << q.lastError().text().toStdString();
            }
        }
        alias = {RegistryValue::Str("Driver", "QPSQL"), RegistryValue::Str("Database", database),
                 RegistryValue::Str("Host", pg.host),
                 RegistryValue::Str("Port", QString::number(pg.port)),
                 RegistryValue::Str("User", pg.user)};
        QSqlDatabase setup = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_setupName);
        setup.setHostName(pg.host);
        setup.setPort(pg.port);
        setup.setUserName(pg.user);
        setup.setDatabaseName(database);
        if (!setup.open()) {
            ADD_FAILURE() << setup.lastError().text().toStdString();
            m_skip = "PostgreSQL database could not be opened";
            return;
        }
        TSchema::Create(setup, TSqlDriver::PostgreSQL);
    }
    // The marker file of anti-passback is looked for in this folder.
    alias.append(RegistryValue::Str("Directorio", dir.Path()));
    EXPECT_TRUE(RegistryFile(registry).Write(RegistryKeys::kAlias, alias));
    SetIdCounter(1);
}

void AgentBench::ReopenSetup() {
    for (const QString& name : {m_setupName, m_pgAdminName}) {
        if (name.isEmpty())
            continue;
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
        if (!db.open())
            ADD_FAILURE() << db.lastError().text().toStdString();
    }
}

void AgentBench::PointSetupAt(int port) {
    for (const QString& name : {m_setupName, m_pgAdminName}) {
        if (name.isEmpty())
            continue;
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
        db.setPort(port);
        if (!db.open())
            ADD_FAILURE() << db.lastError().text().toStdString();
    }
}

void AgentBench::CloseSetup() {
    QSqlDatabase::database(m_setupName, false).close();
}

QSqlDatabase AgentBench::Setup() const {
    return QSqlDatabase::database(m_setupName, true);
}

void AgentBench::Exec(const QString& sql, const QVariantList& values) {
    QSqlQuery q(Setup());
    // PostgreSQL cannot prepare a schema change (DROP TABLE): run it as is.
    if (values.isEmpty()) {
        if (!q.exec(sql))
            ADD_FAILURE() << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return;
    }
    if (!q.prepare(sql)) {
        ADD_FAILURE() << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return;
    }
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec())
        ADD_FAILURE() << sql.toStdString() << ": " << q.lastError().text().toStdString();
}

QList<QVariantList> AgentBench::Rows(const QString& sql, const QVariantList& values) {
    QList<QVariantList> out;
    QSqlQuery q(Setup());
    if (!q.prepare(sql)) {
        ADD_FAILURE() << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return out;
    }
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec()) {
        ADD_FAILURE() << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return out;
    }
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < q.record().count(); ++i) row.append(q.value(i));
        out.append(row);
    }
    return out;
}

QVariant AgentBench::Value(const QString& sql, const QVariantList& values) {
    const QList<QVariantList> rows = Rows(sql, values);
    return rows.isEmpty() || rows.first().isEmpty() ? QVariant() : rows.first().first();
}

int AgentBench::Count(const QString& table, const QString& where) {
    return Value(QStringLiteral("SELECT COUNT(*) FROM ") + table +
                 (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where))
        .toInt();
}

void AgentBench::AddStation(int id, const QString& puerto) {
    Exec("INSERT INTO Estacion (Id, Nombre, Puerto) VALUES (?, ?, ?)",
         {id, QStringLiteral("Estacion %1").arg(id), puerto});
}

void AgentBench::AddReader(const QString& id, int estacion, bool virt, bool hta, bool ctrlActivo,
                           int velocidad) {
    Exec(
        "INSERT INTO Reg (Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, VIRTUAL, HTA) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)",
        {id, estacion, id, velocidad, ctrlActivo, virt, hta});
}

void AgentBench::SetIdCounter(qint64 next) {
    RemoveIdCounter();
    Exec("INSERT INTO CODIGO (TIPO, CODIGO, DESCRIPCION) VALUES ('ID', 'FICHADAS', ?)",
         {QString::number(next)});
}

void AgentBench::RemoveIdCounter() {
    Exec("DELETE FROM CODIGO WHERE TIPO = 'ID'");
}

void AgentBench::QueueCommand(int estacion, const QString& reader, const QString& code,
                              const QString& texto, const QDateTime& when) {
    const QDateTime at = when.isValid() ? when : clock.Now();
    Exec(
        "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) "
        "VALUES (?, ?, ?, ?, ?)",
        {estacion, reader, code, texto, at.toString("yyyy-MM-dd HH:mm:ss.zzz")});
}

QList<QVariantList> AgentBench::Commands() {
    return Rows(
        "SELECT IdEstacion, IdRegistrador, CodComando, Texto, FechaHora FROM COMANDO "
        "ORDER BY IdEstacion, FechaHora, Id");
}

QList<QVariantList> AgentBench::Registrations() {
    return Rows("SELECT IdRegistrador, NroLlave, CodEstado, FechaHora FROM REGISTRA ORDER BY Id");
}

QDateTime AgentBench::DateTime(const QVariant& value) {
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime();
    QString text = value.toString();
    text.replace(u'T', u' ');
    QDateTime t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    if (!t.isValid())
        t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return t;
}

SimulatedReader& AgentBench::Reader(QChar address) {
    return m_line->AddReader(address);
}

AgentServices AgentBench::Services() {
    AgentServices s;
    s.view = &view;
    s.log = m_log.get();
    s.config = &config;
    s.dm = m_dm.get();
    s.clock = clock.Fn();
    s.monotonic = clock.Monotonic();
    s.timing = timing;
    s.beforeLinkBuilt = beforeLinkBuilt;
    s.status = status;
    return s;
}

std::unique_ptr<TComunicationThread> AgentBench::MakeThread(bool paused) {
    return std::make_unique<TComunicationThread>(paused, Services());
}

void AgentBench::RunCycles(int cycles) {
    auto thread = MakeThread(true);
    thread->SetCycleLimit(cycles);
    thread->Resume();
    thread->WaitForEnd();
    EXPECT_EQ(thread->CyclesDone(), cycles);
}

QStringList AgentBench::LogLines() const {
    QStringList lines = FromWindows1252(ReadAll(m_logFile)).split(QStringLiteral("\r\n"));
    return lines;
}

void AgentBench::CloseLog() {
    m_log.reset();
}

std::optional<qint32> AgentBench::ComError() const {
    const auto key = RegistryFile(registry).OpenKeyRead(RegistryKeys::kKelvor);
    if (!key)
        return std::nullopt;
    return key->ReadInteger(QStringLiteral("ComError"));
}

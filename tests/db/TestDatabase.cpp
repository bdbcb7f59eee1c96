#include "tests/db/TestDatabase.h"

#include <unistd.h>

#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "db/TSchema.h"
#include "shell/RegistryFile.h"

namespace {
int g_serial = 0;
}

std::string BackendName(const testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

QString TestDatabase::SkipReason(Backend backend) {
    if (backend == Backend::SQLite)
        return {};
    const QString skip = qEnvironmentVariable("KELVOR_TEST_PG_SKIP");
    if (!skip.isEmpty())
        return "PostgreSQL tests skipped: " + skip;
    if (qEnvironmentVariable("KELVOR_TEST_PG_HOST").isEmpty())
        return "PostgreSQL tests skipped: KELVOR_TEST_PG_HOST is not set (scripts/test starts a "
               "server)";
    return {};
}

QSqlDatabase TestDatabase::Maintenance(const QString& name) {
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", name);
    db.setHostName(qEnvironmentVariable("KELVOR_TEST_PG_HOST"));
    db.setPort(qEnvironmentVariable("KELVOR_TEST_PG_PORT").toInt());
    db.setUserName(qEnvironmentVariable("KELVOR_TEST_PG_USER"));
    db.setDatabaseName("postgres");
    if (!db.open())
        ADD_FAILURE() << "maintenance connection: " << db.lastError().text().toStdString();
    return db;
}

TestDatabase::TestDatabase(Backend backend, bool withDirectory, bool withSchema)
    : m_backend(backend) {
    const int serial = ++g_serial;
    m_checkName = QString("test-check-%1").arg(serial);
    RegistryFile reg(RegistryPath());
    if (backend == Backend::SQLite) {
        EXPECT_TRUE(
            reg.Write(RegistryKeys::kAlias, {RegistryValue::Str("Driver", "QSQLITE"),
                                             RegistryValue::Str("Database", SqliteFile())}));
    } else {
        m_pgDatabase = QString("kelvor_test_%1_%2").arg(::getpid()).arg(serial);
        {
            QSqlDatabase m = Maintenance("test-maintenance");
            QSqlQuery q(m);
            EXPECT_TRUE(q.exec("CREATE DATABASE " + m_pgDatabase))
                << q.lastError().text().toStdString();
        }
        QSqlDatabase::removeDatabase("test-maintenance");
        QList<RegistryValue> values = {
            RegistryValue::Str("Driver", "QPSQL"), RegistryValue::Str("Database", m_pgDatabase),
            RegistryValue::Str("Host", qEnvironmentVariable("KELVOR_TEST_PG_HOST")),
            RegistryValue::Str("Port", qEnvironmentVariable("KELVOR_TEST_PG_PORT")),
            RegistryValue::Str("User", qEnvironmentVariable("KELVOR_TEST_PG_USER"))};
        if (withDirectory)
            values << RegistryValue::Str("Directorio", Directory());
        EXPECT_TRUE(reg.Write(RegistryKeys::kAlias, values));
    }
    m_alias = TAlias::Load(reg);
    if (!withSchema)
        return;
    QSqlDatabase db = m_alias.Connect(m_checkName, 5000, true);
    TSchema::Create(db, m_alias.Driver());
}

TestDatabase::~TestDatabase() {
    CloseCheck();
    if (!m_pgDatabase.isEmpty()) {
        {
            QSqlDatabase m = Maintenance("test-maintenance");
            QSqlQuery q(m);
            EXPECT_TRUE(q.exec("DROP DATABASE " + m_pgDatabase + " WITH (FORCE)"))
                << q.lastError().text().toStdString();
        }
        QSqlDatabase::removeDatabase("test-maintenance");
    }
}

QSqlDatabase TestDatabase::Check() const {
    if (!QSqlDatabase::contains(m_checkName))
        return m_alias.Connect(m_checkName, 5000);
    return QSqlDatabase::database(m_checkName, false);
}

void TestDatabase::CloseCheck() const {
    QSqlDatabase::database(m_checkName, false).close();
    QSqlDatabase::removeDatabase(m_checkName);
}

void TestDatabase::Exec(const QString& sql, const QVariantList& values) const {
    QSqlQuery q(Check());
    if (values.isEmpty()) {
        EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return;
    }
    EXPECT_TRUE(q.prepare(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    for (int i = 0; i < values.size(); ++i) q.bindValue(i, values[i]);
    EXPECT_TRUE(q.exec()) << sql.toStdString() << ": " << q.lastError().text().toStdString();
}

QString Text(const QVariant& v) {
    if (v.isNull())
        return "";
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? "true" : "false";
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz");
    return v.toString();
}

QList<QStringList> TestDatabase::Rows(const QString& sql, const QVariantList& values) const {
    QSqlQuery q(Check());
    EXPECT_TRUE(q.prepare(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    for (int i = 0; i < values.size(); ++i) q.bindValue(i, values[i]);
    EXPECT_TRUE(q.exec()) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    QList<QStringList> rows;
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < q.record().count(); ++i) row << Text(q.value(i));
        rows << row;
    }
    return rows;
}

QString TestDatabase::Scalar(const QString& sql, const QVariantList& values) const {
    const QList<QStringList> rows = Rows(sql, values);
    return rows.isEmpty() || rows[0].isEmpty() ? QString("<no row>") : rows[0][0];
}

KelvordbOutcome RunKelvordb(const QStringList& args) {
    QProcess p;
    p.start(KELVOR_DB_TOOL, args);
    KelvordbOutcome o;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return o;
    }
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromUtf8(p.readAllStandardOutput());
    o.err = QString::fromUtf8(p.readAllStandardError());
    return o;
}

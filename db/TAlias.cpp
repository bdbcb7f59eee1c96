#include "db/TAlias.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include "shell/Errors.h"
#include "shell/RegistryFile.h"

namespace {

QString Where(const RegistryFile& registry) {
    return QStringLiteral("clave HKEY_LOCAL_MACHINE%1 de %2")
        .arg(RegistryKeys::kAlias, registry.Path());
}

// A text value, or an integer written as dword (Port).
std::optional<QString> ReadText(const RegistryKey& key, const QString& name) {
    if (auto s = key.ReadString(name))
        return s;
    if (auto i = key.ReadInteger(name))
        return QString::number(*i);
    return std::nullopt;
}

[[noreturn]] void Refuse(const QString& name, const QString& text) {
    QSqlDatabase::removeDatabase(name);
    throw EDatabaseError(text);
}

}  // namespace

TAlias TAlias::Load(const RegistryFile& registry) {
    const std::optional<RegistryKey> key = registry.OpenKeyRead(RegistryKeys::kAlias);
    if (!key)
        throw EDatabaseError(
            QStringLiteral("No está definido el alias de base de datos \"Kelvor\" (%1)")
                .arg(Where(registry)));
    TAlias a;
    a.m_settingsFile = registry.Path();
    const QString driver =
        ReadText(*key, QStringLiteral("Driver")).value_or(QStringLiteral("QSQLITE")).trimmed();
    if (driver.compare(QLatin1String("QSQLITE"), Qt::CaseInsensitive) == 0 || driver.isEmpty()) {
        a.m_driver = TSqlDriver::SQLite;
    } else if (driver.compare(QLatin1String("QPSQL"), Qt::CaseInsensitive) == 0) {
        a.m_driver = TSqlDriver::PostgreSQL;
    } else {
        throw EDatabaseError(QStringLiteral("El alias \"Kelvor\" nombra un driver desconocido "
                                            "\"%1\" (valor \"Driver\" en la %2); se admiten "
                                            "QSQLITE y QPSQL")
                                 .arg(driver, Where(registry)));
    }
    a.m_database = ReadText(*key, QStringLiteral("Database")).value_or(QString()).trimmed();
    if (a.m_database.isEmpty())
        throw EDatabaseError(QStringLiteral("El alias \"Kelvor\" no indica la base de datos "
                                            "(valor \"Database\" en la %1)")
                                 .arg(Where(registry)));
    a.m_host = ReadText(*key, QStringLiteral("Host")).value_or(QString()).trimmed();
    a.m_user = ReadText(*key, QStringLiteral("User")).value_or(QString());
    a.m_password = ReadText(*key, QStringLiteral("Password")).value_or(QString());
    a.m_directory = ReadText(*key, QStringLiteral("Directorio")).value_or(QString());
    if (auto port = ReadText(*key, QStringLiteral("Port")); port && !port->trimmed().isEmpty()) {
        bool ok = false;
        const int p = port->trimmed().toInt(&ok);
        if (!ok || p <= 0 || p > 65535)
            throw EDatabaseError(
                QStringLiteral("El puerto \"%1\" del alias \"Kelvor\" no es válido "
                               "(valor \"Port\" en la %2)")
                    .arg(*port, Where(registry)));
        a.m_port = p;
    }
    a.m_schema = ReadText(*key, QStringLiteral("Schema")).value_or(QString()).trimmed();
    auto seconds = [&](const QString& name, int& out) {
        const std::optional<QString> v = ReadText(*key, name);
        if (!v || v->trimmed().isEmpty())
            return;
        bool ok = false;
        const int n = v->trimmed().toInt(&ok);
        if (!ok || n < 0 || n > 86400)
            throw EDatabaseError(QStringLiteral("El valor \"%1\" del alias \"Kelvor\" no es un "
                                                "número de segundos válido: \"%2\" (%3)")
                                     .arg(name, *v, Where(registry)));
        out = n;
    };
    seconds(QStringLiteral("LockTimeout"), a.m_lockTimeoutS);
    seconds(QStringLiteral("StatementTimeout"), a.m_statementTimeoutS);
    return a;
}

QString TAlias::DriverName() const {
    return m_driver == TSqlDriver::PostgreSQL ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
}

QString TAlias::Directory() const {
    if (!m_directory.isEmpty())
        return m_directory;
    if (m_driver == TSqlDriver::SQLite)
        return QFileInfo(m_database).absolutePath();
    return QString();
}

QString TAlias::StatusText() const {
    const QString dir = Directory();
    return dir.isEmpty() ? Target() : dir;
}

QString TAlias::Target() const {
    if (m_driver == TSqlDriver::SQLite)
        return m_database;
    QString host = m_host.isEmpty() ? QStringLiteral("localhost") : m_host;
    if (m_port)
        host += ':' + QString::number(*m_port);
    return host + '/' + m_database;
}

TAlias TAlias::WithDatabase(const QString& database) const {
    TAlias a = *this;
    a.m_database = database;
    return a;
}

QSqlDatabase TAlias::Connect(const QString& name, int busyTimeoutMs, bool createFile,
                             int connectTimeoutS) const {
    const QString driver = DriverName();
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw EDatabaseError(
            QStringLiteral("El driver de base de datos %1 no está instalado").arg(driver));
    if (m_driver == TSqlDriver::SQLite && !createFile && !QFileInfo::exists(m_database))
        throw EDatabaseError(
            QStringLiteral("No existe el archivo de base de datos %1 (alias \"Kelvor\" de %2)")
                .arg(m_database, m_settingsFile));

    QSqlDatabase db = QSqlDatabase::addDatabase(driver, name);
    db.setDatabaseName(m_database);
    if (m_driver == TSqlDriver::SQLite) {
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    } else {
        if (!m_host.isEmpty())
            db.setHostName(m_host);
        if (m_port)
            db.setPort(*m_port);
        if (!m_user.isEmpty())
            db.setUserName(m_user);
        if (!m_password.isEmpty())
            db.setPassword(m_password);
        // Keepalives end a session whose server host vanished (no reset
        // arrives) in about a minute instead of the system's two hours.
        db.setConnectOptions(QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=30;"
                                            "keepalives_interval=10;keepalives_count=3")
                                 .arg(connectTimeoutS));
    }
    if (!db.open()) {
        const QString text = db.lastError().text().trimmed();
        db = QSqlDatabase();
        Refuse(name,
               QStringLiteral("No se pudo abrir la base de datos %1: %2").arg(Target(), text));
    }
    QSqlQuery q(db);
    bool ok;
    if (m_driver == TSqlDriver::SQLite) {
        // WAL lets the other programs read while the agent writes. Switching
        // needs the file to itself: while another program holds a
        // transaction the file stays in its current mode and the next
        // connection tries again. Reading the schema proves the file is a
        // database at all.
        q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        ok = q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
    } else {
        // Bounded waits: a lock held by another program, or a statement that
        // runs away, ends the statement with an error instead of the cycle
        // waiting for ever.
        ok =
            q.prepare(QStringLiteral("SELECT set_config('lock_timeout', ?, false), "
                                     "set_config('statement_timeout', ?, false)"));
        if (ok) {
            q.addBindValue(QString::number(qint64(m_lockTimeoutS) * 1000));
            q.addBindValue(QString::number(qint64(m_statementTimeoutS) * 1000));
            ok = q.exec();
        }
        if (ok && !m_schema.isEmpty()) {
            ok = q.prepare(QStringLiteral("SELECT set_config('search_path', ?, false)"));
            if (ok) {
                q.addBindValue(m_schema);
                ok = q.exec();
            }
        }
    }
    if (!ok) {
        const QString text = q.lastError().text().trimmed();
        q = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        Refuse(name, QStringLiteral("No se pudo usar la base de datos %1: %2").arg(Target(), text));
    }
    return db;
}

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
        QStringList ports;
        for (const QString& part : port->split(',')) {
            bool ok = false;
            const int p = part.trimmed().toInt(&ok);
            if (!ok || p <= 0 || p > 65535)
                throw EDatabaseError(
                    QStringLiteral("El puerto \"%1\" del alias \"Kelvor\" no es válido "
                                   "(valor \"Port\" en la %2)")
                        .arg(*port, Where(registry)));
            if (!a.m_port)
                a.m_port = p;
            ports << QString::number(p);
        }
        const qsizetype hosts = a.m_host.isEmpty() ? 1 : a.m_host.split(',').size();
        if (ports.size() > 1 && ports.size() != hosts)
            throw EDatabaseError(
                QStringLiteral("El alias \"Kelvor\" nombra %1 servidores (valor \"Host\") y %2 "
                               "puertos (valor \"Port\"): se indica un puerto para todos o uno "
                               "por servidor (%3)")
                    .arg(hosts)
                    .arg(ports.size())
                    .arg(Where(registry)));
        a.m_ports = ports.join(',');
    }
    // libpq's words, checked here so that a typing error is said with the
    // value's name instead of as the server's refusal.
    auto choice = [&](const QString& name, const QStringList& allowed, QString& out) {
        const QString v = ReadText(*key, name).value_or(QString()).trimmed();
        if (v.isEmpty())
            return;
        if (!allowed.contains(v, Qt::CaseInsensitive))
            throw EDatabaseError(QStringLiteral("El valor \"%1\" del alias \"Kelvor\" no es "
                                                "válido: \"%2\"; se admiten %3 (%4)")
                                     .arg(name, v, allowed.join(QStringLiteral(", ")),
                                          Where(registry)));
        out = v.toLower();
    };
    choice(QStringLiteral("SslMode"),
           {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"}, a.m_sslMode);
    choice(QStringLiteral("TargetSessionAttrs"),
           {"any", "read-write", "read-only", "primary", "standby", "prefer-standby"},
           a.m_targetSessionAttrs);
    // Files: Qt's driver turns ';' into a separator, so a name with one
    // cannot be passed on.
    auto file = [&](const QString& name, QString& out) {
        out = ReadText(*key, name).value_or(QString()).trimmed();
        if (out.contains(';'))
            throw EDatabaseError(QStringLiteral("El valor \"%1\" del alias \"Kelvor\" no puede "
                                                "contener ';': \"%2\" (%3)")
                                     .arg(name, out, Where(registry)));
    };
    file(QStringLiteral("SslRootCert"), a.m_sslRootCert);
    file(QStringLiteral("SslCert"), a.m_sslCert);
    file(QStringLiteral("SslKey"), a.m_sslKey);
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
    static const QStringList known = {
        "Driver", "Database", "Host", "Port", "User", "Password", "Directorio",
        "Schema", "LockTimeout", "StatementTimeout", "SslMode", "SslRootCert",
        "SslCert", "SslKey", "TargetSessionAttrs"};
    for (const QString& name : key->ValueNames()) {
        if (!known.contains(name, Qt::CaseInsensitive))
            a.m_unknown << name;
    }
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

namespace {
// A libpq value in single quotes, so that spaces and quotes pass.
QString Quoted(const QString& v) {
    QString out = v;
    out.replace('\\', QLatin1String("\\\\")).replace('\'', QLatin1String("\\'"));
    return '\'' + out + '\'';
}
}  // namespace

QString TAlias::ConnectOptions(int connectTimeoutS) const {
    QStringList o;
    o << QStringLiteral("connect_timeout=%1").arg(connectTimeoutS)
      << QStringLiteral("keepalives=1")
      << QStringLiteral("keepalives_idle=%1").arg(kKeepaliveIdleS)
      << QStringLiteral("keepalives_interval=%1").arg(kKeepaliveIntervalS)
      << QStringLiteral("keepalives_count=%1").arg(kKeepaliveCount)
      // Data sent and never acknowledged (a statement in flight when the
      // host vanished) is given up after the keepalives' own bound.
      << QStringLiteral("tcp_user_timeout=%1")
             .arg((kKeepaliveIdleS + kKeepaliveIntervalS * kKeepaliveCount) * 1000);
    if (m_ports.contains(','))
        o << QStringLiteral("port=") + Quoted(m_ports);
    if (!m_sslMode.isEmpty())
        o << QStringLiteral("sslmode=") + m_sslMode;
    if (!m_sslRootCert.isEmpty())
        o << QStringLiteral("sslrootcert=") + Quoted(m_sslRootCert);
    if (!m_sslCert.isEmpty())
        o << QStringLiteral("sslcert=") + Quoted(m_sslCert);
    if (!m_sslKey.isEmpty())
        o << QStringLiteral("sslkey=") + Quoted(m_sslKey);
    // Several servers are a primary and its standbys: the agent writes, so
    // it wants the one that takes writes unless the alias says otherwise.
    QString target = m_targetSessionAttrs;
    if (target.isEmpty() && m_host.contains(','))
        target = QStringLiteral("read-write");
    if (!target.isEmpty())
        o << QStringLiteral("target_session_attrs=") + target;
    return o.join(';');
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
        // Several ports go with the other options: Qt's port is one number.
        if (m_port && !m_ports.contains(','))
            db.setPort(*m_port);
        if (!m_user.isEmpty())
            db.setUserName(m_user);
        if (!m_password.isEmpty())
            db.setPassword(m_password);
        db.setConnectOptions(ConnectOptions(connectTimeoutS));
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

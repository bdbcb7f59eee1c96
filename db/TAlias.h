#pragma once
// The database alias "Kelvor": where the shared database is and how to reach
// it, read from the settings file (key RegistryKeys::kAlias).
//
//   "Driver"      "QSQLITE" (default) or "QPSQL"
//   "Database"    SQLite: the database file; PostgreSQL: the database name
//   "Host", "Port", "User", "Password"   PostgreSQL only, all optional
//   "Directorio"  the database directory (marker files); default: the folder
//                 of the SQLite file; none for PostgreSQL without it
//   "Schema"      PostgreSQL: the session's search_path (for example "kelvor"
//                 or "kelvor, public"); default: the server's
//   "LockTimeout", "StatementTimeout"   PostgreSQL: seconds a statement may
//                 wait for a lock / run at all (10 and 60; 0 = no bound)
//   "SslMode"     PostgreSQL: libpq's sslmode (disable, allow, prefer,
//                 require, verify-ca, verify-full); default libpq's (prefer)
//   "SslRootCert" the certificate(s) of the authority that signed the
//                 server's (verify-ca, verify-full)
//   "SslCert", "SslKey"   the agent's own certificate and key, where the
//                 server asks for one
//   "Host", "Port" may name several servers ("a,b" with "5432,5433", or one
//                 port for all): the first that answers as "TargetSessionAttrs"
//                 asks is used; with several hosts it defaults to read-write
//   "TargetSessionAttrs"  libpq's target_session_attrs (any, read-write,
//                 read-only, primary, standby, prefer-standby)
// Any other value is named by UnknownValues (the data module says it once).
//
// Load throws EDatabaseError naming the settings file and the key or value
// when the alias is missing or unusable. Connect opens a Qt SQL connection
// under the given name and throws EDatabaseError with the driver's text.
//
// A value type; any thread may load one. A connection made by Connect belongs
// to the calling thread.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <optional>

#include "db/TSqlDialect.h"

class RegistryFile;

class TAlias {
public:
    static TAlias Load(const RegistryFile& registry);

    TSqlDriver Driver() const { return m_driver; }
    QString DriverName() const;
    const QString& Database() const { return m_database; }
    const QString& Host() const { return m_host; }
    std::optional<int> Port() const { return m_port; }  // the first port
    const QString& Ports() const { return m_ports; }     // as written ("5432,5433")
    // The alias values that mean nothing to the agent, as written.
    const QStringList& UnknownValues() const { return m_unknown; }
    // libpq keywords beyond host, port, database, user and password, as Qt's
    // driver takes them (';' between them): time-outs, keepalives, TLS, the
    // ports of several hosts and the session target.
    QString ConnectOptions(int connectTimeoutS) const;
    // Keepalives end a session whose server host vanished (no reset arrives)
    // in about a minute instead of the system's two hours; the same bound
    // holds for data sent and never acknowledged (tcp_user_timeout).
    static constexpr int kKeepaliveIdleS = 30, kKeepaliveIntervalS = 10, kKeepaliveCount = 3;
    const QString& User() const { return m_user; }
    const QString& SettingsFile() const { return m_settingsFile; }
    const QString& Schema() const { return m_schema; }
    int LockTimeoutS() const { return m_lockTimeoutS; }
    int StatementTimeoutS() const { return m_statementTimeoutS; }

    // "Directorio", else the SQLite file's folder, else empty.
    QString Directory() const;
    // The folder, or "host:port/database" for PostgreSQL without a folder.
    QString StatusText() const;

    // Opens a connection named `name`. SQLite: the file must exist unless
    // `createFile`; WAL journal where it can be switched now (otherwise the
    // file's current mode, tried again at the next connection) and the given
    // busy time-out. PostgreSQL: a connect time-out of `connectTimeoutS`
    // seconds, TCP keepalives, the search path, lock and statement time-outs.
    QSqlDatabase Connect(const QString& name, int busyTimeoutMs, bool createFile = false,
                         int connectTimeoutS = 10) const;

    // The file, or "host:port/database".
    QString Target() const;

    // The same alias with another database (tools that connect to a
    // maintenance database first).
    TAlias WithDatabase(const QString& database) const;

private:
    TSqlDriver m_driver = TSqlDriver::SQLite;
    QString m_database, m_host, m_user, m_password, m_directory, m_settingsFile, m_schema;
    QString m_ports, m_sslMode, m_sslRootCert, m_sslCert, m_sslKey, m_targetSessionAttrs;
    QStringList m_unknown;
    std::optional<int> m_port;
    int m_lockTimeoutS = 10, m_statementTimeoutS = 60;
};

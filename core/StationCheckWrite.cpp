// Whether the agent may store what it reads, found without writing: a
// database it can read but not write passes every other item and then loses
// each cycle's registrations to a storing error.

#include <unistd.h>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cerrno>
#include <cstring>

#include "core/AgentPlaces.h"
#include "core/StationCheck.h"
#include "db/TAlias.h"

namespace {

// Empty when the effective user may write `path`, else the system's reason.
QString WriteRefused(const QString& path) {
    if (::access(QFile::encodeName(path).constData(), W_OK) == 0)
        return {};
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The privileges each table needs for the statements the agent runs on it
// (CODIGO's counter row is locked FOR UPDATE before it is advanced).
struct Need {
    const char* table;
    const char* privileges;
};
constexpr Need kNeeds[] = {
    {"REGISTRA", "INSERT"},
    {"RegExp", "INSERT"},
    {"CODIGO", "UPDATE"},
    {"COMANDO", "INSERT,UPDATE,DELETE"},
    {"VISACT", "INSERT,UPDATE"},
    {"REGSIM", "DELETE"},
    {"INGRESAN", "UPDATE"},
    {"LLAVE", "UPDATE"},
    {"AGPENDIENTE", "INSERT,DELETE"},
};

}  // namespace

void StationCheck::CheckWrite(QList<CheckItem>& out, const TAlias& alias, const QSqlDatabase& db,
                              const QStringList& existing) const {
    const QString item = QStringLiteral("Escritura");
    const QString user = AgentPlaces::UserName();
    if (alias.Driver() == TSqlDriver::SQLite) {
        // The file itself, the folder where SQLite makes its journal (or its
        // -wal and -shm files), and those files when they are there already.
        const QString file = QFileInfo(alias.Database()).absoluteFilePath();
        const QString folder = QFileInfo(file).absolutePath();
        QStringList refused;
        for (const QString& path :
             {file, folder, file + QStringLiteral("-wal"), file + QStringLiteral("-shm"),
              file + QStringLiteral("-journal")}) {
            if (path != file && path != folder && !QFileInfo::exists(path))
                continue;
            const QString why = WriteRefused(path);
            if (!why.isEmpty())
                refused << QStringLiteral("%1 (%2)").arg(path, why);
        }
        out << CheckItem{
            refused.isEmpty(), item,
            refused.isEmpty()
                ? QStringLiteral("el usuario %1 puede escribir %2 y su carpeta").arg(user, file)
                : QStringLiteral("el usuario %1 no puede escribir %2: no se almacenará ninguna "
                                 "registración; dé escritura al usuario del agente (el servicio "
                                 "es kelvor), por ejemplo \"sudo chown kelvor:kelvor %3 %4\" en "
                                 "un sistema de archivos de escritura")
                      .arg(user, refused.join(QStringLiteral(", ")), folder, file)};
        return;
    }

    // PostgreSQL: the role's privileges on each table that is there, and a
    // session that may write at all (not a standby, not read-only by default).
    QStringList refused;
    QString failure;
    QSqlQuery q(db);
    QString role = alias.User();
    if (q.exec(QStringLiteral("SELECT current_user")) && q.next())
        role = q.value(0).toString();
    if (q.exec(QStringLiteral("SELECT current_setting('transaction_read_only')")) && q.next() &&
        q.value(0).toString() == QLatin1String("on"))
        refused << QStringLiteral("la sesión es de solo lectura (transaction_read_only)");
    for (const Need& n : kNeeds) {
        const QString table = QString::fromLatin1(n.table);
        if (!existing.contains(table, Qt::CaseInsensitive))
            continue;
        QStringList missing;
        for (const QString& privilege : QString::fromLatin1(n.privileges).split(',')) {
            if (!q.exec(QStringLiteral("SELECT has_table_privilege('%1', '%2')")
                            .arg(table.toLower(), privilege)) ||
                !q.next()) {
                failure = q.lastError().text();
                break;
            }
            if (!q.value(0).toBool())
                missing << privilege;
        }
        if (!failure.isEmpty())
            break;
        if (!missing.isEmpty())
            refused << QStringLiteral("GRANT %1 ON %2 TO %3")
                           .arg(missing.join(QStringLiteral(", ")), table.toLower(), role);
    }
    if (!failure.isEmpty()) {
        out << CheckItem{false, item,
                         QStringLiteral("no se pudieron leer los permisos: %1").arg(failure)};
        return;
    }
    out << CheckItem{refused.isEmpty(), item,
                     refused.isEmpty()
                         ? QStringLiteral("la sesión puede escribir las tablas del agente")
                         : QStringLiteral("faltan permisos: no se almacenará ninguna "
                                          "registración; como dueño de las tablas: %1")
                               .arg(refused.join(QStringLiteral("; ")))};
}

// TDM: the key lookup, anti-passback, the clock synchronisation and the key
// return: the operations that append commands to COMANDO.

#include <QFile>
#include <algorithm>

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"

namespace {
const QString kComando = QStringLiteral("COMANDO");
const QString kBaja = QStringLiteral("BAJA");
const QString kAlta = QStringLiteral("ALTA");
const QString kMarker = QStringLiteral("ANTIPB.ON");

QString OrZero(const QString& schedule) {
    return schedule.isEmpty() ? QStringLiteral("0") : schedule;
}
}  // namespace

qint32 TDM::FindKeyHolder(qint32 nroLlave, QString& tipo) {
    // Only the first holder counts when several share a key; without an
    // order each engine would pick its own "first".
    static const QString text = QString::fromLatin1(Sql::kQryIngresante) + " ORDER BY Id";
    TStatementCache::Handle handle = Statement(text, QStringLiteral("INGRESAN"));
    TSqlStatement& q = *handle;
    q.Bind(QStringLiteral("NroLlave"), nroLlave);
    q.Exec();
    if (!q.Next()) {
        tipo.clear();
        return -1;
    }
    const std::optional<qint32> id = q.OptInt(QStringLiteral("Id"));
    if (!id)
        throw EDatabaseError(
            QStringLiteral(
                "Error de base de datos (INGRESAN): el titular de la llave %1 no tiene Id")
                .arg(nroLlave));
    tipo = q.Str(QStringLiteral("Tipo"));
    return *id;
}

void TDM::InsertCommand(qint32 estacion, const QString& idRegistrador, const QString& codComando,
                        const QString& texto, const QDateTime& when) {
    TStatementCache::Handle handle = Statement(QString::fromLatin1(Sql::kInsertComando), kComando);
    TSqlStatement& q = *handle;
    q.Bind(QStringLiteral("IdEstacion"), estacion);
    q.Bind(QStringLiteral("IdRegistrador"), idRegistrador);
    q.Bind(QStringLiteral("CodComando"), codComando);
    q.Bind(QStringLiteral("Texto"), texto);
    q.Bind(QStringLiteral("FechaHora"), when);
    q.Exec();
}

// The marker is a file beside the database: a look-up per registration would
// be a file-system call each, so a pass looks once and keeps the answer (a
// marker set or removed during a pass counts from the next one).
void TDM::PostCommand(qint32 estacion, const QString& idRegistrador, const QString& codComando,
                      const QString& texto) {
    ThreadConnection& c = Current();
    c.commands << QueuedCommand{estacion, idRegistrador, codComando, texto};
    if (c.transactionDepth == 0)
        PostQueuedCommands();
}

void TDM::PostQueuedCommands() {
    ThreadConnection& c = Current();
    while (!c.commands.isEmpty()) {
        const QueuedCommand& q = c.commands.first();
        try {
            InsertCommand(q.estacion, q.idRegistrador, q.codComando, q.texto, m_clock());
        } catch (const Exception& e) {
            Notice(QStringLiteral("No pudo agregarse a COMANDO el comando %1 para %2 (quedan %3 "
                                  "comando/s en espera, se reintenta después del próximo "
                                  "almacenamiento): %4")
                       .arg(q.codComando, q.idRegistrador)
                       .arg(c.commands.size())
                       .arg(e.Message()));
            return;
        }
        c.commands.removeFirst();
        Pause();
    }
}

bool TDM::AntiPassBackOn() {
    ThreadConnection& c = Current();
    if (c.inPass && c.antiPassBack)
        return *c.antiPassBack;
    QString dir = DatabaseDirectory();
    bool on = false;
    if (!dir.isEmpty()) {
        if (!dir.endsWith('/'))
            dir += '/';
        on = QFile::exists(dir + kMarker);
    }
    if (c.inPass)
        c.antiPassBack = on;
    return on;
}

void TDM::QueueAntiPassBack(qint32 nroLlave, const TTR& reader) {
    if (!AntiPassBackOn())
        return;
    const QSqlDatabase db = Db();
    struct Zone {
        QVariant id;
        QString tipo;
    };
    QList<Zone> zones;
    {
        TSqlStatement q(db, Sql::kQryZona, QStringLiteral("Zonas"));
        q.Bind(QStringLiteral("Registrador"), reader.Id);
        q.Exec();
        while (q.Next()) {
            const std::optional<QString> id = q.OptStr(QStringLiteral("IdZona"));
            zones << Zone{id ? QVariant(*id) : QVariant(), q.Str(QStringLiteral("Tipo"))};
        }
    }
    for (const Zone& zone : zones) {
        QString holderTipo;
        const qint32 holder = FindKeyHolder(nroLlave, holderTipo);
        struct Target {
            QString reader, tipo, horario, horario2;
            std::optional<qint32> estacion;
        };
        QList<Target> targets;
        {
            TSqlStatement q(db, Sql::kQryAntiPassBack, QStringLiteral("INGREG, Zonas, Reg"));
            q.Bind(QStringLiteral("Ingresante"), holder);
            q.Bind(QStringLiteral("Zona"), zone.id);
            q.Exec();
            while (q.Next()) {
                targets << Target{q.Str(QStringLiteral("IdRegistrador")),
                                  q.Str(QStringLiteral("Tipo")), q.Str(QStringLiteral("IdHorario")),
                                  q.Str(QStringLiteral("IdHorario2")),
                                  q.OptInt(QStringLiteral("IdEstacion"))};
            }
        }
        for (const Target& t : targets) {
            // An enrolment on a reader that is not in Reg has no station, so
            // no agent would ever carry its command.
            if (!t.estacion)
                continue;
            const bool sameRole = t.tipo == zone.tipo;
            const QString texto = sameRole
                                      ? KeyText(nroLlave)
                                      : KeyText(nroLlave) + OrZero(t.horario) + OrZero(t.horario2);
            PostCommand(*t.estacion, t.reader, sameRole ? kBaja : kAlta, texto);
        }
    }
}

void TDM::QueueClockSync(const TTR& reader) {
    const QDateTime now = m_clock();
    InsertCommand(Station(), reader.Id, QStringLiteral("SINCRO"), ClockSyncText(now), now);
    Pause();
}

void TDM::ReturnKey(qint32 idIngresante, std::optional<qint32> returned) {
    ThreadConnection& c = Current();
    const qsizetype queued = c.commands.size();
    try {
        ReturnKeyIn(c, idIngresante, returned);
    } catch (...) {
        // The commands of a failed step are dropped with its changes.
        c.commands.resize(std::min(queued, c.commands.size()));
        throw;
    }
    // Once its transaction has ended (a return of its own, outside a pass):
    // the "BAJA" rows are posted now, not left for the next post.
    if (c.transactionDepth == 0)
        PostQueuedCommands();
}

void TDM::ReturnKeyIn(ThreadConnection& c, qint32 idIngresante, std::optional<qint32> returned) {
    const QSqlDatabase db = Db();
    TTransaction t(db, Driver(), c.transactionDepth, QStringLiteral("INGRESAN"));
    std::optional<qint32> key;
    std::optional<QDateTime> assigned;
    {
        // Locked until the commit (SQLite's write lock is taken at BEGIN): a
        // front end that assigns a key meanwhile waits for the return, or
        // the return reads the key it assigned.
        TSqlStatement q(
            db, QString::fromLatin1(Sql::kLocateIngresante) + TSqlDialect::RowLockClause(Driver()),
            QStringLiteral("INGRESAN"));
        q.Bind(QStringLiteral("Id"), idIngresante);
        q.Exec();
        if (q.Next()) {
            key = q.OptInt(QStringLiteral("NroLlave"));
            assigned = q.OptDateTime(QStringLiteral("UltimaAsignacion"));
        }
    }
    // A holder that is gone, or has no key any more, or holds another key
    // than the one handed back at the door (the front end assigned it since):
    // there is no key to take back, no assignment to close and nothing to
    // remove from the readers.
    if (!key || (returned && *key != *returned)) {
        t.Commit();
        return;
    }
    {
        TSqlStatement q(db, Sql::kClearIngresanteKey, QStringLiteral("INGRESAN"));
        q.Bind(QStringLiteral("Id"), idIngresante);
        q.Bind(QStringLiteral("NroLlave"), *key);
        q.Exec();
        if (q.RowsAffected() == 0) {
            // Changed between the read and the clear (an engine that did not
            // lock the row): the new key stays, and so does its assignment.
            t.Commit();
            return;
        }
    }
    if (assigned) {
        // Located by value rather than by text, so that an assignment written
        // by another program in another date format is found all the same,
        // and compared to the millisecond the agent reads: a front end that
        // keeps finer fractions in both fields still matches. The row is then
        // stamped by its identity, not by a date the agent would write back
        // rounded.
        const QString rowId = TSqlDialect::RowIdColumn(Driver());
        QList<QVariant> matches;
        {
            // Locked until the commit: a row the front end updated meanwhile
            // would have moved (PostgreSQL's ctid) and go unstamped.
            TSqlStatement q(db,
                            QString::fromLatin1(Sql::kSelectLlaveRows).arg(rowId) +
                                TSqlDialect::RowLockClause(Driver()),
                            QStringLiteral("LLAVE"));
            q.Bind(QStringLiteral("NroLlave"), *key);
            q.Exec();
            while (q.Next()) {
                const std::optional<QDateTime> at =
                    q.OptDateTime(QStringLiteral("FechaAsignacion"));
                if (at && at->toMSecsSinceEpoch() == assigned->toMSecsSinceEpoch())
                    matches << q.Value(QStringLiteral("Fila"));
            }
        }
        const QDateTime now = m_clock();
        for (const QVariant& fila : matches) {
            TSqlStatement q(db, QString::fromLatin1(Sql::kStampLlaveRow).arg(rowId),
                            QStringLiteral("LLAVE"));
            q.Bind(QStringLiteral("Devolucion"), now);
            q.Bind(QStringLiteral("Fila"), fila);
            q.Exec();
        }
    }
    if (DisableOnExit()) {
        QStringList readers;
        {
            TSqlStatement q(db, Sql::kQryIngregHolder, QStringLiteral("INGREG"));
            q.Bind(QStringLiteral("xI"), idIngresante);
            q.Exec();
            while (q.Next()) readers << q.Str(QStringLiteral("IdRegistrador"));
        }
        for (const QString& r : readers) {
            PostCommand(Station(), r, kBaja, KeyText(*key));
        }
    }
    t.Commit();
}

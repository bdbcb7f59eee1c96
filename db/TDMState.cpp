// TDM: the station's state in the shared database (AGESTACION, AGESTADO), so
// that whoever looks after every station sees each reader without walking to
// its station PC.

#include <QSqlDatabase>

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSchema.h"
#include "db/TSqlStatement.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"

namespace {

const QString kEstacion = QStringLiteral("AGESTACION");
const QString kEstado = QStringLiteral("AGESTADO");

QVariant Moment(const QDateTime& t) {
    return t.isValid() ? QVariant(t) : QVariant();
}

}  // namespace

// As for AGPENDIENTE (TDMPending.cpp): run when a connection is opened,
// outside any transaction. The state is auxiliary: where the tables may not
// be made the agent goes on without them.
void TDM::EnsureStateTables(ThreadConnection& c) {
    const QSqlDatabase db = QSqlDatabase::database(c.name, false);
    try {
        c.stateTables = TSchema::HasTable(db, kEstacion) && TSchema::HasTable(db, kEstado);
        if (!c.stateTables) {
            TSchema::Upgrade(db, Alias().Driver());
            c.stateTables = TSchema::HasTable(db, kEstacion) && TSchema::HasTable(db, kEstado);
        }
    } catch (const Exception&) {
        c.stateTables = false;  // said below, once per run
    }
    if (c.stateTables)
        return;
    {
        QMutexLocker lock(&m_mutex);
        if (m_noStateNoticed)
            return;
        m_noStateNoticed = true;
    }
    Notice(QStringLiteral(
        "Faltan las tablas AGESTACION y AGESTADO en la base de datos y no pudieron crearse: el "
        "estado de la estación y de sus registradores no se publica (\"kelvordb estado\" no la "
        "mostrará). Para activarlas ejecute \"kelvordb upgrade\""));
}

bool TDM::StateTablesOn() {
    return Current().stateTables;
}

bool TDM::WriteStationState(const AgentState& agent, const QList<ReaderState>& readers) {
    // Never opens a connection for itself: with the database unreachable the
    // cycle's own reconnection already waits for it once.
    ThreadConnection* open = FindCurrent();
    if (!open || !open->stateTables)
        return false;
    ThreadConnection& c = *open;
    const QSqlDatabase db = QSqlDatabase::database(c.name, false);
    // Every reader row of this write carries the same stamp; the rows of the
    // station without it are readers that left the station's collection. The
    // stamp differs from the last write's even when the clock stood still or
    // went back, or a row of that write would be taken for this one's.
    QDateTime stamp = m_clock();
    if (c.lastStateStamp.isValid() && stamp <= c.lastStateStamp)
        stamp = c.lastStateStamp.addMSecs(1);
    TTransaction t(db, Driver(), c.transactionDepth, kEstado);
    {
        TStatementCache::Handle q =
            c.statements->Get(QString::fromLatin1(Sql::kUpsertAgEstacion), kEstacion);
        q->Bind(QStringLiteral("IdEstacion"), agent.estacion);
        q->Bind(QStringLiteral("Equipo"), agent.equipo);
        q->Bind(QStringLiteral("Proceso"), agent.proceso);
        q->Bind(QStringLiteral("Version"), agent.version);
        q->Bind(QStringLiteral("Ciclo"), agent.ciclo);
        q->Bind(QStringLiteral("FinCiclo"), Moment(agent.finCiclo));
        q->Bind(QStringLiteral("Respondieron"), agent.respondieron);
        q->Bind(QStringLiteral("ConLinea"), agent.conLinea);
        q->Exec();
    }
    for (const ReaderState& r : readers) {
        TStatementCache::Handle q =
            c.statements->Get(QString::fromLatin1(Sql::kUpsertAgEstado), kEstado);
        q->Bind(QStringLiteral("IdEstacion"), agent.estacion);
        q->Bind(QStringLiteral("IdRegistrador"), r.id);
        q->Bind(QStringLiteral("Virtual"), r.virtualReader);
        q->Bind(QStringLiteral("Respondio"), r.answered);
        q->Bind(QStringLiteral("UltimoContacto"), Moment(r.lastContact));
        q->Bind(QStringLiteral("UltimoResultado"), r.lastResult);
        q->Bind(QStringLiteral("FechaResultado"), Moment(r.lastResultAt));
        q->Bind(QStringLiteral("DiferenciaReloj"),
                r.clockDiffMin ? QVariant(qint64(*r.clockDiffMin)) : QVariant());
        q->Bind(QStringLiteral("Almacenadas"), r.stored);
        q->Bind(QStringLiteral("ComandosEnviados"), r.delivered);
        q->Bind(QStringLiteral("ComandosFallidos"), r.failed);
        q->Bind(QStringLiteral("FechaHora"), stamp);
        q->Exec();
    }
    {
        TStatementCache::Handle q =
            c.statements->Get(QString::fromLatin1(Sql::kDeleteAgEstadoOthers), kEstado);
        q->Bind(QStringLiteral("IdEstacion"), agent.estacion);
        q->Bind(QStringLiteral("FechaHora"), stamp);
        q->Exec();
    }
    t.Commit();
    c.lastStateStamp = stamp;
    return true;
}

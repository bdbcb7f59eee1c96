// TDM: the storing of registrations (REGISTRA and its twin RegExp, the visit
// bookkeeping of VISACT, the move of REGSIM).

#include <QRegularExpression>
#include <algorithm>

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"

namespace {

const QString kFichadas = QStringLiteral("FICHADAS");
const QString kAgente = QStringLiteral("Agente");
const QString kVisita = QStringLiteral("VISITA");
const QString kEntHab = QStringLiteral("ENTHAB");
const QString kSalHab = QStringLiteral("SALHAB");
constexpr qint32 kNoKey = 99999;  // what a reader reports for a request without a key

// The state code of a reader's state text, and the number the follow-up steps
// look at (none when the text is not a decimal number).
struct Classified {
    QString codEstado;
    std::optional<int> numeric;
};

Classified Classify(const QString& estado, bool hta) {
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    if (!decimal.match(estado).hasMatch())
        return {estado, std::nullopt};
    int n = estado.toInt();
    if (hta && n == 20)
        n = 11;  // an enabled entry on that kind of reader
    switch (n) {
        case 11:
            return {kEntHab, n};
        case 12:
            return {QStringLiteral("ENTINHAB"), n};
        case 13:
            return {QStringLiteral("PABIERTA"), n};
        case 14:
            return {QStringLiteral("PFORZADA"), n};
        case 15:
            return {QStringLiteral("PSINUSO"), n};
        case 21:
            return {kSalHab, n};
        case 22:
            return {QStringLiteral("SALINHAB"), n};
        default:
            return {estado, n};
    }
}

// The values shared by a REGISTRA row and its RegExp twin.
struct Registration {
    qint32 id = 0;
    QVariant fechaHora, idRegistrador, nroLlave, idIngresante, responsable, codEstado;
};

void Insert(TSqlStatement& q, const Registration& r, const QDateTime& modificado, bool ack) {
    q.Bind(QStringLiteral("Id"), r.id);
    q.Bind(QStringLiteral("FechaHora"), r.fechaHora);
    q.Bind(QStringLiteral("IdRegistrador"), r.idRegistrador);
    q.Bind(QStringLiteral("NroLlave"), r.nroLlave);
    q.Bind(QStringLiteral("IdIngresante"), r.idIngresante);
    q.Bind(QStringLiteral("Modificado"), modificado);
    q.Bind(QStringLiteral("Responsable"), r.responsable);
    q.Bind(QStringLiteral("ACK"), ack);
    q.Bind(QStringLiteral("CodEstado"), r.codEstado);
    q.Exec();
}

// The storing statements, held once so the statement cache finds them by
// their storage (TStatementCache).
const QString& InsertRegistraSql() {
    static const QString text = QString::fromLatin1(Sql::kInsertRegistra);
    return text;
}
const QString& InsertRegExpSql() {
    static const QString text = QString::fromLatin1(Sql::kInsertRegExp);
    return text;
}

QVariant Optional(const std::optional<qint32>& v) {
    return v ? QVariant(*v) : QVariant();
}

}  // namespace

// A pass is one transaction: a failure anywhere stores nothing, and the caller
// (which clears the reader only after a normal return) gets every
// registration back for the next pass.
//
// Its ids are drawn first, as one block in a transaction of their own that is
// committed before the pass begins: the counter row, which every station and
// the front-end draw from, is then locked for a few statements rather than
// for the whole pass, and a failed pass cannot roll back an advance that
// others may already have built on (it leaves a gap instead). A failed pass
// may have failed on ids already used (a counter set back, rows imported, a
// program that advanced the counter carelessly): the next block on this
// connection therefore starts past the highest Id in REGISTRA and RegExp.
void TDM::StorePass(const QString& subject, qint32 ids, const std::function<void()>& pass) {
    ThreadConnection& c = Current();
    c.nextId = c.endId = 0;
    c.antiPassBack.reset();
    if (ids > 0) {
        const qint32 first = GetNewIds(kFichadas, ids, c.drawPastUsed);
        if (first == 0)
            throw EIdError(QStringLiteral("No pudo obtenerse el id"));
        c.nextId = first;
        c.endId = first + ids;
    }
    // Commands the pass generates wait for its commit (see PostCommand);
    // those of a failed pass are dropped with its rows, so none is left
    // half-queued for a pass that is going to be repeated.
    const qsizetype queued = c.commands.size();
    try {
        // Batched: on PostgreSQL the pass's statements travel together.
        TTransaction t(Db(), Driver(), c.transactionDepth, subject, true);
        c.inPass = true;
        pass();
        t.Commit();
        c.inPass = false;
    } catch (...) {
        c.commands.resize(std::min(queued, c.commands.size()));
        c.inPass = false;
        c.nextId = c.endId = 0;
        if (ids > 0)
            c.drawPastUsed = true;
        throw;
    }
    c.nextId = c.endId = 0;
    if (ids > 0)
        c.drawPastUsed = false;
    if (c.transactionDepth == 0)
        PostQueuedCommands();
}

qint32 TDM::DrawId() {
    ThreadConnection& c = Current();
    if (c.nextId == 0 || c.nextId >= c.endId)
        throw EIdError(QStringLiteral("No pudo obtenerse el id"));
    return c.nextId++;
}

qint32 TDM::IdsLeft() {
    const ThreadConnection& c = Current();
    return c.endId - c.nextId;
}

void TDM::StoreRegistrations(const TTR& reader, const TListaFichadas& list) {
    if (list.Count() == 0)
        return;
    StorePass(QStringLiteral("REGISTRA"), qint32(list.Count()), [&] {
        for (const TFichada& f : list) StoreEntry(reader, f);
    });
}

void TDM::StoreEntry(const TTR& reader, const TFichada& f) {
    {
        {
            const qint32 key = f.NroLlave();
            Registration r;
            r.id = DrawId();
            r.fechaHora = f.FechaHora();
            r.idRegistrador = reader.Id;
            r.nroLlave = key == kNoKey ? -1 : key;
            QString tipo;
            const qint32 holder = FindKeyHolder(key, tipo);
            r.idIngresante = holder;
            const QDateTime modRegistra = m_clock();
            const QDateTime modRegExp = m_clock();
            r.responsable = kAgente;
            const Classified state = Classify(f.GetEstado(), reader.Hta);
            r.codEstado =
                state.numeric && key == kNoKey ? QStringLiteral("REQEX") : state.codEstado;
            Insert(*Statement(InsertRegistraSql(), QStringLiteral("REGISTRA")), r, modRegistra,
                   false);
            Insert(*Statement(InsertRegExpSql(), QStringLiteral("RegExp")), r, modRegExp, false);

            // Follow-up steps use the key number as read, 99999 included.
            const bool entry = state.numeric == 11;
            const bool exit = state.numeric == 21;
            const bool ordinaryKey = key != 0 && !IsMasterKey(key);
            if (ordinaryKey && (tipo != kVisita || DisableOnExit()) && (entry || exit))
                QueueAntiPassBack(key, reader);
            if (reader.CtrlActivo) {
                if (entry)
                    EnterVisit(key, f.FechaHora(), reader.Id, holder);
                if (exit) {
                    ExitVisit(key, f.FechaHora(), reader.Id);
                    if (ordinaryKey && tipo == kVisita)
                        ReturnKey(holder, key);
                }
            }
        }
    }
}

void TDM::StoreVirtualRegistrations(const TTR& reader) {
    // Rows whose values cannot be read as their types are set aside, left in
    // REGSIM and reported after the others were stored, so that one bad row
    // written by another program does not hold back every simulated
    // registration in every cycle.
    QStringList unreadable;
    // The block covers the rows present now; rows added before the pass
    // locks them beyond that are left for the next pass.
    qint32 present = 0;
    {
        TSqlStatement count(Db(), Sql::kCountRegSim, QStringLiteral("REGSIM"));
        count.Exec();
        if (count.Next())
            present = count.IntOr0(QStringLiteral("N"));
    }
    StorePass(QStringLiteral("REGSIM"), present, [&] {
        const QSqlDatabase db = Db();
        const TSqlDriver driver = Driver();
        const QString rowId = TSqlDialect::RowIdColumn(driver);
        struct SimRow {
            QVariant fila;
            Registration r;
            std::optional<qint32> key;
        };
        QList<SimRow> rows;
        {
            // The rows present now, locked until the pass ends; rows that
            // other programs add meanwhile are left for the next pass.
            TSqlStatement sel(db,
                              QString::fromLatin1(Sql::kSelectRegSim)
                                  .arg(rowId, TSqlDialect::RowLockClause(driver)),
                              QStringLiteral("REGSIM"));
            sel.Exec();
            while (qsizetype(rows.size()) < IdsLeft() && sel.Next()) {
                SimRow s;
                s.fila = sel.Value(QStringLiteral("Fila"));
                try {
                    const std::optional<QDateTime> at =
                        sel.OptDateTime(QStringLiteral("FechaHora"));
                    s.r.fechaHora = at ? QVariant(*at) : QVariant();
                    s.key = sel.OptInt(QStringLiteral("NroLlave"));
                    s.r.nroLlave = Optional(s.key);
                    s.r.idIngresante = Optional(sel.OptInt(QStringLiteral("IdIngresante")));
                } catch (const Exception& e) {
                    unreadable << e.Message();
                    continue;
                }
                s.r.idRegistrador = sel.Value(QStringLiteral("IdRegistrador"));
                s.r.responsable = sel.Value(QStringLiteral("Responsable"));
                s.r.codEstado = sel.Value(QStringLiteral("CodEstado"));
                rows << s;
            }
        }
        for (SimRow& s : rows) {
            s.r.id = DrawId();
            Insert(*Statement(InsertRegistraSql(), QStringLiteral("REGISTRA")), s.r, m_clock(),
                   false);
            Insert(*Statement(InsertRegExpSql(), QStringLiteral("RegExp")), s.r, m_clock(), false);
            if (!reader.CtrlActivo)
                continue;
            const QString cod = s.r.codEstado.toString();
            if (cod == kEntHab) {
                EnterVisit(s.r.nroLlave, s.r.fechaHora, s.r.idRegistrador, s.r.idIngresante);
            } else if (cod == kSalHab) {
                ExitVisit(s.r.nroLlave, s.r.fechaHora, s.r.idRegistrador);
                // A visitor who leaves through a virtual door gives the key
                // back as through a real one: otherwise the key would stay
                // assigned, and enrolled, after the visit was closed.
                if (s.key && *s.key != 0 && !IsMasterKey(*s.key)) {
                    QString tipo;
                    const qint32 holder = FindKeyHolder(*s.key, tipo);
                    if (tipo == kVisita)
                        ReturnKey(holder, *s.key);
                }
            }
        }
        if (m_afterVirtualCopy)
            m_afterVirtualCopy();
        for (const SimRow& s : rows) {
            TStatementCache::Handle del = Statement(
                QString::fromLatin1(Sql::kDeleteRegSimRow).arg(rowId), QStringLiteral("REGSIM"));
            del->Bind(QStringLiteral("Fila"), s.fila);
            del->Exec();
        }
    });
    if (!unreadable.isEmpty())
        throw EDatabaseError(
            QStringLiteral("REGSIM: %1 fila/s ilegible/s quedan en la tabla; la primera: %2")
                .arg(unreadable.size())
                .arg(unreadable.first()));
}

void TDM::StoreSynthetic(const TTR& reader, const QString& codEstado, bool ackRegistra,
                         bool ackRegExp) {
    StorePass(QStringLiteral("REGISTRA"), 1, [&] {
        Registration r;
        r.id = DrawId();
        r.fechaHora = m_clock();
        r.idRegistrador = reader.Id;
        r.nroLlave = 0;
        r.idIngresante = -1;
        r.responsable = kAgente;
        r.codEstado = codEstado;
        Insert(*Statement(InsertRegistraSql(), QStringLiteral("REGISTRA")), r, m_clock(),
               ackRegistra);
        Insert(*Statement(InsertRegExpSql(), QStringLiteral("RegExp")), r, m_clock(), ackRegExp);
    });
}

void TDM::StoreOutOfHours(const TTR& reader) {
    StoreSynthetic(reader, QStringLiteral("FUEHOR"), true, true);
}

void TDM::StoreMemoryError(const TTR& reader) {
    StoreSynthetic(reader, QStringLiteral("MEMERR"), false, true);
}

void TDM::EnterVisit(const QVariant& nroLlave, const QVariant& fechaHora, const QVariant& reader,
                     const QVariant& idIngresante) {
    {
        TStatementCache::Handle end =
            Statement(QString::fromLatin1(Sql::kVisactEndEarlier), QStringLiteral("VISACT"));
        end->Bind(QStringLiteral("PLLAVE"), nroLlave);
        end->Exec();
    }
    TStatementCache::Handle handle =
        Statement(QString::fromLatin1(Sql::kVisactInsert), QStringLiteral("VISACT"));
    TSqlStatement& insert = *handle;
    insert.Bind(QStringLiteral("pFechaHora"), fechaHora);
    insert.Bind(QStringLiteral("pIdRegistrador"), reader);
    insert.Bind(QStringLiteral("pNroLlave"), nroLlave);
    insert.Bind(QStringLiteral("pIdIngresante"), idIngresante);
    insert.Bind(QStringLiteral("pModificado"), m_clock());
    insert.Bind(QStringLiteral("pACK"), false);
    insert.Bind(QStringLiteral("pCodEstado"), kEntHab);
    insert.Bind(QStringLiteral("pPRES"), true);
    insert.Exec();
}

void TDM::ExitVisit(const QVariant& nroLlave, const QVariant& fechaHora, const QVariant& reader) {
    TStatementCache::Handle handle =
        Statement(QString::fromLatin1(Sql::kVisactExit), QStringLiteral("VISACT"));
    TSqlStatement& exit = *handle;
    exit.Bind(QStringLiteral("PLLAVE"), nroLlave);
    exit.Bind(QStringLiteral("pFH"), fechaHora);
    exit.Bind(QStringLiteral("pPRES"), false);
    exit.Bind(QStringLiteral("pRegSal"), reader);
    exit.Exec();
}

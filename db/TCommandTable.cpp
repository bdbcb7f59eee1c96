#include "db/TCommandTable.h"

#include <limits>

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "shell/Errors.h"
#include "shell/TextLimits.h"

namespace {
const QString kSubject = QStringLiteral("COMANDO");

// A null text has no length (0); a length the engine reports as anything but
// a number counts as over every bound, so that the row is refused rather
// than acted on.
qint64 Length(const QVariant& value) {
    if (value.isNull())
        return 0;
    bool ok = false;
    const qint64 n = value.toLongLong(&ok);
    return ok ? n : std::numeric_limits<qint64>::max();
}
}  // namespace

QString TCommandTable::SelectStatement() {
    return QString::fromLatin1(Sql::kSelectComandos)
        .arg(TextLimits::kCommandText)
        .arg(TextLimits::kField);
}

const QString& TCommandTable::PassStatement() {
    // One text for the process: the statement cache keeps it prepared.
    static const QString text = QString::fromLatin1(Sql::kSelectComandosPass)
                                    .arg(TextLimits::kCommandText)
                                    .arg(TextLimits::kField);
    return text;
}

TCommandTable::TCommandTable(TDM& dm, std::optional<Scope> scope) : m_dm(dm), m_scope(scope) {
    Read();
    if (!m_scope)
        m_recordCount = int(m_rows.size());
}

void TCommandTable::Read() {
    if (m_scope) {
        ReadScope();
        return;
    }
    TSqlStatement q(m_dm.Db(), SelectStatement(), kSubject);
    q.Exec();
    QList<Row> rows;
    while (q.Next()) {
        rows << Row{q.Value(QStringLiteral("Id")),
                    q.Value(QStringLiteral("IdEstacion")),
                    q.Value(QStringLiteral("IdRegistrador")),
                    q.Value(QStringLiteral("CodComando")),
                    q.Value(QStringLiteral("Texto")),
                    q.Value(QStringLiteral("FechaHora")),
                    Length(q.Value(QStringLiteral("LargoIdRegistrador"))),
                    Length(q.Value(QStringLiteral("LargoCodComando"))),
                    Length(q.Value(QStringLiteral("LargoTexto")))};
    }
    m_rows = rows;
    m_rowsRead = rows.size();
    m_index = 0;
}

// One statement (one transaction, one round trip) for the count and the rows,
// which an idle cycle pays once.
void TCommandTable::ReadScope() {
    const Scope& s = *m_scope;
    // A station above 100 keeps station 100's rows, which stand before its own,
    // and passes over those of the stations in between: the whole rest.
    const bool above100 = s.estacion > 100;
    TStatementCache::Handle q =
        m_dm.Statement(PassStatement(), kSubject);
    q->Bind(QStringLiteral("Hasta"), qMax<qint64>(s.countUpTo, 1));
    q->Bind(QStringLiteral("Desde"), above100 ? 100 : s.estacion);
    q->Bind(QStringLiteral("Filas"),
            above100 ? qint64(std::numeric_limits<qint32>::max()) : qMax<qint64>(s.rows, 1));
    q->Exec();
    QList<Row> rows;
    std::optional<qint32> total;
    while (q->Next()) {
        if (!total)
            total = q->OptInt(QStringLiteral("Total"));
        if (q->IsNull(QStringLiteral("Id")))
            continue;  // the count's own row: no command found
        rows << Row{q->Value(QStringLiteral("Id")),
                    q->Value(QStringLiteral("IdEstacion")),
                    q->Value(QStringLiteral("IdRegistrador")),
                    q->Value(QStringLiteral("CodComando")),
                    q->Value(QStringLiteral("Texto")),
                    q->Value(QStringLiteral("FechaHora")),
                    Length(q->Value(QStringLiteral("LargoIdRegistrador"))),
                    Length(q->Value(QStringLiteral("LargoCodComando"))),
                    Length(q->Value(QStringLiteral("LargoTexto")))};
    }
    if (!m_readOnce)  // the count is the one the cursor opened with
        m_recordCount = total.value_or(0);
    m_readOnce = true;
    m_rows = rows;
    m_rowsRead = rows.size();
    m_index = 0;
}

void TCommandTable::First() {
    Read();
}

void TCommandTable::First(qint64 rows) {
    if (m_scope)
        m_scope->rows = rows;
    Read();
}

void TCommandTable::Next() {
    if (!Eof())
        ++m_index;
}

const TCommandTable::Row& TCommandTable::CurrentRow() const {
    if (Eof())
        throw Exception(QStringLiteral("No hay un comando actual en la tabla COMANDO"));
    return m_rows[m_index];
}

qint32 TCommandTable::IdEstacion() const {
    return TSqlStatement::ToInt(CurrentRow().idEstacion, QStringLiteral("COMANDO.IdEstacion"))
        .value_or(0);
}

QString TCommandTable::IdRegistrador() const {
    return TSqlStatement::ToStr(CurrentRow().idRegistrador).value_or(QString());
}

QString TCommandTable::CodComando() const {
    return TSqlStatement::ToStr(CurrentRow().codComando).value_or(QString());
}

QString TCommandTable::Texto() const {
    return TSqlStatement::ToStr(CurrentRow().texto).value_or(QString());
}

QDateTime TCommandTable::FechaHora() const {
    return TSqlStatement::ToDateTime(CurrentRow().fechaHora, QStringLiteral("COMANDO.FechaHora"))
        .value_or(QDateTime());
}

QString TCommandTable::RowId() const {
    return CurrentRow().id.toString();
}

QString TCommandTable::Oversize() const {
    const Row& row = CurrentRow();
    const struct {
        const char* what;
        qint64 length;
        qsizetype max;
    } fields[] = {
        {"el texto", row.largoTexto, TextLimits::kCommandText},
        {"el registrador", row.largoIdRegistrador, TextLimits::kField},
        {"el código", row.largoCodComando, TextLimits::kField},
    };
    for (const auto& f : fields) {
        if (f.length > f.max) {
            return QStringLiteral("%1 tiene %2 caracteres (el máximo es %3)")
                .arg(QLatin1String(f.what))
                .arg(f.length)
                .arg(f.max);
        }
    }
    return {};
}

void TCommandTable::Delete() {
    const Row& row = CurrentRow();
    TStatementCache::Handle q = m_dm.Statement(QString::fromLatin1(Sql::kDeleteComando), kSubject);
    q->Bind(QStringLiteral("Id"), row.id);
    q->Exec();
    m_rows.removeAt(m_index);
}

void TCommandTable::Restamp(const QDateTime& when) {
    const Row& row = CurrentRow();
    TSqlStatement q(m_dm.Db(), Sql::kRestampComando, kSubject);
    q.Bind(QStringLiteral("FechaHora"), when);
    q.Bind(QStringLiteral("Id"), row.id);
    q.Exec();
    m_rows[m_index].fechaHora = TSqlStatement::DateTimeText(when);
}

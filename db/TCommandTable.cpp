#include "db/TCommandTable.h"

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "shell/Errors.h"

namespace {
const QString kSubject = QStringLiteral("COMANDO");
}

TCommandTable::TCommandTable(TDM& dm) : m_dm(dm) {
    Read();
    m_recordCount = int(m_rows.size());
}

void TCommandTable::Read() {
    TSqlStatement q(m_dm.Db(), Sql::kSelectComandos, kSubject);
    q.Exec();
    QList<Row> rows;
    while (q.Next()) {
        rows << Row{q.Value(QStringLiteral("Id")),
                    q.Value(QStringLiteral("IdEstacion")),
                    q.Value(QStringLiteral("IdRegistrador")),
                    q.Value(QStringLiteral("CodComando")),
                    q.Value(QStringLiteral("Texto")),
                    q.Value(QStringLiteral("FechaHora"))};
    }
    m_rows = rows;
    m_index = 0;
}

void TCommandTable::First() {
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

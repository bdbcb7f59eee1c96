// TDM: the note of each reader's last stored pass (AGPENDIENTE), which keeps
// a pass that is read again after a lost erase from being stored twice.

#include <QSqlDatabase>

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"

namespace {

const QString kPendiente = QStringLiteral("AGPENDIENTE");
constexpr int kRecordHex = 36;  // one 18-byte record as hexadecimal digits

QString Encode(const QList<QByteArray>& records) {
    QByteArray out;
    for (const QByteArray& r : records) out += r.toHex();
    return QString::fromLatin1(out);
}

QList<QByteArray> Decode(const QString& text, const QString& reader) {
    const QByteArray hex = text.toLatin1();
    if (hex.size() % kRecordHex != 0)
        throw EConvertError(
            QStringLiteral("AGPENDIENTE.Registros de %1 no es una lista de registros").arg(reader));
    QList<QByteArray> out;
    for (qsizetype i = 0; i < hex.size(); i += kRecordHex)
        out << QByteArray::fromHex(hex.mid(i, kRecordHex));
    return out;
}

bool StartsWith(const QList<QByteArray>& records, const QList<QByteArray>& note) {
    if (note.isEmpty() || note.size() > records.size())
        return false;
    for (qsizetype i = 0; i < note.size(); ++i) {
        if (records[i] != note[i])
            return false;
    }
    return true;
}

}  // namespace

// Checked before the note is used, outside any transaction (a failed
// statement would spoil a PostgreSQL transaction for the check itself), so a
// database made before the note existed is named as such.
void TDM::RequirePendingTable() {
    ThreadConnection& c = Current();
    if (c.pendingTableSeen)
        return;
    if (!Db().tables(QSql::Tables).contains(kPendiente, Qt::CaseInsensitive))
        throw EDatabaseError(
            QStringLiteral("Falta la tabla AGPENDIENTE en la base de datos; "
                           "créela con \"kelvordb upgrade\""));
    c.pendingTableSeen = true;
}

QList<QByteArray> TDM::PendingRecords(const QString& idRegistrador) {
    RequirePendingTable();
    TSqlStatement q(Db(), Sql::kSelectPendiente, kPendiente);
    q.Bind(QStringLiteral("IdRegistrador"), idRegistrador);
    q.Exec();
    if (!q.Next())
        return {};
    return Decode(q.Str(QStringLiteral("Registros")), idRegistrador);
}

void TDM::ClearPending(const QString& idRegistrador) {
    RequirePendingTable();
    TSqlStatement q(Db(), Sql::kDeletePendiente, kPendiente);
    q.Bind(QStringLiteral("IdRegistrador"), idRegistrador);
    q.Exec();
}

qsizetype TDM::StoreRegistrations(const TTR& reader, const TListaFichadas& list,
                                  const QList<QByteArray>& records) {
    if (records.isEmpty() && list.Count() == 0)
        return 0;
    RequirePendingTable();
    qsizetype skipped = 0;
    // Ids for every entry: those skipped as already stored leave a gap.
    StorePass(QStringLiteral("REGISTRA"), qint32(list.Count()), [&] {
        const QList<QByteArray> note = PendingRecords(reader.Id);
        skipped = StartsWith(records, note) ? note.size() : 0;
        for (qsizetype i = 0; i < list.Count(); ++i) {
            if (list.SourceRecord(i) >= skipped)
                StoreEntry(reader, list[i]);
        }
        const QSqlDatabase db = Db();
        TSqlStatement del(db, Sql::kDeletePendiente, kPendiente);
        del.Bind(QStringLiteral("IdRegistrador"), reader.Id);
        del.Exec();
        TSqlStatement ins(db, Sql::kInsertPendiente, kPendiente);
        ins.Bind(QStringLiteral("IdRegistrador"), reader.Id);
        ins.Bind(QStringLiteral("Registros"), Encode(records));
        ins.Bind(QStringLiteral("FechaHora"), m_clock());
        ins.Exec();
        if (m_afterPendingHook)
            m_afterPendingHook();
    });
    return skipped;
}

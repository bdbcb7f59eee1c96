// TDM: the note of each reader's last stored pass (AGPENDIENTE), which keeps
// a pass that is read again after a lost erase from being stored twice.

#include <QRegularExpression>
#include <QSqlDatabase>

#include "db/Statements.h"
#include "db/TDM.h"
#include "db/TSchema.h"
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
    static const QRegularExpression digits(QStringLiteral("^[0-9A-Fa-f]*$"));
    if (hex.size() % kRecordHex != 0 || !digits.match(text).hasMatch())
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

// Run when a connection is opened, outside any transaction (a failed
// statement would spoil a PostgreSQL transaction): a database that the front
// end made has no table of the agent's, and the note is what keeps a pass
// read again after a lost erase from being stored twice. An unqualified
// CREATE puts it where the engine looks first: the SQLite file, the first
// schema of PostgreSQL's search path. Where it may not be created the main
// job goes on without the note.
void TDM::EnsurePendingTable(ThreadConnection& c) {
    const QSqlDatabase db = QSqlDatabase::database(c.name, false);
    try {
        if (!TSchema::HasTable(db, kPendiente))
            TSchema::Upgrade(db, Alias().Driver());
        c.pendingTable = TSchema::HasTable(db, kPendiente);
    } catch (const Exception&) {
        c.pendingTable = false;  // said below, once per run
    }
    if (c.pendingTable)
        return;
    {
        QMutexLocker lock(&m_mutex);
        if (m_noPendingNoticed)
            return;
        m_noPendingNoticed = true;
    }
    Notice(
        QStringLiteral("Falta la tabla AGPENDIENTE en la base de datos y no pudo crearse: las "
                       "registraciones se almacenan sin la nota, y no quedan protegidas contra "
                       "un segundo almacenamiento si se interrumpe el borrado de un "
                       "registrador. Para activarla ejecute \"kelvordb upgrade\""));
}

void TDM::Notice(const QString& text) {
    QMutexLocker lock(&m_mutex);
    m_notices << text;
}

QStringList TDM::TakeNotices() {
    QMutexLocker lock(&m_mutex);
    QStringList out;
    out.swap(m_notices);
    return out;
}

bool TDM::PendingNoteOn() {
    return Current().pendingTable;
}

QList<QByteArray> TDM::PendingRecords(const QString& idRegistrador) {
    if (!PendingNoteOn())
        return {};
    ThreadConnection& c = Current();
    // Outside a pass only: inside one the note is read for what it holds now.
    const bool outside = c.transactionDepth == 0;
    if (outside && c.noNote.contains(idRegistrador))
        return {};
    QString text;
    {
        TStatementCache::Handle q =
            Statement(QString::fromLatin1(Sql::kSelectPendiente), kPendiente);
        q->Bind(QStringLiteral("IdRegistrador"), idRegistrador);
        q->Exec();
        if (!q->Next()) {
            if (outside)
                c.noNote.insert(idRegistrador);
            return {};
        }
        text = q->Str(QStringLiteral("Registros"));
    }
    return Decode(text, idRegistrador);
}

void TDM::ClearPending(const QString& idRegistrador) {
    if (!PendingNoteOn())
        return;
    ThreadConnection& c = Current();
    TSqlStatement q(Db(), Sql::kDeletePendiente, kPendiente);
    q.Bind(QStringLiteral("IdRegistrador"), idRegistrador);
    q.Exec();
    if (c.transactionDepth == 0)
        c.noNote.insert(idRegistrador);
}

qsizetype TDM::StoreRegistrations(const TTR& reader, const TListaFichadas& list,
                                  const QList<QByteArray>& records,
                                  const std::function<void()>& stored) {
    if (records.isEmpty() && list.Count() == 0)
        return 0;
    const bool noteOn = PendingNoteOn();
    // The pass writes the reader's note (or fails, leaving it as it was):
    // either way it is looked up again.
    Current().noNote.remove(reader.Id);
    qsizetype skipped = 0;
    QString notice;
    // Ids for every entry: those skipped as already stored leave a gap.
    StorePass(QStringLiteral("REGISTRA"), qint32(list.Count()), [&] {
        notice.clear();
        QList<QByteArray> note;
        if (noteOn) {
            // A note edited by hand or cut short says nothing reliable: it
            // is set aside (replaced below) so that it never holds its
            // reader back.
            try {
                note = PendingRecords(reader.Id);
            } catch (const EConvertError& e) {
                notice = QStringLiteral(
                             "%1; se descarta y se almacenan todas las registraciones "
                             "leídas")
                             .arg(e.Message());
            }
        }
        skipped = StartsWith(records, note) ? note.size() : 0;
        if (!note.isEmpty() && skipped == 0)
            notice = QStringLiteral(
                         "Las registraciones leídas del registrador %1 no comienzan con "
                         "las %2 ya almacenadas de su nota: se almacenan todas; las "
                         "anotadas pueden haberse almacenado dos veces si el registrador "
                         "no llegó a borrarlas")
                         .arg(reader.Id)
                         .arg(note.size());
        for (qsizetype i = 0; i < list.Count(); ++i) {
            if (list.SourceRecord(i) >= skipped) {
                StoreEntry(reader, list[i]);
                if (stored)
                    stored();
            }
        }
        if (noteOn) {
            {
                TStatementCache::Handle del =
                    Statement(QString::fromLatin1(Sql::kDeletePendiente), kPendiente);
                del->Bind(QStringLiteral("IdRegistrador"), reader.Id);
                del->Exec();
            }
            TStatementCache::Handle ins =
                Statement(QString::fromLatin1(Sql::kInsertPendiente), kPendiente);
            ins->Bind(QStringLiteral("IdRegistrador"), reader.Id);
            ins->Bind(QStringLiteral("Registros"), Encode(records));
            ins->Bind(QStringLiteral("FechaHora"), m_clock());
            ins->Exec();
        }
        if (m_afterPendingHook)
            m_afterPendingHook();
    });
    if (!notice.isEmpty())
        Notice(notice);
    return skipped;
}

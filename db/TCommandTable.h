#pragma once
// A cursor over the command queue COMANDO, in the order
// IdEstacion, FechaHora, Id: lower stations first, and within a station the
// oldest (or longest untried) command first. Made by TDM::OpenCommands.
//
// The whole table, or a pass's part of it (a Scope): the rows of station
// `estacion` on (lower stations are the agents' of other stations, which a
// pass passes over; station 100 is among them only for a station above 100,
// where nothing is left out), at most `rows` of them per read, through the
// index on (IdEstacion, FechaHora, Id) where the database has one. The pass
// needs no more: what it may take, the rows it passes over after a rewind,
// and the one row of a higher station that ends it.
//
// - RecordCount: all rows of all stations, counted when the cursor opened;
//   with a Scope counted up to `countUpTo` only (a larger table reads as
//   countUpTo), so the count costs no more than the rows.
// - First re-reads the table and stands on its first row, so a row that was
//   re-stamped (or added meanwhile) is found at its new place; First(rows)
//   re-reads a scoped cursor with a new row bound.
// - Delete removes the current row from the table at once; the cursor then
//   stands on the following row. A row that another agent removed first is
//   simply gone (the command was carried).
// - Restamp sets FechaHora of the current row and posts it at once; the
//   cursor stays on the row until First.
// - RowId identifies the current row for the life of the cursor.
// - Field reads: a null reads as 0 or an empty text; an IdEstacion that is
//   not a number is EConvertError. Reading at the end is an Exception.
// - Texts are read cut to their bounds (TextLimits: kCommandText for Texto,
//   kField for IdRegistrador and CodComando) with their whole lengths, so a
//   text of megabytes that another program wrote never reaches memory
//   whole. Oversize() says which field of the row is over its bound; the
//   caller refuses such a row instead of acting on a cut text.
// - Engine errors are EDatabaseError; the row then stays under the cursor.
//
// Thread: the thread that opened it (it works on that thread's connection).
// It holds no open statement between calls; destroying it closes it.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <optional>

class TDM;

class TCommandTable {
public:
    struct Scope {
        qint32 estacion;
        qint64 rows;       // at least 1
        qint64 countUpTo;  // at least 1
    };
    // Reads the table (or its scope); throws EDatabaseError.
    explicit TCommandTable(TDM& dm, std::optional<Scope> scope = std::nullopt);

    int RecordCount() const { return m_recordCount; }
    // How many rows the last read brought (at most the scope's bound).
    qsizetype RowsRead() const { return m_rowsRead; }
    bool Eof() const { return m_index >= m_rows.size(); }
    void First();
    void First(qint64 rows);
    void Next();

    qint32 IdEstacion() const;
    QString IdRegistrador() const;
    QString CodComando() const;
    QString Texto() const;
    QDateTime FechaHora() const;  // invalid when null
    // The row's generated number as text: tells rows apart across First.
    QString RowId() const;
    // Empty when every text of the row is within its bound; otherwise the
    // first field over it, in words: "el texto tiene 20971520 caracteres (el
    // máximo es 4096)".
    QString Oversize() const;

    // The statement that reads the table, texts cut to their bounds (the
    // database tool shows the queue through it too).
    static QString SelectStatement();
    // The command pass's statement (the count and the pass's rows), bounded
    // the same way.
    static const QString& PassStatement();

    void Delete();
    void Restamp(const QDateTime& when);

private:
    struct Row {
        QVariant id, idEstacion, idRegistrador, codComando, texto, fechaHora;
        qint64 largoIdRegistrador = 0, largoCodComando = 0, largoTexto = 0;
    };
    void Read();
    void ReadScope();
    const Row& CurrentRow() const;

    TDM& m_dm;
    std::optional<Scope> m_scope;
    QList<Row> m_rows;
    qsizetype m_rowsRead = 0;
    bool m_readOnce = false;
    qsizetype m_index = 0;
    int m_recordCount = 0;
};

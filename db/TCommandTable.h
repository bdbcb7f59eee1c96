#pragma once
// A cursor over the command queue COMANDO, in the order
// IdEstacion, FechaHora, Id: lower stations first, and within a station the
// oldest (or longest untried) command first. Made by TDM::OpenCommands.
//
// - RecordCount: all rows of all stations, counted when the cursor opened.
// - First re-reads the table and stands on its first row, so a row that was
//   re-stamped (or added meanwhile) is found at its new place.
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

class TDM;

class TCommandTable {
public:
    explicit TCommandTable(TDM& dm);  // reads the table; throws EDatabaseError

    int RecordCount() const { return m_recordCount; }
    bool Eof() const { return m_index >= m_rows.size(); }
    void First();
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

    void Delete();
    void Restamp(const QDateTime& when);

private:
    struct Row {
        QVariant id, idEstacion, idRegistrador, codComando, texto, fechaHora;
        qint64 largoIdRegistrador = 0, largoCodComando = 0, largoTexto = 0;
    };
    void Read();
    const Row& CurrentRow() const;

    TDM& m_dm;
    QList<Row> m_rows;
    qsizetype m_index = 0;
    int m_recordCount = 0;
};

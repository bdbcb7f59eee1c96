#pragma once
// Each reader of the station at a glance: the last contact, the last result,
// the reader's clock difference, the registrations stored and the commands
// delivered and failed since the agent started. The communication thread
// feeds it during a cycle; at the end of every cycle it is written to a small
// JSON status file (a temporary file and a rename, so that a reader of the
// file never sees half of it), which `agente --status` prints as a table.
//
// The readers listed are those of the station's last collection, in its
// order, followed by readers met only through commands (a command of the
// wildcard station). "Answered" counts the readers with a line (not virtual)
// that answered in the last cycle.
//
// Ownership: the agent owns one for its whole run, so that the counts survive
// a restart of the thread. Thread: one thread at a time (the communication
// thread during its cycle). Never throws; a file that cannot be written is
// told by EndCycle's result.

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

class ReaderStatus {
public:
    struct Reader {
        QString id;
        bool virtualReader = false;
        bool inStation = false;  // in the last cycle's collection
        bool answered = false;   // answered in the last cycle
        QDateTime lastContact;   // invalid: never
        QDateTime lastResultAt;
        QString lastResult;                  // "OK" or the failure in words
        std::optional<qint64> clockDiffMin;  // reader's clock minus the computer's
        qint64 stored = 0, delivered = 0, failed = 0;
    };

    // `file`: where EndCycle writes; empty: nowhere.
    explicit ReaderStatus(QString file = {});
    const QString& File() const { return m_file; }

    void BeginCycle(qint32 estacion);
    // A reader of this cycle's collection.
    void Collected(const QString& id, bool virtualReader);
    // The reader answered its status records (or took a command).
    void Contact(const QString& id, const QDateTime& when, std::optional<qint64> clockDiffMin);
    void Result(const QString& id, const QDateTime& when, const QString& text);
    void Stored(const QString& id, qint64 count);
    void Command(const QString& id, const QDateTime& when, bool delivered);

    int Answered() const;
    int LineReaders() const;  // readers with a line in the last collection
    qint32 Estacion() const { return m_estacion; }
    const QList<Reader>& Readers() const { return m_readers; }

    // Writes the file for the cycle just ended. Returns the error in words,
    // empty on success (or without a file).
    QString EndCycle(const QDateTime& when, int cycle);

    // The status file as JSON, and its table (`agente --status`); an empty
    // table and `error` set when the bytes are not a status file.
    QByteArray ToJson(const QDateTime& when, int cycle) const;
    static QString Table(const QByteArray& json, QString* error);
    // "respondieron 2 de 3 registradores", "respondió 1 de 1 registrador":
    // the verb agrees with those that answered, the noun with the readers.
    static QString AnsweredText(int answered, int readers);

private:
    Reader& Entry(const QString& id);

    QString m_file;
    qint32 m_estacion = 0;
    QList<Reader> m_readers;
};

#pragma once
// The installer's look at a station before leaving it (agente --check): the
// settings file read, the database reached and its tables, and every reader
// of the station with its line, each line opened exclusively and closed again
// with nothing sent. With the probe on, each reader is also asked for its
// status records (its clock and how many registrations it holds), in the
// echo mode of the setting "Eco"; the line says when it echoes what the
// agent sends, and a reader that fails with the echo forced on (or off) is
// looked at once more in automatic mode to say whether the setting is wrong.
//
// One result line per item, in a fixed order; an item that cannot be looked
// at because an earlier one failed (no database: no readers) is not listed.
// Nothing is written anywhere: no settings, no table, no session log.
//
// Thread: the calling thread, which needs a QCoreApplication for the SQL
// drivers. Never throws; every failure becomes a result line.

#include <QList>
#include <QString>
#include <exception>

#include "core/ThreadTiming.h"
#include "link/LineEcho.h"

class TConfig;
class RegistryFile;
class TAlias;
class QSqlDatabase;
class TRedKelvorII;

struct CheckItem {
    bool ok = false;
    QString item;  // "Configuración", "Base de datos", "Registrador A1" ...
    QString text;  // what was found, or the problem in words
};

class StationCheck {
public:
    // `config` is loaded from `registry` by the caller; both must outlive Run.
    StationCheck(const RegistryFile& registry, const TConfig& config);

    void SetProbe(bool probe) { m_probe = probe; }
    // The unit of the "TimeOut" setting for the probe (tests shorten it).
    void SetTiming(const ThreadTiming& timing) { m_timing = timing; }

    QList<CheckItem> Run();

    // "OK     item: text" or "FALLA  item: text".
    static QString Line(const CheckItem& item);
    // The encoding of a settings file as its bytes show it.
    static QString FileEncoding(const QByteArray& head);

private:
    void CheckSettings(QList<CheckItem>& out) const;
    // A database password in a settings file that every user may read.
    void CheckSecret(QList<CheckItem>& out) const;
    void CheckLinkSettings(QList<CheckItem>& out) const;
    void CheckDatabase(QList<CheckItem>& out);
    // Whether the agent may store: the SQLite file and its folder writable,
    // the PostgreSQL role's privileges on the tables it writes
    // (StationCheckWrite.cpp). Nothing is written to find out.
    void CheckWrite(QList<CheckItem>& out, const TAlias& alias, const QSqlDatabase& db,
                    const QStringList& existing) const;
    // Each reader's speed, port and line (StationCheckReaders.cpp).
    void CheckReaders(QList<CheckItem>& out);
    // Why a probe in the configured mode failed when automatic mode reads
    // the reader: the line's echo and the setting disagree. Empty otherwise.
    static QString EchoMismatch(TRedKelvorII& link, EchoMode configured);

    const RegistryFile& m_registry;
    const TConfig& m_config;
    bool m_probe = false;
    ThreadTiming m_timing;
    static QString What(const std::exception& e);

    QString m_connection;  // the check's own database connection, while open
    bool m_tablesFound = false;  // any table of the schema: the readers can be looked at
};

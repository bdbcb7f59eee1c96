#pragma once
// The commands of kelvordb on the database named by the alias "Kelvor" of the
// process's settings file (RegistryFile::Process()).
//
//   init                          create every table (refuses existing ones)
//   upgrade                       create the agent's own tables that are missing
//   seed-demo [--port P] [--antipassback]
//                                 station 1 with readers A1 and B1, key holders,
//                                 zones, the id counter, user admin/admin
//   registraciones [--last N]     REGISTRA as a table, oldest first
//   comandos                      COMANDO in the order the agent reads it
//   encolar ESTACION REGISTRADOR CODIGO [TEXTO]
//   estado [--estacion N] [--sin-noticias SEGUNDOS] [--prometheus]
//                                 every station's readers (TStationReport)
//
// A station without a front end (TDbToolStation.cpp); each can be run again
// with the same values and changes nothing then:
//   contador                      the id counter FICHADAS (init makes it too)
//   estacion ID PUERTO [NOMBRE]   a station and the port of its line
//   registrador ID ESTACION [--velocidad BPS] [--tipo comun|hta|virtual]
//               [--visitas|--sin-visitas] [--nombre TEXTO]
//                                 a reader; its address is the Id's first
//                                 character
//   puerto NOMBRE DISPOSITIVO     "COMn"=device in the settings file's key
//                                 of ports (nothing else of the file changes)
//   estaciones                    stations, readers and the counter
// Values that cannot work (unknown station, a speed the line does not take,
// an id or address already used, an unknown kind) are refused, changing
// nothing.
//
// Run returns the exit status: 0 done, 1 failure (one line on `err`), 2 bad
// usage; estado also 1 when a reader or a station needs attention. Output is UTF-8 text on `out`. Single-threaded.

#include <QSqlDatabase>
#include <QStringList>
#include <QTextStream>

#include "db/TAlias.h"
#include "shell/Clock.h"

class TDbTool {
public:
    TDbTool(QTextStream& out, QTextStream& err, ClockFn clock = SystemClock());
    ~TDbTool();

    // `args` are the words after the global options (command first).
    int Run(const QStringList& args);

    static QString Usage();

private:
    void Init();
    void Upgrade();
    void SeedDemo(const QStringList& args);
    void Registrations(const QStringList& args);
    void Commands();
    void Enqueue(const QStringList& args);
    void Counter(const QStringList& args);
    void Station(const QStringList& args);
    void Reader(const QStringList& args);
    void PortMap(const QStringList& args);
    void List(const QStringList& args);

    // Makes the counter FICHADAS at 1 when it is missing; true when it made it.
    bool EnsureCounter();
    // A warning on `err` when the port's device does not exist now.
    void WarnMissingDevice(const QString& port);

    QSqlDatabase Connect(bool createFile);
    void RequireTables(const QStringList& tables);
    void Exec(const QString& sql, const QVariantList& values);
    void PrintTable(const QStringList& header, const QList<QStringList>& rows);

    QTextStream& m_out;
    QTextStream& m_err;
    ClockFn m_clock;
    TAlias m_alias;
    QSqlDatabase m_db;
};

// A mistake in the command line (exit status 2).
class EUsage : public std::runtime_error {
public:
    explicit EUsage(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& Message() const { return m_message; }

private:
    QString m_message;
};

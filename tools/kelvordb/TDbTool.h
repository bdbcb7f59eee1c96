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

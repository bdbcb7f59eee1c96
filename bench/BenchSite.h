#pragma once
// A scratch installation for one benchmark run: a folder of its own, settings
// files in the format the agent reads, and the programs of this build
// (agente, kelvordb, simulador) run to completion or started alongside.
//
// The folder is /tmp/kelvor-bench-<name>-XXXXXX and is removed with the
// site, unless KELVOR_BENCH_KEEP is set in the environment (then its path is
// printed, to look at the databases and logs afterwards).
//
// Failures throw Exception with a message that names the program or file.
// Single-threaded use (the benchmark's main thread).

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "db/TSqlDialect.h"

class TConfig;

// Where the alias "Kelvor" of a settings file points.
struct BenchDb {
    TSqlDriver driver = TSqlDriver::SQLite;
    QString database;  // the SQLite file, or the PostgreSQL database name
    QString host;      // PostgreSQL only
    int port = 0;
    QString user;
};

class BenchSite {
public:
    explicit BenchSite(const QString& name);
    ~BenchSite();
    BenchSite(const BenchSite&) = delete;
    BenchSite& operator=(const BenchSite&) = delete;

    QString Path() const { return m_dir.path(); }
    QString File(const QString& name) const { return m_dir.filePath(name); }

    // Writes the settings file `name` in the folder: every agent setting of
    // config and the alias; returns its path. An existing file is replaced.
    QString WriteSettings(const QString& name, const TConfig& config, const BenchDb& db) const;

    // The programs of this build.
    static QString Agente();
    static QString Kelvordb();
    static QString Simulador();

    // Runs a program to its end; throws when it cannot start, runs longer
    // than timeoutMs, or exits other than 0 (with its standard error).
    static void Run(const QString& program, const QStringList& args, int timeoutMs = 120000);
    // kelvordb with the settings file.
    static void Kelvordb(const QString& settings, const QStringList& args);

    // The settings every benchmark agent runs with: the station, no wait
    // before connecting (Espera 0), one-second line time-outs, three retries.
    static TConfig AgentConfig(int station);

private:
    QTemporaryDir m_dir;
};

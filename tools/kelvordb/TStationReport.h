#pragma once
// kelvordb estado: every station's readers as their agents last wrote them in
// the shared database (AGESTACION, AGESTADO), for whoever looks after all the
// stations and for a monitoring system.
//
//   estado [--estacion N] [--sin-noticias SEGUNDOS] [--prometheus]
//
// Text: one line per station (its agent and the age of its last word), then
// one line per reader with that age; a station whose agent has not written
// within SEGUNDOS (default 300) is "sin noticias". Run returns 0 when every
// reader with a line of every station shown answered in its agent's last
// cycle and no station is without news, 1 otherwise (also when no station has
// written yet).
//
// --prometheus: the same as metrics in Prometheus' text exposition format,
// for node_exporter's textfile collector. The health is then in the values,
// so Run returns 0 whenever the metrics were produced, and a cron entry can
// replace the collector's file only after a good run.
//
// Parse throws EUsage; Run throws EDatabaseError (missing tables, engine
// errors). Single-threaded, on the tool's connection.

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <optional>

class TStationReport {
public:
    struct Options {
        std::optional<qint32> estacion;
        qint64 sinNoticias = 300;  // seconds
        bool prometheus = false;
    };
    static Options Parse(const QStringList& args);

    struct Reader {
        QString id;
        bool virtualReader = false, answered = false;
        QDateTime lastContact, lastResultAt;
        QString lastResult;
        std::optional<qint64> clockDiffMin;
        qint64 stored = 0, delivered = 0, failed = 0;
    };
    struct Station {
        qint32 id = 0;
        bool hasAgent = false;  // the station's AGESTACION row exists
        QString equipo, version;
        qint64 proceso = 0;
        int ciclo = 0, respondieron = 0, conLinea = 0;
        QDateTime finCiclo;
        QList<Reader> readers;
    };

    // Reads both tables; `target` names the database in errors.
    static QList<Station> Load(const QSqlDatabase& db, const QString& target);
    // Prints the stations (filtered by the options) as `now` sees them and
    // returns the exit status.
    static int Run(const QList<Station>& stations, const Options& options, const QDateTime& now,
                   QTextStream& out);

    // Whether the station's agent wrote within the limit.
    static bool HasNews(const Station& s, const QDateTime& now, qint64 limitSeconds);
    // "hace 12 s", "hace 6 min", "hace 3 h", "hace 2 días".
    static QString AgeText(qint64 seconds);

private:
    static int Text(const QList<Station>& stations, const Options& options, const QDateTime& now,
                    QTextStream& out);
    static void Prometheus(const QList<Station>& stations, const Options& options,
                           const QDateTime& now, QTextStream& out);
};

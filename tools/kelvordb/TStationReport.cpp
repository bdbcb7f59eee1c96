#include "tools/kelvordb/TStationReport.h"

#include <functional>
#include <limits>
#include <map>

#include "db/Statements.h"
#include "db/TSchema.h"
#include "db/TSqlStatement.h"
#include "shell/Errors.h"
#include "shell/TimeText.h"
#include "tools/kelvordb/TDbTool.h"

namespace {

qint64 Number(const QString& text, const QString& what, qint64 least) {
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok || n < least || n > std::numeric_limits<qint32>::max())
        throw EUsage(QStringLiteral("%1 debe ser un número desde %2: \"%3\"")
                         .arg(what)
                         .arg(least)
                         .arg(text));
    return n;
}

qint64 Count(const TSqlStatement& q, const QString& field) {
    return q.IsNull(field) ? 0 : q.Value(field).toLongLong();
}

QString Shown(const QDateTime& t) {
    return t.isValid() ? DateTimeText(t) : QStringLiteral("-");
}

qint64 AgeOf(const TStationReport::Station& s, const QDateTime& now) {
    return s.finCiclo.isValid() ? qMax<qint64>(0, s.finCiclo.secsTo(now)) : -1;
}

// Prometheus label values: backslash, double quote and line feed escaped.
QString Label(const QString& v) {
    QString out = v;
    out.replace('\\', QStringLiteral("\\\\"));
    out.replace('"', QStringLiteral("\\\""));
    out.replace('\n', QStringLiteral("\\n"));
    return out;
}

}  // namespace

TStationReport::Options TStationReport::Parse(const QStringList& args) {
    Options o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--prometheus")) {
            o.prometheus = true;
        } else if (a == QLatin1String("--estacion") || a == QLatin1String("--sin-noticias")) {
            if (i + 1 >= args.size())
                throw EUsage(QStringLiteral("%1 necesita un valor").arg(a));
            if (a == QLatin1String("--estacion"))
                o.estacion = qint32(Number(args[++i], a, 0));
            else
                o.sinNoticias = Number(args[++i], a, 1);
        } else {
            throw EUsage(QStringLiteral("argumento desconocido \"%1\"").arg(a));
        }
    }
    return o;
}

QList<TStationReport::Station> TStationReport::Load(const QSqlDatabase& db, const QString& target) {
    for (const QString& t : {QStringLiteral("AGESTACION"), QStringLiteral("AGESTADO")}) {
        if (!TSchema::HasTable(db, t))
            throw EDatabaseError(
                QStringLiteral("La tabla %1 no existe en %2: créela con \"kelvordb "
                               "upgrade\"; los agentes la llenan en su próximo "
                               "ciclo")
                    .arg(t, target));
    }
    std::map<qint32, Station> stations;
    {
        TSqlStatement q(db, Sql::kSelectAgEstacion, QStringLiteral("AGESTACION"));
        q.Exec();
        while (q.Next()) {
            Station& s = stations[q.IntOr0(QStringLiteral("IdEstacion"))];
            s.id = q.IntOr0(QStringLiteral("IdEstacion"));
            s.hasAgent = true;
            s.equipo = q.Str(QStringLiteral("Equipo"));
            s.proceso = Count(q, QStringLiteral("Proceso"));
            s.version = q.Str(QStringLiteral("Version"));
            s.ciclo = q.IntOr0(QStringLiteral("Ciclo"));
            s.finCiclo = q.OptDateTime(QStringLiteral("FinCiclo")).value_or(QDateTime());
            s.respondieron = q.IntOr0(QStringLiteral("Respondieron"));
            s.conLinea = q.IntOr0(QStringLiteral("ConLinea"));
        }
    }
    {
        TSqlStatement q(db, Sql::kSelectAgEstado, QStringLiteral("AGESTADO"));
        q.Exec();
        while (q.Next()) {
            Station& s = stations[q.IntOr0(QStringLiteral("IdEstacion"))];
            s.id = q.IntOr0(QStringLiteral("IdEstacion"));
            Reader r;
            r.id = q.Str(QStringLiteral("IdRegistrador"));
            r.virtualReader = q.Bool(QStringLiteral("Virtual"));
            r.answered = q.Bool(QStringLiteral("Respondio"));
            r.lastContact = q.OptDateTime(QStringLiteral("UltimoContacto")).value_or(QDateTime());
            r.lastResult = q.Str(QStringLiteral("UltimoResultado"));
            r.lastResultAt = q.OptDateTime(QStringLiteral("FechaResultado")).value_or(QDateTime());
            if (!q.IsNull(QStringLiteral("DiferenciaReloj")))
                r.clockDiffMin = Count(q, QStringLiteral("DiferenciaReloj"));
            r.stored = Count(q, QStringLiteral("Almacenadas"));
            r.delivered = Count(q, QStringLiteral("ComandosEnviados"));
            r.failed = Count(q, QStringLiteral("ComandosFallidos"));
            s.readers << r;
        }
    }
    QList<Station> out;
    for (auto& [id, s] : stations) out << s;
    return out;
}

bool TStationReport::HasNews(const Station& s, const QDateTime& now, qint64 limitSeconds) {
    const qint64 age = AgeOf(s, now);
    return s.hasAgent && age >= 0 && age <= limitSeconds;
}

QString TStationReport::AgeText(qint64 seconds) {
    if (seconds < 0)
        return QStringLiteral("nunca");
    if (seconds < 120)
        return QStringLiteral("hace %1 s").arg(seconds);
    if (seconds < 120 * 60)
        return QStringLiteral("hace %1 min").arg(seconds / 60);
    if (seconds < 48 * 3600)
        return QStringLiteral("hace %1 h").arg(seconds / 3600);
    return QStringLiteral("hace %1 días").arg(seconds / 86400);
}

int TStationReport::Run(const QList<Station>& stations, const Options& options,
                        const QDateTime& now, QTextStream& out) {
    QList<Station> shown;
    for (const Station& s : stations) {
        if (!options.estacion || *options.estacion == s.id)
            shown << s;
    }
    if (options.prometheus) {
        Prometheus(shown, options, now, out);
        return 0;
    }
    return Text(shown, options, now, out);
}

int TStationReport::Text(const QList<Station>& stations, const Options& options,
                         const QDateTime& now, QTextStream& out) {
    if (stations.isEmpty()) {
        out << (options.estacion
                    ? QStringLiteral("La estación %1 no escribió su estado en la base de datos\n")
                          .arg(*options.estacion)
                    : QStringLiteral("Ninguna estación escribió su estado en la base de datos\n"));
        return 1;
    }
    int silent = 0, withoutNews = 0;
    QList<QStringList> rows{{"Estación", "Registrador", "Estado", "Noticia", "Último contacto",
                             "Reloj", "Almacenadas", "Cmd. enviados", "Cmd. fallidos",
                             "Último resultado"}};
    for (const Station& s : stations) {
        const bool news = HasNews(s, now, options.sinNoticias);
        const QString age = AgeText(AgeOf(s, now));
        withoutNews += !news;
        QString line = QStringLiteral("Estación %1: ").arg(s.id);
        if (s.hasAgent)
            line += QStringLiteral("agente en %1 (proceso %2, versión %3), ")
                        .arg(s.equipo)
                        .arg(s.proceso)
                        .arg(s.version);
        line += news ? QStringLiteral("última noticia %1").arg(age)
                     : QStringLiteral("sin noticias (la última %1)").arg(age);
        if (s.hasAgent)
            line += QStringLiteral(": ciclo %1 terminado el %2, %3 %4 de %5 %6")
                        .arg(s.ciclo)
                        .arg(Shown(s.finCiclo))
                        .arg(s.respondieron == 1 ? QStringLiteral("respondió")
                                                 : QStringLiteral("respondieron"))
                        .arg(s.respondieron)
                        .arg(s.conLinea)
                        .arg(s.conLinea == 1 ? QStringLiteral("registrador")
                                             : QStringLiteral("registradores"));
        out << line << "\n";
        for (const Reader& r : s.readers) {
            QString state;
            if (!news)
                state = QStringLiteral("sin noticias");
            else if (r.virtualReader)
                state = QStringLiteral("virtual");
            else
                state = r.answered ? QStringLiteral("responde") : QStringLiteral("no responde");
            silent += news && !r.virtualReader && !r.answered;
            rows.append({QString::number(s.id), r.id, state, age, Shown(r.lastContact),
                         r.clockDiffMin ? QStringLiteral("%1 min").arg(*r.clockDiffMin)
                                        : QStringLiteral("-"),
                         QString::number(r.stored), QString::number(r.delivered),
                         QString::number(r.failed),
                         r.lastResult.isEmpty() ? QStringLiteral("-") : r.lastResult});
        }
    }
    QList<qsizetype> width(rows.first().size(), 0);
    for (const QStringList& r : rows)
        for (qsizetype i = 0; i < r.size(); ++i) width[i] = qMax(width[i], r[i].size());
    for (const QStringList& r : rows) {
        QString line;
        for (qsizetype i = 0; i < r.size(); ++i)
            line += i + 1 < r.size() ? r[i].leftJustified(width[i] + 2) : r[i];
        out << line << "\n";
    }
    if (silent == 0 && withoutNews == 0) {
        out << "Todos los registradores respondieron en el último ciclo de su agente\n";
        return 0;
    }
    out << QStringLiteral(
               "Atención: %1 registrador(es) sin respuesta, %2 estación(es) sin "
               "noticias en %3 s\n")
               .arg(silent)
               .arg(withoutNews)
               .arg(options.sinNoticias);
    return 1;
}

void TStationReport::Prometheus(const QList<Station>& stations, const Options& options,
                                const QDateTime& now, QTextStream& out) {
    // One family at a time, each with its HELP and TYPE lines, as the text
    // format asks; a value never known (no contact yet) has no sample.
    struct Family {
        const char *name, *type, *help;
    };
    auto header = [&](const Family& f) {
        out << "# HELP " << f.name << ' ' << f.help << "\n# TYPE " << f.name << ' ' << f.type
            << "\n";
    };
    auto readers =
        [&](const Family& f,
            const std::function<std::optional<double>(const Station&, const Reader&)>& value) {
            header(f);
            for (const Station& s : stations)
                for (const Reader& r : s.readers)
                    if (const std::optional<double> v = value(s, r))
                        out << f.name << "{station=\"" << s.id << "\",reader=\"" << Label(r.id)
                            << "\"} " << QString::number(*v, 'g', 15) << "\n";
        };
    auto agents = [&](const Family& f,
                      const std::function<std::optional<double>(const Station&)>& value) {
        header(f);
        for (const Station& s : stations)
            if (const std::optional<double> v = value(s))
                out << f.name << "{station=\"" << s.id << "\"} " << QString::number(*v, 'g', 15)
                    << "\n";
    };
    const qint64 limit = options.sinNoticias;
    readers({"kelvor_up", "gauge",
             "1 when the reader answered in its agent's last cycle and the agent has written "
             "within the news limit, else 0 (readers with a line only)."},
            [&](const Station& s, const Reader& r) -> std::optional<double> {
                if (r.virtualReader)
                    return std::nullopt;
                return r.answered && HasNews(s, now, limit) ? 1 : 0;
            });
    readers({"kelvor_last_contact_seconds", "gauge",
             "Last contact with the reader, in unix seconds (the station computer's clock)."},
            [](const Station&, const Reader& r) -> std::optional<double> {
                if (!r.lastContact.isValid())
                    return std::nullopt;
                return double(r.lastContact.toSecsSinceEpoch());
            });
    readers({"kelvor_clock_offset_seconds", "gauge",
             "The reader's clock minus the station computer's, in seconds (minute steps)."},
            [](const Station&, const Reader& r) -> std::optional<double> {
                if (!r.clockDiffMin)
                    return std::nullopt;
                return double(*r.clockDiffMin * 60);
            });
    readers(
        {"kelvor_stored_total", "counter",
         "Registrations of the reader stored since its agent started."},
        [](const Station&, const Reader& r) -> std::optional<double> { return double(r.stored); });
    readers({"kelvor_commands_sent_total", "counter",
             "Commands delivered to the reader since its agent started."},
            [](const Station&, const Reader& r) -> std::optional<double> {
                return double(r.delivered);
            });
    readers(
        {"kelvor_commands_failed_total", "counter",
         "Commands that failed on the reader since its agent started."},
        [](const Station&, const Reader& r) -> std::optional<double> { return double(r.failed); });
    agents({"kelvor_agent_last_cycle_end_seconds", "gauge",
            "End of the last cycle the station's agent wrote, in unix seconds (written at most "
            "a minute apart while nothing changes)."},
           [](const Station& s) -> std::optional<double> {
               if (!s.finCiclo.isValid())
                   return std::nullopt;
               return double(s.finCiclo.toSecsSinceEpoch());
           });
    agents(
        {"kelvor_agent_news", "gauge",
         "1 when the station's agent has written within the news limit, else 0."},
        [&](const Station& s) -> std::optional<double> { return HasNews(s, now, limit) ? 1 : 0; });
}

#include "tools/simulador/SimScript.h"

#include <QFile>
#include <QRegularExpression>
#include <functional>

#include "shell/Errors.h"
#include "tools/simulador/SimulatedLine.h"

namespace {

using Action = std::function<void(SimulatedLine&)>;
using ReaderAction = std::function<void(SimulatedReader&)>;

[[noreturn]] void Bad(const QString& option, const QString& value, const QString& why) {
    if (value.isEmpty())
        throw Exception(QStringLiteral("simulador: %1: %2").arg(option, why));
    throw Exception(QStringLiteral("simulador: %1 %2: %3").arg(option, value, why));
}

qint64 Integer(const QString& option, const QString& text, qint64 min, qint64 max) {
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        Bad(option, text, QStringLiteral("no es un número válido"));
    return v;
}

qint64 CountOrAll(const QString& option, const QString& text) {
    return text == "*" ? -1 : Integer(option, text, 0, 1LL << 40);
}

QDateTime Moment(const QString& option, const QString& text) {
    const QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid())
        Bad(option, text, QStringLiteral("no es una fecha y hora (YYYY-MM-DDTHH:MM)"));
    return t;
}

QByteArray Text17(const QString& option, const QString& text) {
    const QByteArray b = text.toLatin1();
    if (b.size() != 17)
        Bad(option, text, QStringLiteral("debe tener 17 caracteres"));
    return b;
}

void ParseFault(const QString& text, SimFaults& f) {
    const QStringList p = text.split(':');
    const QString kind = p.value(0);
    const QString opt = QStringLiteral("--fault");
    if (kind == "silent" && p.size() == 1) {
        f.silent = true;
    } else if (kind == "nak" && p.size() == 2) {
        f.nakFirst = CountOrAll(opt, p[1]);
    } else if (kind == "garbage" && p.size() == 2) {
        f.garbageFirst = CountOrAll(opt, p[1]);
    } else if (kind == "badcheck" && (p.size() == 2 || (p.size() == 3 && p[2] == "always"))) {
        if (p[1] == "A" || p[1] == "B") {
            f.badCheckStatus = p[1][0].toLatin1();
        } else {
            f.badCheckRecord = int(Integer(opt, p[1], 1, 1 << 20));
        }
        f.badCheckAlways = p.size() == 3;
    } else if (kind == "short" && (p.size() == 2 || p.size() == 3)) {
        f.shortBytes = int(Integer(opt, p[1], 0, 17));
        f.shortCount = p.size() == 3 ? CountOrAll(opt, p[2]) : -1;
    } else if (kind == "delay" && p.size() == 2) {
        f.delayMs = int(Integer(opt, p[1], 0, 600000));
    } else if (kind == "erasenak" && p.size() == 2) {
        f.eraseNak = CountOrAll(opt, p[1]);
    } else if (kind == "eraselost" && p.size() == 2) {
        f.eraseLost = CountOrAll(opt, p[1]);
    } else if (kind == "erasedelay" && p.size() == 2) {
        f.eraseDelayMs = int(Integer(opt, p[1], 0, 600000));
    } else if (kind == "chunks" && p.size() == 3) {
        f.chunkMax = int(Integer(opt, p[1], 1, 1 << 20));
        f.chunkPauseMs = int(Integer(opt, p[2], 0, 600000));
    } else if (kind == "latency" && p.size() == 2) {
        f.latencyMs = int(Integer(opt, p[1], 1, 600000));
    } else if (kind == "traffic" && p.size() == 2) {
        f.trafficMs = int(Integer(opt, p[1], 1, 86400000));
    } else if (kind == "speed" && p.size() == 1) {
        f.lineSpeed = true;
    } else if (kind == "noise" && p.size() == 2) {
        bool ok = false;
        f.noise = p[1].toDouble(&ok);
        if (!ok || f.noise < 0 || f.noise > 1)
            Bad(opt, text, QStringLiteral("probabilidad entre 0 y 1"));
    } else {
        Bad(opt, text, QStringLiteral("falla desconocida"));
    }
}

}  // namespace

QStringList SimScript::Tokenize(const QString& text) {
    QStringList out;
    for (QString line : text.split('\n')) {
        const qsizetype hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        out += line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    }
    return out;
}

QStringList SimScript::ExpandScripts(const QStringList& args) {
    QStringList out = args;
    for (int depth = 0; depth < 8; ++depth) {
        const qsizetype i = out.indexOf(QStringLiteral("--script"));
        if (i < 0)
            return out;
        if (i + 1 >= out.size())
            Bad("--script", "", QStringLiteral("falta el archivo"));
        QFile f(out[i + 1]);
        if (!f.open(QIODevice::ReadOnly))
            Bad("--script", out[i + 1], f.errorString());
        const QStringList inner = Tokenize(QString::fromUtf8(f.readAll()));
        out = out.mid(0, i) + inner + out.mid(i + 2);
    }
    if (out.contains(QStringLiteral("--script"))) {
        Bad("--script", "", QStringLiteral("demasiados niveles de scripts anidados"));
    }
    return out;
}

SimScript::LineOptions SimScript::TakeLineOptions(QStringList& args) {
    LineOptions o;
    QStringList rest;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&]() -> QString {
            if (i + 1 >= args.size())
                Bad(a, "", QStringLiteral("falta el valor"));
            return args[++i];
        };
        if (a == "--link") {
            o.link = value();
        } else if (a == "--state-file") {
            o.stateFile = value();
        } else if (a == "--control") {
            o.control = value();
        } else if (a == "--seed") {
            o.seed = quint32(Integer(a, value(), 0, 0xFFFFFFFFLL));
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else {
            rest.append(a);
        }
    }
    args = rest;
    return o;
}

void SimScript::Apply(const QStringList& args, SimulatedLine& line) {
    QList<Action> actions;
    bool haveReader = false;
    QChar reader;
    auto onReader = [&](const QString& option, ReaderAction act) {
        if (!haveReader)
            Bad(option, "", QStringLiteral("antes de --reader"));
        const QChar address = reader;
        actions.append([address, act](SimulatedLine& l) { act(l.AddReader(address)); });
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        auto value = [&]() -> QString {
            if (i + 1 >= args.size())
                Bad(a, "", QStringLiteral("falta el valor"));
            return args[++i];
        };
        if (a == "--reader") {
            const QString v = value();
            if (v.size() != 1 || v[0].unicode() > 0x7E || v[0].unicode() < 0x20) {
                Bad(a, v, QStringLiteral("la dirección es una letra"));
            }
            reader = v[0];
            haveReader = true;
            const QChar address = reader;
            actions.append([address](SimulatedLine& l) { l.AddReader(address); });
        } else if (a == "--clock-offset") {
            const qint64 s = Integer(a, value(), -(1LL << 40), 1LL << 40);
            onReader(a, [s](SimulatedReader& r) { r.SetClockOffset(s); });
        } else if (a == "--clock") {
            const QDateTime t = Moment(a, value());
            onReader(a, [t](SimulatedReader& r) { r.SetFixedClock(t); });
        } else if (a == "--reg") {
            const QString v = value();
            const QStringList p = v.split(',');
            if (p.size() != 3 || p[0].size() != 2)
                Bad(a, v, QStringLiteral("se espera CODIGO,LLAVE,FECHA"));
            const QByteArray code = p[0].toLatin1();
            const qint32 key = qint32(Integer(a, p[1], 0, 99999));
            const QDateTime t = Moment(a, p[2]);
            onReader(a, [code, key, t](SimulatedReader& r) { r.AddRegistration(code, key, t); });
        } else if (a == "--bulk") {
            const QString v = value();
            const QStringList p = v.split(',');
            const qint64 n = Integer(a, p.value(0), 0, 99999);
            const QByteArray code = p.size() > 1 ? p[1].toLatin1() : QByteArray("11");
            if (p.size() > 2 || code.size() != 2)
                Bad(a, v, QStringLiteral("se espera N[,CODIGO]"));
            onReader(a, [n, code](SimulatedReader& r) {
                const QDateTime now = r.Now();
                for (qint64 k = 1; k <= n; ++k)
                    r.AddRegistration(code, qint32(k), now.addSecs(-60 * (n - k)));
            });
        } else if (a == "--raw") {
            const QString v = value();
            static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{36}$"));
            if (!hex.match(v).hasMatch())
                Bad(a, v, QStringLiteral("se esperan 36 dígitos hexadecimales"));
            const QByteArray rec = QByteArray::fromHex(v.toLatin1());
            onReader(a, [rec](SimulatedReader& r) { r.AddRawRecord(rec); });
        } else if (a == "--raw-text") {
            const QByteArray t = Text17(a, value());
            onReader(a, [t](SimulatedReader& r) { r.AddRawText(t); });
        } else if (a == "--status-a" || a == "--status-b") {
            const QByteArray t = Text17(a, value());
            const char letter = a == "--status-a" ? 'A' : 'B';
            onReader(a, [t, letter](SimulatedReader& r) { r.SetStatusText(letter, t); });
        } else if (a == "--texto") {
            const QByteArray t = value().toLatin1();
            if (t.size() != 5)
                Bad(a, t, QStringLiteral("debe tener 5 caracteres"));
            onReader(a, [t](SimulatedReader& r) { r.SetTexto(t); });
        } else if (a == "--key") {
            const QString v = value();
            const QStringList p = v.split(',');
            const qint32 key = qint32(Integer(a, p.value(0), 0, 99999));
            const QByteArray extra = p.size() > 1 ? p[1].toLatin1() : QByteArray();
            if (p.size() > 2 || (p.size() == 2 && extra.size() != 2))
                Bad(a, v, QStringLiteral("se espera LLAVE[,C1C2]"));
            onReader(a, [key, extra](SimulatedReader& r) { r.AddKey(key, extra); });
        } else if (a == "--disabled") {
            onReader(a, [](SimulatedReader& r) { r.SetEnabled(false); });
        } else if (a == "--baud") {
            const qint32 baud = qint32(Integer(a, value(), 0, 4000000));
            onReader(a, [baud](SimulatedReader& r) { r.SetBaud(baud); });
        } else if (a == "--fault") {
            const QString text = value();
            SimFaults probe;
            ParseFault(text, probe);  // rejects a bad text before anything is applied
            onReader(a, [text](SimulatedReader& r) {
                SimFaults f = r.Faults();
                ParseFault(text, f);
                r.SetFaults(f);
            });
        } else if (a == "--no-faults") {
            onReader(a, [](SimulatedReader& r) { r.SetFaults(SimFaults{}); });
        } else if (a == "--clear-log") {
            onReader(a, [](SimulatedReader& r) { r.ClearLog(); });
        } else if (a == "--clear-registrations") {
            onReader(a, [](SimulatedReader& r) { r.ClearRegistrations(); });
        } else if (a == "--echo") {
            // The converter, not a reader: it needs no --reader before it.
            const QString v = value();
            const bool on = v != "off";
            const int latency = on ? int(Integer(a, v, 0, 600000)) : 0;
            actions.append([on, latency](SimulatedLine& l) { l.SetEcho(on, latency); });
        } else if (a == "--collide") {
            const qint64 frames = Integer(a, value(), 0, 1LL << 40);
            actions.append([frames](SimulatedLine& l) { l.SetCollisions(frames); });
        } else if (a == "--unplug") {
            actions.append([](SimulatedLine& l) { l.Unplug(); });
        } else if (a == "--plug") {
            actions.append([](SimulatedLine& l) { l.Plug(); });
        } else {
            Bad(a, "", QStringLiteral("opción desconocida (--help da la lista)"));
        }
    }
    for (const auto& act : actions) act(line);
}

QString SimScript::Usage() {
    return QStringLiteral(
        "Uso: simulador [--link RUTA] [--state-file ARCHIVO] [--control FIFO] [--seed N]\n"
        "                [--script ARCHIVO] --reader X [opciones del registrador]...\n"
        "\n"
        "Registrador (después de --reader X):\n"
        "  --clock-offset SEG | --clock AAAA-MM-DDTHH:MM   reloj desplazado o fijo\n"
        "  --reg COD,LLAVE,AAAA-MM-DDTHH:MM   una registración     --bulk N[,COD]  N "
        "registraciones\n"
        "  --raw HEX36 | --raw-text TEXTO17    registro tal cual (sin o con la verificación "
        "calculada)\n"
        "  --status-a TEXTO17 | --status-b TEXTO17   registros de estado a medida\n"
        "  --texto XXXXX  --key LLAVE[,C1C2]  --disabled  --baud N\n"
        "  --fault silent | nak:N|* | garbage:N|* | badcheck:K|A|B[:always] | short:M[:N]\n"
        "          | delay:MS | speed | noise:P | erasenak:N|* | eraselost:N|*\n"
        "          | erasedelay:MS | chunks:N:MS | latency:MS | traffic:MS\n"
        "          --no-faults\n"
        "  --clear-log  --clear-registrations\n"
        "Línea (en cualquier lugar): --echo MS|off   la línea devuelve lo que envía el agente,\n"
        "          con la latencia MS del adaptador;  --collide N   las N tramas siguientes chocan\n"
        "Control (líneas escritas en la FIFO): las opciones del registrador y de la línea,\n"
        "          --unplug, --plug.\n"
        "Señales: SIGTERM/SIGINT terminan; SIGUSR1 desconecta la línea, SIGUSR2 la reconecta.\n");
}

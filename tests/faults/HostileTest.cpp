// Hostile contents: a settings file of garbage, wrong types and endless
// lines; command rows and simulated registration rows of garbage, nulls,
// wrong types and very long texts. Each must get a clear report and no crash,
// and must cost no other row: the other commands are delivered, the other
// simulated registrations stored once.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRandomGenerator>
#include <functional>
#include <iostream>

#include "tests/core/AgentBench.h"
#include "tests/support/TestSupport.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QByteArray Garbage(int size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray out(size, '\0');
    for (char& c : out) c = char(rng.bounded(256));
    return out;
}

struct Outcome {
    bool normalExit = false;
    int exitCode = -1;
    QString out, err;
};

Outcome PrintConfig(const QString& registry) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("KELVOR_REGISTRY");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(BuildDir() + "/core/agente", {"--print-config", "--registry", registry});
    Outcome o;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.normalExit = p.exitStatus() == QProcess::NormalExit;
    o.exitCode = p.exitCode();
    o.out = QString::fromUtf8(p.readAllStandardOutput());
    o.err = QString::fromUtf8(p.readAllStandardError());
    return o;
}

QString Line(const QString& out, const QString& name) {
    for (const QString& l : out.split('\n'))
        if (l.startsWith(name + '='))
            return l;
    return {};
}

const QByteArray kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const QByteArray kAgentKey = "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n";

}  // namespace

TEST(Hostile, SettingsFilesOfGarbageWrongTypesAndEndlessLines) {
    ScratchDir dir;
    struct Case {
        const char* name;
        QByteArray text;
        QString estacion;  // the line expected for Estacion
    };
    const QByteArray longText(2 * 1024 * 1024, 'x');
    const QList<Case> cases = {
        {"binary garbage", Garbage(64 * 1024, 11), "Estacion=1"},
        {"garbage after a good key",
         kHeader + kAgentKey + "\"Estacion\"=dword:00000007\r\n" + Garbage(16 * 1024, 12),
         "Estacion=7"},
        {"one endless line", kHeader + longText, "Estacion=1"},
        {"wrong types and endless values",
         kHeader + kAgentKey +
             "\"Comandos\"=\"diez\"\r\n\"Retrys\"=hex:01,02\r\n\"TimeOut\"=dword:zz\r\n" +
             "\"Espera\"=dword:1234567890\r\n\"DifHora\"=\"" + longText + "\"\r\n\"" + longText +
             "\"=dword:00000001\r\n\"Estacion\"=dword:00000004\r\n",
         "Estacion=4"},
        {"a key name without end", kHeader + "[HKEY_LOCAL_MACHINE\\" + longText, "Estacion=1"},
    };
    for (const Case& c : cases) {
        const QString registry = dir.File(QString("%1.reg").arg(c.name).replace(' ', '-'));
        ASSERT_TRUE(WriteAll(registry, c.text));
        const Outcome o = PrintConfig(registry);
        std::cout << "settings file, " << c.name << ": exit " << o.exitCode << ", "
                  << Line(o.out, "Estacion").toStdString() << ", "
                  << Line(o.out, "Comandos").toStdString() << ", stderr "
                  << o.err.left(200).toStdString() << std::endl;
        EXPECT_TRUE(o.normalExit) << c.name;
        EXPECT_EQ(o.exitCode, 0) << c.name << ": " << o.err.toStdString();
        EXPECT_EQ(Line(o.out, "Estacion"), c.estacion) << c.name;
        // A value of the wrong type reads as missing: the default stays.
        EXPECT_EQ(Line(o.out, "Comandos"), "Comandos=10") << c.name;
        EXPECT_EQ(Line(o.out, "DifHora"), "DifHora=5") << c.name;
        // The 19 settings, then the line that names the file read.
        EXPECT_EQ(o.out.count('\n'), 20) << c.name;
        EXPECT_TRUE(o.out.endsWith("# Archivo: " + registry + "\n")) << c.name;
    }
}

TEST(Hostile, CommandRowsOfGarbageCostNoOtherCommand) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.config.Comandos = 50;
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& r = b.Reader(u'A');
    r.SetEnabled(false);
    const QString insert =
        "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) "
        "VALUES (?, ?, ?, ?, ?)";
    QDateTime t = b.clock.Now().addSecs(-600);
    auto at = [&] {
        t = t.addSecs(1);
        return QVariant(t.toString("yyyy-MM-dd HH:mm:ss.zzz"));
    };
    const QString longText(200 * 1024, u'9');
    const QVariant null;
    int hostile = 0;
    auto bad = [&](const QVariantList& values) {
        b.Exec(insert, values);
        ++hostile;
    };
    bad({1, "A1", QString::fromLatin1(Garbage(40, 21)), "00001AB", at()});
    b.QueueCommand(1, "A1", "ALTA", "03001AB", t = t.addSecs(1));
    bad({1, "A1", "ALTA", QString::fromLatin1(Garbage(300, 22)), at()});
    bad({1, "A1", "ALTA", QVariant(Garbage(64, 23)), at()});  // a blob where text belongs
    bad({1, "A1", "BAJA", longText, at()});
    bad({1, longText, "HABILIT", "", at()});
    bad({1, "A1", longText, "", at()});
    bad({null, null, null, null, null});
    bad({"uno", "A1", "ALTA", "03009AB", at()});  // text where the station number belongs
    bad({1, "A1", "ALTA", 3010, at()});  // a number where the text belongs ("3010"+no extra)
    b.QueueCommand(1, "A1", "ALTA", "03002AB", t = t.addSecs(1));
    b.QueueCommand(1, "A1", "HABILIT", "", t = t.addSecs(1));
    b.QueueCommand(1, "A1", "ALTA", "03003AB", t = t.addSecs(1));

    b.RunCycles(2);

    const auto keys = r.Keys();
    const int left = b.Count("COMANDO");
    const int anomalies = b.view.Count(
        "Se detectó una anomalía, el sistema se recuperará luego de una pausa de 10 "
        "segundos");
    std::cout << "hostile commands: " << hostile << " hostile rows, 4 good ones, " << left
              << " rows left, " << keys.size() << " keys enrolled, reader "
              << (r.Enabled() ? "enabled" : "disabled") << ", " << anomalies << " anomalies"
              << std::endl;
    for (qint32 key : {3001, 3002, 3003}) EXPECT_EQ(keys.value(key), "AB") << key;
    EXPECT_TRUE(r.Enabled());
    EXPECT_EQ(b.Count("COMANDO",
                      "CodComando = 'ALTA' AND Texto IN ('03001AB', '03002AB', "
                      "'03003AB')"),
              0);
    EXPECT_EQ(b.Count("COMANDO", "CodComando = 'HABILIT' AND IdRegistrador = 'A1'"), 0);
    EXPECT_EQ(anomalies, 0);
    EXPECT_LE(left, hostile);
    // No hostile row turned into a command at the reader.
    for (const QString& q : r.Requests()) EXPECT_LT(q.size(), 100) << "a very long frame went out";
    EXPECT_FALSE(keys.contains(3009));
}

TEST(Hostile, ACommandRowWithTextForItsStationIsReportedAndPassedOver) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& r = b.Reader(u'A');
    // SQLite keeps the text in the integer column and sorts it after every
    // station number, so the loop reaches it once the good rows are done.
    b.Exec(
        "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) "
        "VALUES ('uno', 'A1', 'ALTA', '03009AB', ?)",
        {b.clock.Now().addSecs(-120).toString("yyyy-MM-dd HH:mm:ss.zzz")});
    b.QueueCommand(1, "A1", "ALTA", "03001AB", b.clock.Now().addSecs(-60));
    b.RunCycles(2);
    const int anomalies = b.view.Count(
        "Se detectó una anomalía, el sistema se recuperará luego de una pausa de 10 "
        "segundos");
    b.CloseLog();
    const QStringList reported = b.LogLines().filter("\"uno\" no es un número entero válido");
    std::cout << "command row with text for its station: " << anomalies << " anomalies, "
              << reported.size() << " log reports, " << b.Count("COMANDO") << " rows left"
              << std::endl;
    EXPECT_EQ(anomalies, 0);
    EXPECT_EQ(r.Keys().value(3001), "AB");
    EXPECT_FALSE(r.Keys().contains(3009));
    EXPECT_EQ(b.Count("COMANDO"), 1);  // the unreadable row stays for its owner to mend
    EXPECT_GE(reported.size(), 1);     // cycle 2 writes the thread's lines
}

namespace {

// A virtual reader's REGSIM rows: good ones for keys 4001.., then the
// hostile ones that `addHostile` adds; two cycles; the good rows must be
// stored once and gone from REGSIM, the hostile ones reported, not lost
// silently and not a cause for losing the others.
void RunSimulatedRows(const char* what,
                      const std::function<int(AgentBench&, const QString& insert)>& addHostile) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("V1", 1, /*virtual*/ true, false, /*ctrlActivo*/ true);
    const QString insert =
        "INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, IdIngresante, Responsable, "
        "CodEstado) VALUES (?, ?, ?, ?, ?, ?)";
    const QDateTime t0 = b.clock.Now().addSecs(-3600);
    const QList<int> goodKeys = {4001, 4002, 4004, 4009};
    int n = 0;
    for (int key : goodKeys) {
        b.Exec(insert, {t0.addSecs(60 * ++n).toString("yyyy-MM-dd HH:mm:ss.zzz"), "V1", key, -1,
                        "Simulador", "ENTHAB"});
    }
    const int hostile = addHostile(b, insert);

    b.RunCycles(2);

    const int stored = b.Count("REGISTRA", "NroLlave IN (4001, 4002, 4004, 4009)");
    const int storedDistinct =
        b.Value(
             "SELECT COUNT(DISTINCT NroLlave) FROM REGISTRA WHERE NroLlave IN (4001, 4002, "
             "4004, 4009)")
            .toInt();
    const int left = b.Count("REGSIM");
    const auto passes = b.view.With("Insertando registracion/es virtuales en la base de datos");
    int failedPasses = 0;
    for (const ViewRow& row : passes)
        if (row.estado != "OK")
            ++failedPasses;
    std::cout << "hostile simulated registrations, " << what << ": " << goodKeys.size()
              << " good rows, " << hostile << " hostile rows, " << stored << " good ones stored ("
              << storedDistinct << " distinct), " << b.Count("REGISTRA") << " rows in REGISTRA, "
              << left << " left in REGSIM, " << failedPasses << " failed passes" << std::endl;
    EXPECT_EQ(stored, goodKeys.size());
    EXPECT_EQ(storedDistinct, goodKeys.size());
    EXPECT_EQ(b.Count("REGISTRA"), b.Count("RegExp"));
    EXPECT_LE(left, hostile);
    EXPECT_EQ(b.Count("REGSIM", "NroLlave IN (4001, 4002, 4004, 4009)"), 0);
}

}  // namespace

TEST(Hostile, SimulatedRegistrationRowsOfNullsLongTextsAndBinary) {
    RunSimulatedRows("nulls, long texts, binary", [](AgentBench& b, const QString& insert) {
        const QString longText(200 * 1024, u'z');
        const QString when = b.clock.Now().addSecs(-60).toString("yyyy-MM-dd HH:mm:ss.zzz");
        const QVariant null;
        b.Exec(insert, {null, null, null, null, null, null});
        b.Exec(insert, {when, longText, 4106, -1, longText, longText});
        b.Exec(insert, {when, QVariant(Garbage(50, 31)), 4107, -1,
                        QString::fromLatin1(Garbage(50, 32)), QString::fromLatin1(Garbage(8, 33))});
        return 3;
    });
}

// A value that cannot be read as its column's type (a moment that is no
// date, a key or holder that is no number, a number out of range): the row is
// set aside and left in REGSIM, the others are stored once.
TEST(Hostile, SimulatedRegistrationRowsOfUnreadableValues) {
    RunSimulatedRows("unreadable values", [](AgentBench& b, const QString& insert) {
        const QString when = b.clock.Now().addSecs(-60).toString("yyyy-MM-dd HH:mm:ss.zzz");
        b.Exec(insert, {"ayer a la tarde", "V1", 4100, -1, "Simulador", "ENTHAB"});
        b.Exec(insert, {when, "V1", "cuatro mil", -1, "Simulador", "ENTHAB"});
        b.Exec(insert, {when, "V1", 4105, "nadie", "Simulador", "SALHAB"});
        b.Exec(insert, {when, "V1", 12345678901.0, -1, "Simulador", "ENTHAB"});
        return 4;
    });
}

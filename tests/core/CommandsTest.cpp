// Command processing by the real thread: the queue in a real SQLite file, the
// frames checked at the simulated readers on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "shell/Errors.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

// Readers keep moments to the minute.
QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

// The requests a reader accepted after the status records of collection.
QStringList CommandsHeard(SimulatedReader& r) {
    QStringList out;
    for (const QString& q : r.Requests())
        if (q != "A" && q != "B")
            out << q;
    return out;
}

QStringList LogMatching(AgentBench& b, const QString& pattern) {
    b.CloseLog();
    return b.LogLines().filter(QRegularExpression(pattern));
}

struct Commands : ::testing::Test {
    AgentBench b;
    void SetUp() override {
        ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
        b.AddStation(1, b.LinePath());
        b.AddReader("A1", 1);
        b.AddReader("B1", 1, false, /*hta*/ true);
        b.Reader(u'A');
        b.Reader(u'B');
    }
    void QueueAll(const QString& reader, QDateTime& t) {
        const QStringList codes = {"ALTA",     "BAJA",     "HABILIT",  "INHABIL",
                                   "PACCESO",  "PERFIL",   "SINCRO",   "RESET",
                                   "HABALARM", "INHALARM", "ENCALARM", "APAALARM"};
        const QStringList texts = {"00123AB", "77", "", "", "", "02ABCDEFGHIJKLMNOPQRST",
                                   "",        "",   "", "", "", ""};
        for (int i = 0; i < codes.size(); ++i) {
            b.QueueCommand(1, reader, codes[i], texts[i], t);
            t = t.addMSecs(10);
        }
    }
};

}  // namespace

TEST_F(Commands, AllTwelveCodesReachOrdinaryAndHtaReaders) {
    b.config.Comandos = 50;
    QDateTime t = b.clock.Now().addSecs(-60);
    QueueAll("A1", t);
    QueueAll("B1", t);

    b.RunCycles(1);

    EXPECT_EQ(b.Count("COMANDO"), 0);
    const QDate today = b.clock.Now().date();
    const QString date = today.toString("yyMMdd");
    QStringList a = CommandsHeard(b.Reader(u'A'));
    ASSERT_EQ(a.size(), 14) << a.join(' ').toStdString();
    EXPECT_TRUE(a[8].startsWith("1" + date + QString::number(today.dayOfWeek() % 7 + 1)))
        << a[8].toStdString();
    a[8] = "SINCRO";
    EXPECT_EQ(a, QStringList({"500123AB", "400077", "3", "6", "R", "P02", "ABCDEFGHIJ",
                              "KLMNOPQRST", "SINCRO", "C", "L3", "L4", "L1", "L2"}));
    // An Hta reader: the plain key enrolment, the Hta clock (weekday from 0)
    // and nothing for the codes it does not take.
    QStringList h = CommandsHeard(b.Reader(u'B'));
    ASSERT_EQ(h.size(), 5) << h.join(' ').toStdString();
    EXPECT_TRUE(h[4].startsWith("1" + date + QString::number(today.dayOfWeek() % 7)))
        << h[4].toStdString();
    EXPECT_EQ(h.mid(0, 4), QStringList({"500123", "400077", "3", "6"}));

    // Each code's progress row, for both readers, ended "OK".
    for (const char* m :
         {"Enviando alta(00123)", "Enviando baja(77)", "Enviando habilitación total",
          "Enviando inhabilitación total", "Enviando habilitación según perfil",
          "Enviando perfil horario", "Sincronizando registrador", "Reseteando registrador",
          "Habilitando alarmas", "Inhabilitando alarmas", "Encendiendo alarma",
          "Apagando alarma"}) {
        const auto rows = b.view.With(m);
        ASSERT_EQ(rows.size(), 2u) << m;
        EXPECT_EQ(rows[0].registrador, "A1");
        EXPECT_EQ(rows[1].registrador, "B1");
        for (const ViewRow& r : rows) {
            EXPECT_EQ(r.estado, "OK");
            EXPECT_EQ(r.state, 1);
            EXPECT_EQ(r.image, 3);
        }
    }
    // One connection per reader for its run of commands (plus collection's).
    EXPECT_EQ(b.view.Count("Conectándose con el registrador => A1"), 2);
    EXPECT_EQ(b.view.Count("Borrando comando de la base de datos"), 24);
}

TEST_F(Commands, AFailingCommandIsRestampedAndCarriedLater) {
    const QDateTime queued = b.clock.Now().addSecs(-3600);
    b.QueueCommand(1, "A1", "BAJA", "5", queued);
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'A').SetFaults(silent);

    b.RunCycles(2);  // the second cycle logs the thread's lines
    const QList<QVariantList> left = b.Commands();
    ASSERT_EQ(left.size(), 1);
    EXPECT_GT(AgentBench::DateTime(left[0][4]), queued.addSecs(1800));
    EXPECT_EQ(b.view.Count("Actualizando comando en la base de datos"), 2);
    // The line opens (the reader is just silent); the frame is never acknowledged.
    const auto sends = b.view.With("Enviando baja(5)");
    ASSERT_EQ(sends.size(), 2u);
    for (const ViewRow& r : sends) EXPECT_EQ(r.estado, "Error");
    EXPECT_EQ(LogMatching(b,
                          "\\[ComThread\\] ATENCION : Fin del loop\\. Se procesaron todos los "
                          "comandos disponibles\\. Hubo comandos procesados con error$")
                  .size(),
              1);
    EXPECT_EQ(LogMatching(b, "\\[ComThread\\] ERROR : El comando no se pudo enviar$").size(), 1);

    b.Reader(u'A').SetFaults(SimFaults{});
    b.RunCycles(1);
    EXPECT_EQ(b.Count("COMANDO"), 0);
    EXPECT_EQ(CommandsHeard(b.Reader(u'A')).count("400005"), 1);
}

TEST_F(Commands, AfterAFailureTheSameReaderIsConnectedAgain) {
    const QDateTime t = b.clock.Now().addSecs(-60);
    b.QueueCommand(1, "A1", "BAJA", "12x", t);  // not a key number
    b.QueueCommand(1, "A1", "HABILIT", "", t.addMSecs(10));
    b.RunCycles(1);
    EXPECT_EQ(CommandsHeard(b.Reader(u'A')), QStringList({"3"}));
    const QList<QVariantList> left = b.Commands();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0][2].toString(), "BAJA");
    // Collection's connection, the first command's, and the reconnection.
    EXPECT_EQ(b.view.Count("Conectándose con el registrador => A1"), 3);
    const auto bad = b.view.With("Enviando baja(12x)");
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].estado, "Error");
    EXPECT_EQ(bad[0].state, 2);
}

TEST_F(Commands, MalformedAndUnknownCommandsFailCleanly) {
    const QDateTime t = b.clock.Now().addSecs(-60);
    b.QueueCommand(1, "A1", "ALTA", "001", t);  // too short for an ordinary reader
    b.QueueCommand(1, "A1", "XYZ", "", t.addMSecs(10));
    b.QueueCommand(1, "A1", "ALTA", "AB123CD", t.addMSecs(20));
    b.QueueCommand(1, "A1", "alta", "00123AB", t.addMSecs(30));  // codes are case-sensitive
    b.RunCycles(1);
    EXPECT_TRUE(CommandsHeard(b.Reader(u'A')).isEmpty());
    EXPECT_EQ(b.Count("COMANDO"), 4);
    const auto unknown = b.view.With("Comando <XYZ> no registrado !");
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0].registrador, "A1");
    EXPECT_EQ(unknown[0].estado, "Error");
    EXPECT_EQ(unknown[0].image, 4);
    EXPECT_EQ(unknown[0].state, 2);
    EXPECT_EQ(b.view.Count("Comando <alta> no registrado !"), 1);
    for (const char* m : {"Enviando alta(001)", "Enviando alta(AB123)"}) {
        const auto rows = b.view.With(m);
        ASSERT_EQ(rows.size(), 1u) << m;
        EXPECT_EQ(rows[0].estado, "Error");
    }
}

TEST_F(Commands, StationFilterWithStations3_4_5And100) {
    b.config.Estacion = 4;
    b.config.Comandos = 1;  // a counted row of station 3 would use up the pass
    b.AddStation(3, "/dev/null-3");
    b.AddStation(4, b.LinePath());
    b.AddStation(5, "/dev/null-5");
    b.AddReader("C4", 4);
    b.Reader(u'C');
    const QDateTime t = b.clock.Now().addSecs(-60);
    b.QueueCommand(3, "A1", "RESET", "", t);
    b.QueueCommand(4, "C4", "HABILIT", "", t);
    b.QueueCommand(5, "A1", "RESET", "", t);
    b.QueueCommand(100, "C4", "INHABIL", "", t);

    b.RunCycles(2);
    EXPECT_EQ(CommandsHeard(b.Reader(u'C')), QStringList({"3"}));
    QList<QVariantList> left = b.Commands();
    ASSERT_EQ(left.size(), 3);
    EXPECT_EQ(left[0][0].toInt(), 3);
    EXPECT_EQ(left[1][0].toInt(), 5);
    EXPECT_EQ(left[2][0].toInt(), 100);
    const QStringList ends =
        LogMatching(b, "\\] Fin del loop\\. Se terminaron los comandos para esta estación\\.$");
    EXPECT_EQ(ends.size(), 1);  // logged in the second cycle only

    // Without a higher station before it, a row of station 100 is taken.
    b.Exec("DELETE FROM COMANDO WHERE IdEstacion = 5");
    b.RunCycles(1);
    EXPECT_EQ(CommandsHeard(b.Reader(u'C')), QStringList({"3", "6"}));
    left = b.Commands();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0][0].toInt(), 3);
}

TEST_F(Commands, PerCycleLimitAndVirtualReader) {
    b.config.Comandos = 3;
    b.AddStation(2, "/dev/null-2");
    b.AddReader("V1", 2, /*virtual*/ true);  // not collected here: only its command
    QDateTime t = b.clock.Now().addSecs(-60);
    b.QueueCommand(1, "V1", "RESET", "", t);
    for (int i = 0; i < 4; ++i)
        b.QueueCommand(1, "A1", "BAJA", QString::number(i), t.addSecs(i + 1));

    b.RunCycles(2);
    // Cycle 1: the virtual reader's command and two keys; cycle 2: two keys.
    EXPECT_EQ(b.Count("COMANDO"), 0);
    EXPECT_EQ(CommandsHeard(b.Reader(u'A')), QStringList({"400000", "400001", "400002", "400003"}));
    EXPECT_TRUE(b.view.Starting("Conectándose con el registrador => V1").empty());
    for (const ViewRow& r : b.view.rows) EXPECT_NE(r.registrador, "V1") << r.mensaje.toStdString();
    const QStringList limit = LogMatching(
        b, "\\] Fin del loop\\. Se llegó al máximo de comandos procesables por ciclo\\.$");
    EXPECT_TRUE(limit.isEmpty());  // cycle 2 had exactly the limit left and then the table ended
    EXPECT_EQ(
        LogMatching(b, "\\] Hay 2 comandos para procesar \\(max\\. procesables: 3\\)$").size(), 1);
}

TEST_F(Commands, PassStopsAtTheLimit) {
    b.config.Comandos = 2;
    const QDateTime t = b.clock.Now().addSecs(-60);
    for (int i = 0; i < 5; ++i) b.QueueCommand(1, "A1", "HABILIT", "", t.addSecs(i));
    b.RunCycles(2);
    EXPECT_EQ(b.Count("COMANDO"), 1);
    EXPECT_EQ(
        LogMatching(b, "\\] Hay 3 comandos para procesar \\(max\\. procesables: 2\\)$").size(), 1);
    EXPECT_EQ(LogMatching(b,
                          "\\] Fin del loop\\. Se llegó al máximo de comandos procesables por "
                          "ciclo\\.$")
                  .size(),
              1);
}

// A dead reader's command costs one try per pass, also when other stations'
// rows make the table's total larger than the rows of this station; the
// other readers are collected in every cycle meanwhile.
TEST_F(Commands, ADeadReadersCommandIsTriedOncePerPass) {
    b.AddStation(2, "/dev/null-2");
    const QDateTime t = b.clock.Now().addSecs(-60);
    b.QueueCommand(1, "A1", "BAJA", "5", t);
    b.QueueCommand(1, "B1", "HABILIT", "", t.addSecs(1));
    for (int i = 0; i < 4; ++i) b.QueueCommand(2, "X2", "RESET", "", t.addSecs(i));
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'A').SetFaults(silent);
    const QDateTime m = Minute(b.clock.Now().addSecs(-600));
    b.Reader(u'B').AddRegistration("11", 100, m);
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2)
            b.Reader(u'B').AddRegistration("11", 200, m.addSecs(60));
    };

    b.RunCycles(2);
    EXPECT_EQ(b.view.Count("Enviando baja(5)"), 2);  // once per cycle
    EXPECT_EQ(CommandsHeard(b.Reader(u'B')).count("3"), 1);  // besides collection's "0", "2"
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'B1'"), 2);
    EXPECT_EQ(b.Count("COMANDO", "IdRegistrador = 'A1'"), 1);
}

// An unknown code fails only its own row: the connection stays for the
// next command of the same reader.
TEST_F(Commands, AnUnknownCodeKeepsTheConnection) {
    const QDateTime t = b.clock.Now().addSecs(-60);
    b.QueueCommand(1, "A1", "XYZ", "", t);
    b.QueueCommand(1, "A1", "HABILIT", "", t.addSecs(1));
    b.RunCycles(1);
    EXPECT_EQ(CommandsHeard(b.Reader(u'A')), QStringList({"3"}));
    EXPECT_EQ(b.Count("COMANDO"), 1);
    // Collection's connection and the first command's; none after the failure.
    EXPECT_EQ(b.view.Count("Conectándose con el registrador => A1"), 2);
}

// A link that the recovery could not build is built at the next recovery,
// and the cycle after it collects and sends again.
TEST_F(Commands, ALinkThatCouldNotBeBuiltIsBuiltAtTheNextRecovery) {
    int builds = 0;
    b.beforeLinkBuilt = [&] {
        if (++builds == 2)  // the first recovery's build
            throw Exception(QStringLiteral("sin memoria para el enlace"));
    };
    b.Reader(u'A').AddRegistration("11", 100, Minute(b.clock.Now().addSecs(-600)));
    b.QueueCommand(1, "A1", "HABILIT", "");
    b.Exec("ALTER TABLE Reg RENAME TO RegAparte");  // cycle 1 fails at the reader list
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2)
            b.Exec("ALTER TABLE RegAparte RENAME TO Reg");
    };
    b.RunCycles(3);
    EXPECT_EQ(builds, 3);
    EXPECT_EQ(b.view.Count("Se detectó una anomalía, el sistema se recuperará luego de una "
                           "pausa de 10 segundos"),
              2);
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'A1'"), 1);
    EXPECT_EQ(b.Count("COMANDO"), 0);
}

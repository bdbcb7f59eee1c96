// Registration collection by the real thread: readers simulated on a real
// pseudo-terminal, a real database, the session log on disk.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include "link/WallClock.h"

#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

// Keys of the REGISTRA rows of one reader, with their state codes.
QStringList StoredOf(AgentBench& b, const QString& reader) {
    QStringList out;
    for (const QVariantList& r : b.Registrations())
        if (r[0].toString() == reader)
            out << r[1].toString() + ":" + r[2].toString();
    return out;
}

class Collection : public ::testing::TestWithParam<BenchDb> {};

}  // namespace

// Two readers, a door controller with visits and an Hta reader, with
// anti-passback switched on: the whole road of a registration.
TEST_P(Collection, TwoReadersStoredWithStateCodesVisitsAndAntiPassBack) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddStation(2, "/dev/null-station-2");
    b.AddReader("A1", 1, false, false, /*ctrlActivo*/ true);
    b.AddReader("B1", 1, false, /*hta*/ true);
    b.AddReader("C2", 2);
    b.Exec("INSERT INTO INGRESAN (Id, Nombre, Tipo, NroLlave) VALUES (10, 'Ana', 'EMPLEADO', 123)");
    b.Exec("INSERT INTO INGRESAN (Id, Nombre, Tipo, NroLlave) VALUES (11, 'Vera', 'VISITA', 456)");
    b.Exec("INSERT INTO Zonas (IdZona, IdReg, Tipo) VALUES ('Z1', 'A1', 'E')");
    b.Exec("INSERT INTO Zonas (IdZona, IdReg, Tipo) VALUES ('Z1', 'C2', 'S')");
    b.Exec(
        "INSERT INTO INGREG (IdRegistrador, IdIngresante, IdHorario, IdHorario2) "
        "VALUES ('A1', 10, '3', '')");
    b.Exec(
        "INSERT INTO INGREG (IdRegistrador, IdIngresante, IdHorario, IdHorario2) "
        "VALUES ('C2', 10, '4', '5')");
    QFile marker(b.dir.File("ANTIPB.ON"));
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();

    const QDateTime t = Minute(b.clock.Now().addSecs(-3600));
    SimulatedReader& a = b.Reader(u'A');
    a.AddRegistration("11", 123, t);
    a.AddRegistration("21", 123, t.addSecs(60));
    a.AddRegistration("13", 0, t.addSecs(120));
    a.AddRegistration("11", 99999, t.addSecs(180));
    SimulatedReader& r = b.Reader(u'B');
    r.AddRegistration("20", 456, t.addSecs(240));
    r.AddRegistration("22", 456, t.addSecs(300));

    b.RunCycles(1);

    EXPECT_EQ(StoredOf(b, "A1"),
              QStringList({"123:ENTHAB", "123:SALHAB", "0:PABIERTA", "-1:REQEX"}));
    EXPECT_EQ(StoredOf(b, "B1"), QStringList({"456:ENTHAB", "456:SALINHAB"}));
    EXPECT_EQ(b.Count("RegExp"), 6);
    EXPECT_EQ(AgentBench::DateTime(
                  b.Value("SELECT FechaHora FROM REGISTRA WHERE CodEstado = 'PABIERTA'")),
              t.addSecs(120));

    // Each reader erased once, after its registrations were read.
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_TRUE(r.Registrations().isEmpty());
    for (SimulatedReader* reader : {&a, &r}) {
        const QStringList req = reader->Requests();
        ASSERT_TRUE(req.contains("0") && req.contains("2")) << req.join(' ').toStdString();
        EXPECT_LT(req.indexOf("0"), req.indexOf("2"));
        EXPECT_EQ(req.count("2"), 1);
    }

    // Visits of the door controller: the entry and exit of key 123, and the
    // present entry of 99999; the Hta reader keeps none.
    EXPECT_EQ(b.Count("VISACT", "NroLlave = 123 AND Presente = FALSE AND RegSal = 'A1'"), 1);
    EXPECT_EQ(b.Count("VISACT", "NroLlave = 99999 AND Presente = TRUE"), 1);
    EXPECT_EQ(b.Count("VISACT"), 2);

    // Anti-passback: for the entry and the exit of key 123 at A1, its own
    // role loses the key (delivered at once: A1 is on this station) and the
    // other role of the zone gets it (left for the agent of station 2).
    EXPECT_EQ(a.Requests().count("400123"), 2);
    const QList<QVariantList> left = b.Commands();
    ASSERT_EQ(left.size(), 2);
    for (const QVariantList& c : left) {
        EXPECT_EQ(c[0].toInt(), 2);
        EXPECT_EQ(c[1].toString(), "C2");
        EXPECT_EQ(c[2].toString(), "ALTA");
        EXPECT_EQ(c[3].toString(), "0012345");
    }

    // What the window showed.
    const auto reading = b.view.With("Leyendo 4 registraciones del registrador");
    ASSERT_EQ(reading.size(), 1u);
    EXPECT_EQ(reading[0].registrador, "A1");
    EXPECT_EQ(reading[0].estado, "OK");
    EXPECT_EQ(reading[0].image, 3);
    EXPECT_EQ(reading[0].state, 1);
    const auto inserting = b.view.With("Insertando 2 registracion/es en la base de datos");
    ASSERT_EQ(inserting.size(), 1u);
    EXPECT_EQ(inserting[0].registrador, "");
    EXPECT_EQ(inserting[0].estado, "OK");
    const auto connecting = b.view.With("Conectándose con el registrador => B1");
    ASSERT_GE(connecting.size(), 1u);
    EXPECT_EQ(connecting[0].estado, "OK");
    EXPECT_EQ(connecting[0].state, 1);
    EXPECT_EQ(b.ComError(), 0);
}

// A failure to store (no id counter) leaves every registration in the reader;
// the next cycle stores each of them exactly once.
TEST_P(Collection, NothingClearedWhenStoringFailsAndTheNextCycleStoresOnce) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& a = b.Reader(u'A');
    const QDateTime t = Minute(b.clock.Now().addSecs(-600));
    for (int k = 1; k <= 3; ++k) a.AddRegistration("11", 700 + k, t.addSecs(60 * k));
    b.RemoveIdCounter();

    b.RunCycles(2);  // the second cycle logs the thread's lines
    EXPECT_EQ(b.Count("REGISTRA"), 0);
    EXPECT_EQ(b.Count("RegExp"), 0);
    EXPECT_EQ(a.Registrations().size(), 3);
    EXPECT_FALSE(a.Requests().contains("2"));
    const auto inserting = b.view.With("Insertando 3 registracion/es en la base de datos");
    ASSERT_EQ(inserting.size(), 2u);
    for (const ViewRow& r : inserting) {
        EXPECT_EQ(r.estado, "Error");
        EXPECT_EQ(r.state, 2);
    }
    b.CloseLog();
    EXPECT_TRUE(b.LogLines()
                    .filter(QRegularExpression(
                        "\\[ComThread\\] ERROR : El error se debe a no poder generar un nuevo Id "
                        "para la tabla registra\\.db$"))
                    .size() == 1);

    b.SetIdCounter(100);
    b.RunCycles(1);
    EXPECT_EQ(StoredOf(b, "A1"), QStringList({"701:ENTHAB", "702:ENTHAB", "703:ENTHAB"}));
    EXPECT_EQ(b.Value("SELECT MIN(Id) FROM REGISTRA").toInt(), 100);
    EXPECT_TRUE(a.Registrations().isEmpty());
}

// A record with a bad check byte is asked for again (NAK); one that checks
// but does not decode is skipped, counted, and reported once as "MEMERR".
TEST_P(Collection, BadAndUndecodableRecords) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    const QDateTime t = Minute(b.clock.Now().addSecs(-600));
    SimulatedReader& a = b.Reader(u'A');
    for (int k = 1; k <= 3; ++k) a.AddRegistration("11", 10 + k, t.addSecs(60 * k));
    SimFaults f;
    f.badCheckRecord = 2;
    a.SetFaults(f);
    SimulatedReader& r = b.Reader(u'B');
    r.AddRegistration("11", 21, t);
    r.AddRawText(
        "x11130108000002"
        "2x");  // month 13: checks, does not decode
    r.AddRegistration("21", 23, t.addSecs(60));

    b.RunCycles(1);

    EXPECT_EQ(a.NaksReceived(), 1);
    EXPECT_EQ(StoredOf(b, "A1"), QStringList({"11:ENTHAB", "12:ENTHAB", "13:ENTHAB"}));
    // The notice is stored as soon as the rejected record is known.
    EXPECT_EQ(StoredOf(b, "B1"), QStringList({"0:MEMERR", "21:ENTHAB", "23:SALHAB"}));
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_TRUE(r.Registrations().isEmpty());
    const auto reading = b.view.With("Leyendo 3 registraciones del registrador");
    ASSERT_EQ(reading.size(), 2u);
    EXPECT_EQ(reading[0].estado, "OK");
    EXPECT_EQ(reading[1].registrador, "B1");
    EXPECT_EQ(reading[1].estado, "Hay 1 errores");
    EXPECT_EQ(reading[1].state, 2);
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'MEMERR' AND ACK = FALSE"), 1);
    EXPECT_EQ(b.Count("RegExp", "CodEstado = 'MEMERR' AND ACK = TRUE"), 1);
}

// The DifHora minutes between clock warnings pass on the monotonic clock: the
// host's clock set back an hour does not hold the warning back, nor does one
// set forward bring it early.
TEST(CollectionClock, TheWarningIntervalIgnoresTheHostClockBeingSet) {
    const struct {
        const char* name;
        qint64 wallStepMs;
        qint64 passedMs;
        size_t warnings;
    } cases[] = {
        {"set back an hour, six minutes pass", -3600 * 1000, 6 * 60 * 1000, 1},
        {"set forward an hour, nothing passes", 3600 * 1000, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AgentBench b;
        ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
        b.AddStation(1, b.LinePath());
        b.AddReader("A1", 1);
        b.Reader(u'A').SetClockOffset(10 * 60);
        auto thread = b.MakeThread(true);
        thread->SetCycleLimit(1);
        b.clock.SetWallClock(c.wallStepMs);
        b.clock.Advance(c.passedMs);
        thread->Resume();
        thread->WaitForEnd();
        thread.reset();
        EXPECT_EQ(b.view.Starting("RELOJ FUERA DE HORA ").size(), c.warnings);
        EXPECT_EQ(size_t(b.Count("REGISTRA", "CodEstado = 'FUEHOR'")), c.warnings);
    }
}

// Records whose event code or key holds a byte no reader sends (a NUL, a
// control character) are bad records like any that does not decode: the
// reader's good records are stored, "MEMERR" is stored once, the reader is
// erased, and the next cycle finds it empty. (A NUL used to end the
// statement's text on PostgreSQL and hold the reader back for ever.)
TEST_P(Collection, BytesNoReaderSendsMakeABadRecordNotAStatementError) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    const QDateTime t = Minute(b.clock.Now().addSecs(-600));
    SimulatedReader& a = b.Reader(u'A');
    a.AddRegistration("11", 31, t);
    a.AddRawText(QByteArray("x\0" "1010108000003" "2x", 17));   // NUL in the event code
    a.AddRawText(QByteArray("x1\x01" "010108000003" "3x", 17));  // a control character
    a.AddRawText(QByteArray("x1101010800" "\0" "0034x", 17));    // NUL in the key
    a.AddRegistration("21", 35, t.addSecs(60));

    b.RunCycles(2);

    EXPECT_EQ(StoredOf(b, "A1"), QStringList({"0:MEMERR", "31:ENTHAB", "35:SALHAB"}));
    EXPECT_TRUE(a.Registrations().isEmpty());
    const auto reading = b.view.With("Leyendo 5 registraciones del registrador");
    ASSERT_EQ(reading.size(), 1u);
    EXPECT_EQ(reading[0].estado, "Hay 3 errores");
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'MEMERR'"), 1);
}

// Reader clocks out of tolerance: without ActHora the first reader is warned
// (and gets a "FUEHOR" row), the second is not, within DifHora minutes of the
// warning; with ActHora a clock command is queued and carried in the same cycle.
TEST_P(Collection, ClockOutOfToleranceWithAndWithoutActHora) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    b.AddReader("C1", 1);
    b.Reader(u'A').SetClockOffset(10 * 60);
    b.Reader(u'B').SetClockOffset(-10 * 60);
    b.Reader(u'C').SetClockOffset(4 * 60);  // inside the 5 minutes

    auto thread = b.MakeThread(true);
    thread->SetCycleLimit(2);
    // The first warning may come only DifHora minutes after the thread began.
    b.clock.Advance(6 * 60 * 1000);
    thread->Resume();
    thread->WaitForEnd();
    thread.reset();

    const auto warnings = b.view.Starting("RELOJ FUERA DE HORA ");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].registrador, "A1");
    EXPECT_EQ(warnings[0].estado, "ATENCION");
    EXPECT_EQ(warnings[0].state, 2);
    const QDateTime readerClock = b.Reader(u'A').Now();
    const QString expected = QStringLiteral("RELOJ FUERA DE HORA %1-%2-%3 %4:%5");
    QStringList candidates;
    for (int back : {0, 60, 120}) {
        const QDateTime c = readerClock.addSecs(-back);
        candidates << expected.arg(b.clock.Now().date().year())
                          .arg(c.date().month())
                          .arg(c.date().day())
                          .arg(c.time().hour())
                          .arg(c.time().minute());
    }
    EXPECT_TRUE(candidates.contains(warnings[0].mensaje)) << warnings[0].mensaje.toStdString();
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'FUEHOR'"), 1);
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'FUEHOR' AND IdRegistrador = 'A1' AND ACK = TRUE"),
              1);
    EXPECT_EQ(b.view.Starting("Fecha/Hora Reloj: ").size(), 6u);
    EXPECT_EQ(b.Count("COMANDO"), 0);

    // With ActHora: no warning, a "SINCRO" for each reader out of time, sent
    // in the command part of the same cycle.
    b.config.ActHora = true;
    b.view.rows.clear();
    b.RunCycles(1);
    EXPECT_TRUE(b.view.Starting("RELOJ FUERA DE HORA ").empty());
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'FUEHOR'"), 1);
    for (QChar letter : {u'A', u'B'}) {
        const QStringList sent =
            b.Reader(letter).Requests().filter(QRegularExpression("^1\\d{11}$"));
        ASSERT_EQ(sent.size(), 1) << QString(letter).toStdString();
        const QDate today = b.clock.Now().date();
        EXPECT_TRUE(sent[0].startsWith("1" + today.toString("yyMMdd") +
                                       QString::number(today.dayOfWeek() % 7 + 1)))
            << sent[0].toStdString();
    }
    EXPECT_TRUE(b.Reader(u'C').Requests().filter(QRegularExpression("^1\\d{11}$")).isEmpty());
    EXPECT_EQ(b.Count("COMANDO"), 0);
    EXPECT_EQ(b.view.With("Sincronizando registrador").size(), 2u);
}

// A station without readers and a virtual reader: nothing on the line.
TEST_P(Collection, StationWithoutReadersAndVirtualReader) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.RunCycles(2);
    b.CloseLog();
    EXPECT_EQ(b.LogLines()
                  .filter(QRegularExpression("\\[ComThread\\] Se van a consultar 0 "
                                             "registradores$"))
                  .size(),
              1);  // the first cycle writes no thread lines
    EXPECT_TRUE(b.view.Starting("Conectándose").empty());
    EXPECT_EQ(b.view.Count("Comienza procesamiento de comandos"), 2);
    EXPECT_FALSE(b.ComError().has_value());
}

TEST_P(Collection, VirtualReaderMovesItsSimulatedRegistrations) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("V1", 1, /*virtual*/ true, false, true);
    const QString when = Minute(b.clock.Now()).toString("yyyy-MM-dd HH:mm:ss.zzz");
    b.Exec(
        "INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, IdIngresante, Responsable, "
        "CodEstado) VALUES (?, 'V1', 55, -1, 'Simulador', 'ENTHAB')",
        {when});
    b.Exec(
        "INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, IdIngresante, Responsable, "
        "CodEstado) VALUES (?, 'V1', 55, -1, 'Simulador', 'SALHAB')",
        {when});
    b.RunCycles(1);
    EXPECT_EQ(StoredOf(b, "V1"), QStringList({"55:ENTHAB", "55:SALHAB"}));
    EXPECT_EQ(b.Count("REGSIM"), 0);
    EXPECT_EQ(b.Count("VISACT", "NroLlave = 55 AND Presente = FALSE AND RegSal = 'V1'"), 1);
    const auto rows = b.view.With("Insertando registracion/es virtuales en la base de datos");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].registrador, "V1");
    EXPECT_EQ(rows[0].estado, "OK");
    EXPECT_TRUE(b.view.Starting("Conectándose").empty());
    EXPECT_TRUE(b.view.Starting("Fecha/Hora Reloj").empty());
    EXPECT_FALSE(b.ComError().has_value());  // no connection, no flag written
}

// The night the zone springs forward, readers keep their own wall clock:
// registrations in the skipped hour (and in last autumn's repeated hour, and
// at the year end) are stored as the readers showed them, none rejected; the
// clock check compares wall clocks, so only the reader that did not jump
// gets a clock command.
TEST_P(Collection, DaylightSavingNightStoresTheReadersWallClock) {
    const ScopedTimeZone tz("Europe/Madrid");
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    const QDateTime now(QDate(2026, 3, 29), QTime(3, 10));  // summer time, after the jump
    b.clock.Advance(b.clock.Now().msecsTo(now));
    b.config.ActHora = true;
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    const auto wall = [](int y, int m, int d, int h, int n) {
        return WallClock::Make(QDate(y, m, d), QTime(h, n));
    };
    SimulatedReader& a = b.Reader(u'A');
    a.SetFixedClock(wall(2026, 3, 29, 3, 8));
    a.AddRegistration("11", 31, wall(2026, 3, 29, 2, 30));   // the skipped hour
    a.AddRegistration("21", 32, wall(2026, 3, 29, 1, 59));   // before it
    a.AddRegistration("11", 33, wall(2025, 10, 26, 2, 30));  // the repeated hour
    a.AddRegistration("21", 34, wall(2025, 12, 31, 23, 59));
    SimulatedReader& r = b.Reader(u'B');
    r.SetFixedClock(wall(2026, 3, 29, 2, 9));  // did not jump: an hour behind
    r.AddRegistration("11", 41, wall(2026, 3, 29, 2, 5));
    // A simulated registration written in the skipped hour by another program
    // (with microseconds, as PostgreSQL keeps them).
    b.AddReader("V1", 1, /*virtual*/ true);
    b.Exec(
        "INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, IdIngresante, "
        "Responsable, CodEstado) VALUES ('2026-03-29 02:45:00.123456', 'V1', 51, -1, "
        "'Simulador', 'ENTHAB')");

    b.RunCycles(1);

    QMap<int, QString> stored;
    for (const QVariantList& row :
         b.Rows("SELECT NroLlave, CAST(FechaHora AS VARCHAR(30)) FROM REGISTRA "
                "WHERE CodEstado <> 'MEMERR' AND CodEstado <> 'FUEHOR'"))
        stored[row[0].toInt()] = row[1].toString().left(16);
    QMap<int, QString> expected{{31, "2026-03-29 02:30"},
                                {32, "2026-03-29 01:59"},
                                {33, "2025-10-26 02:30"},
                                {34, "2025-12-31 23:59"},
                                {41, "2026-03-29 02:05"}};
    expected[51] = "2026-03-29 02:45";
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(b.Count("RegExp",
                      "NroLlave = 31 AND CAST(FechaHora AS VARCHAR(30)) LIKE "
                      "'2026-03-29 02:30%'"),
              1);
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'MEMERR'"), 0);
    EXPECT_TRUE(b.view.Starting("Hay ").empty());
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_TRUE(r.Registrations().isEmpty());
    EXPECT_EQ(b.Count("REGSIM"), 0);
    // Reader A's clock is right; reader B, an hour behind, gets a clock command.
    const QRegularExpression clockSet("^1\\d{11}$");
    EXPECT_TRUE(a.Requests().filter(clockSet).isEmpty());
    EXPECT_EQ(r.Requests().filter(clockSet).size(), 1);
    const auto clocks = b.view.Starting("Fecha/Hora Reloj: ");
    ASSERT_EQ(clocks.size(), 2u);
    EXPECT_EQ(clocks[1].mensaje, "Fecha/Hora Reloj: 29/03/2026 02:09");
}

INSTANTIATE_TEST_SUITE_P(Db, Collection, ::testing::Values(BenchDb::SQLite, BenchDb::PostgreSQL),
                         [](const auto& info) {
                             return info.param == BenchDb::SQLite ? "SQLite" : "PostgreSQL";
                         });

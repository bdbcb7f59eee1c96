// The station's state in the shared database after real cycles against
// simulated readers: which cycles write it (a change at once, otherwise at
// most once per interval), what the rows say, and a write that fails.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSysInfo>

#include "db/TSchema.h"
#include "shell/TVersionInfo.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

// The cycle of the station's last write (AGESTACION.Ciclo); 0 without a row.
int WrittenCycle(AgentBench& b) {
    const QVariant v = b.Value("SELECT Ciclo FROM AGESTACION WHERE IdEstacion = 1");
    return v.isValid() ? v.toInt() : 0;
}

std::string DbName(const testing::TestParamInfo<BenchDb>& info) {
    return info.param == BenchDb::SQLite ? "SQLite" : "PostgreSQL";
}

}  // namespace

class StationState : public ::testing::TestWithParam<BenchDb> {};
INSTANTIATE_TEST_SUITE_P(Db, StationState, ::testing::Values(BenchDb::SQLite, BenchDb::PostgreSQL),
                         DbName);

// Four cycles, B1 falling silent at the third. With the minute's interval an
// unchanged cycle writes nothing (2 and 4); with none every cycle writes.
TEST_P(StationState, AChangeIsWrittenAtOnceAndAnUnchangedCycleWaitsForTheInterval) {
    struct Case {
        int intervalMs;
        std::vector<int> seen;  // written cycle at the start of cycles 2, 3, 4 and at the end
    };
    for (const Case& c : {Case{60000, {1, 1, 3, 3}}, Case{0, {1, 2, 3, 4}}}) {
        AgentBench b(GetParam());
        if (!b.Ready())
            GTEST_SKIP() << b.SkipReason().toStdString();
        b.AddStation(1, b.LinePath());
        b.AddReader("A1", 1);
        b.AddReader("B1", 1);
        b.Reader(u'A');
        b.Reader(u'B');
        b.timing.stateIntervalMs = c.intervalMs;
        std::vector<int> seen;
        b.view.onCycleStart = [&](int cycle) {
            if (cycle > 1)
                seen.push_back(WrittenCycle(b));
            if (cycle == 3) {
                SimFaults silent;
                silent.silent = true;
                b.Reader(u'B').SetFaults(silent);
            }
        };
        b.RunCycles(4);
        seen.push_back(WrittenCycle(b));
        EXPECT_EQ(seen, c.seen) << "interval " << c.intervalMs;

        const QList<QVariantList> agent = b.Rows(
            "SELECT Equipo, Proceso, Version, Respondieron, ConLinea, FinCiclo FROM AGESTACION");
        ASSERT_EQ(agent.size(), 1);
        EXPECT_EQ(agent[0][0].toString(), QSysInfo::machineHostName());
        EXPECT_EQ(agent[0][1].toLongLong(), QCoreApplication::applicationPid());
        EXPECT_EQ(agent[0][2].toString(), TVersionInfo().VersionText());
        EXPECT_EQ(agent[0][3].toInt(), 1);
        EXPECT_EQ(agent[0][4].toInt(), 2);
        EXPECT_LE(qAbs(AgentBench::DateTime(agent[0][5]).secsTo(b.clock.Now())), 60);
        const QList<QVariantList> readers = b.Rows(
            "SELECT IdRegistrador, Respondio, UltimoResultado, DiferenciaReloj FROM AGESTADO "
            "ORDER BY IdRegistrador");
        ASSERT_EQ(readers.size(), 2);
        EXPECT_EQ(readers[0][0].toString(), "A1");
        EXPECT_TRUE(readers[0][1].toBool());
        EXPECT_EQ(readers[0][2].toString(), "OK");
        EXPECT_EQ(readers[0][3].toInt(), 0);
        EXPECT_EQ(readers[1][0].toString(), "B1");
        EXPECT_FALSE(readers[1][1].toBool());
        EXPECT_TRUE(readers[1][2].toString().startsWith("Se supero"))
            << readers[1][2].toString().toStdString();
    }
}

// The table goes away while the agent runs: the write of the change (a
// registration stored at cycle 3) fails and is told once, the registration
// is stored all the same, and the write is tried again every cycle (not only
// after the interval) until the table is back at cycle 5.
TEST_P(StationState, AWriteThatFailsIsToldOnceAndTheCyclesGoOn) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2)
            b.Exec("DROP TABLE AGESTADO");
        if (cycle == 3)
            b.Reader(u'A').AddRegistration("11", 321, b.clock.Now().addSecs(-60));
        if (cycle == 5) {
            const TSqlDriver driver =
                GetParam() == BenchDb::SQLite ? TSqlDriver::SQLite : TSqlDriver::PostgreSQL;
            for (const QString& statement : TSchema::Statements(driver))
                if (statement.startsWith("CREATE TABLE AGESTADO "))
                    b.Exec(statement);
        }
    };
    b.RunCycles(6);
    b.CloseLog();
    const QStringList lines = b.LogLines();
    EXPECT_EQ(
        lines.filter("No se pudo escribir el estado de la estación en la base de datos").size(), 1)
        << lines.join('\n').toStdString();
    EXPECT_EQ(lines.filter("Se volvió a escribir el estado de la estación").size(), 1);
    EXPECT_EQ(b.Count("REGISTRA", "NroLlave = 321"), 1);
    EXPECT_EQ(WrittenCycle(b), 5);
    EXPECT_EQ(b.Value("SELECT Almacenadas FROM AGESTADO WHERE IdRegistrador = 'A1'").toInt(), 1);
}

// Texts of the command queue far longer than any command: the real thread on
// a real SQLite file and on the throwaway PostgreSQL server, the readers
// simulated on a pseudo-terminal. The oversize row is refused and kept; the
// good rows around it go out and are deleted.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "shell/TextLimits.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

class Oversize : public ::testing::TestWithParam<BenchDb> {};

QStringList Heard(SimulatedReader& r) {
    QStringList out;
    for (const QString& q : r.Requests())
        if (q != "A" && q != "B")
            out << q;
    return out;
}

}  // namespace

TEST_P(Oversize, ATwentyMebibyteCommandIsRefusedOncePerPassAndTheOthersGoOut) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.Reader(u'A');
    b.config.Comandos = 50;
    const QDateTime t = b.clock.Now().addSecs(-60);
    // Digits only: cut to its bound it would still read as a key number, so
    // only the length can tell it is not the command that was queued.
    const QString huge = QString(20 * 1024 * 1024 - 2, u'0') + QStringLiteral("99");
    b.QueueCommand(1, "A1", "BAJA", "00011", t);
    b.QueueCommand(1, "A1", "BAJA", huge, t.addMSecs(10));
    b.QueueCommand(1, "A1", "BAJA", "00033", t.addMSecs(20));
    // A reader id and a code over their bound are refused the same way.
    b.QueueCommand(1, QString(300, u'A'), "BAJA", "00044", t.addMSecs(30));
    b.QueueCommand(1, "A1", QString(TextLimits::kField + 1, u'B'), "00055", t.addMSecs(40));
    // At the bound itself a text is taken (and fails as a malformed key).
    b.QueueCommand(1, "A1", "BAJA", QString(TextLimits::kCommandText, u'x'), t.addMSecs(50));

    b.RunCycles(3);

    // The good ones went out once each and were deleted.
    EXPECT_EQ(Heard(b.Reader(u'A')).filter(QRegularExpression("^4")),
              (QStringList{"400011", "400033"}));
    // The refused rows are still there, whole.
    EXPECT_EQ(b.Value("SELECT length(Texto) FROM COMANDO WHERE CodComando = 'BAJA' AND "
                      "length(Texto) > 5000")
                  .toLongLong(),
              huge.size());
    EXPECT_EQ(b.Count("COMANDO"), 4);
    EXPECT_EQ(b.Count("COMANDO", "Texto = '00011' OR Texto = '00033'"), 0);

    // Said once per pass for each refused row, with its id, station and field.
    const auto refused = b.view.Starting("El comando ");
    ASSERT_EQ(refused.size(), 9u);
    const QString id = b.Value("SELECT Id FROM COMANDO WHERE length(Texto) > 5000").toString();
    const QRegularExpression big(
        "^El comando " + id +
        " de la estación 1 \\(registrador A1, código BAJA\\) no se envía: el texto tiene "
        "20971520 caracteres \\(el máximo es 4096\\); queda en la tabla$");
    int bigRows = 0;
    for (const ViewRow& r : refused) {
        EXPECT_EQ(r.estado, "Error");
        EXPECT_LE(r.mensaje.size(), TextLimits::kLine);
        bigRows += big.match(r.mensaje).hasMatch();
    }
    EXPECT_EQ(bigRows, 3);
    EXPECT_EQ(b.view.Starting("El comando ").size(), 9u);
    EXPECT_EQ(
        int(std::count_if(refused.begin(), refused.end(),
                          [](const ViewRow& r) {
                              return r.mensaje.contains("el registrador tiene 300 caracteres");
                          })),
        3);
    // The text at its bound was taken: it fails on its own, as a malformed key.
    EXPECT_EQ(b.view.Starting("Enviando baja(xxx").size(), 3u);

    // The session log has the refusal (once per logged pass) and no line of
    // megabytes: every line stays within the bound.
    b.CloseLog();
    const QStringList lines = b.LogLines();
    EXPECT_EQ(lines
                  .filter(QRegularExpression("\\[ComThread\\] ERROR : El comando " + id +
                                             " de la estación 1 "))
                  .size(),
              2);
    for (const QString& line : lines) EXPECT_LT(line.size(), TextLimits::kLine + 64);
}

// A reader whose id (or line) is far longer than any reader's is refused,
// once per pass, and the other readers of the station are read. (A key of
// megabytes does not fit PostgreSQL's index of Reg.Id: 1000 characters do.)
TEST_P(Oversize, AReaderWithAnOversizeIdIsRefusedAndTheOthersAreRead) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    const QString huge = "Z" + QString(999, u'9');
    b.AddReader(huge, 1);
    b.AddReader("A1", 1);
    b.Reader(u'A').AddRegistration("11", 123, QDateTime::currentDateTime());

    b.RunCycles(2);

    const auto refused = b.view.Starting("El registrador Z999");
    ASSERT_EQ(refused.size(), 2u);
    for (const ViewRow& r : refused) {
        EXPECT_TRUE(r.mensaje.endsWith(
            " de la estación 1 no se lee: su Id tiene 1000 caracteres (el máximo es 255)"))
            << r.mensaje.left(80).toStdString();
        EXPECT_LE(r.mensaje.size(), 2 * TextLimits::kField + 100);
        EXPECT_EQ(r.registrador.size(), TextLimits::kField);
    }
    // No connection on its word; A1 read, stored and erased.
    EXPECT_TRUE(b.view.Starting("Conectándose con el registrador => Z").empty());
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'A1'"), 1);
    EXPECT_TRUE(b.Reader(u'A').Registrations().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Db, Oversize, ::testing::Values(BenchDb::SQLite, BenchDb::PostgreSQL),
                         [](const auto& info) {
                             return info.param == BenchDb::SQLite ? "SQLite" : "PostgreSQL";
                         });

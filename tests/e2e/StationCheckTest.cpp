// agente --check [--probe]: the real program against simulated readers on a
// real pseudo-terminal and a real SQLite file, as an installer runs it.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QStringEncoder>

#include "shell/RegistryFile.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

struct CheckRun {
    int code = -1;
    QStringList lines;

    // The line of one item ("Registrador A1"), empty when not listed.
    QString Of(const QString& item) const {
        for (const QString& l : lines)
            if (l.mid(7).startsWith(item + QLatin1String(": ")))
                return l;
        return {};
    }
    bool Ok(const QString& item) const { return Of(item).startsWith(QLatin1String("OK ")); }
    bool Failed(const QString& item) const { return Of(item).startsWith(QLatin1String("FALLA ")); }
};

CheckRun RunCheck(const QString& registry, const QStringList& extra = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("KELVOR_REGISTRY");
    p.setProcessEnvironment(env);
    p.start(BuildDir() + "/core/agente", QStringList{"--check", "--registry", registry} + extra);
    EXPECT_TRUE(p.waitForFinished(60000));
    CheckRun r;
    r.code = p.exitCode();
    r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return r;
}

struct Station {
    AgentBench b;
    Station() {
        b.AddStation(1, b.LinePath());
        b.AddReader("A1", 1);
        b.AddReader("B1", 1);
        b.Reader(u'A');
        b.Reader(u'B');
        b.config.Retrys = 1;  // a silent reader costs two attempts of one second
        b.config.Save(RegistryFile(b.registry));
    }
};

}  // namespace

TEST(StationCheck, AGoodStationIsOkItemByItemAndNothingIsSentWithoutTheProbe) {
    Station s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    const QDateTime t = QDateTime::currentDateTime().addSecs(-600);
    s.b.Reader(u'A').AddRegistration("11", 123, t);
    s.b.Reader(u'A').AddRegistration("11", 124, t);

    const CheckRun plain = RunCheck(s.b.registry);
    EXPECT_EQ(plain.code, 0) << plain.lines.join('\n').toStdString();
    for (const QString& l : plain.lines) EXPECT_TRUE(l.startsWith("OK ")) << l.toStdString();
    EXPECT_TRUE(plain.Of("Configuración").contains(s.b.registry + " (UTF-8), estación 1"));
    EXPECT_TRUE(plain.Of("Base de datos").contains("QSQLITE " + s.b.database));
    EXPECT_TRUE(plain.Ok("Tablas"));
    EXPECT_TRUE(plain.Ok("AGPENDIENTE"));
    EXPECT_TRUE(plain.Of("Contador de ids").contains("próximo id 1"));
    EXPECT_TRUE(plain.Of("Registradores").contains("2 en la estación 1"));
    EXPECT_TRUE(plain.Of("Registrador A1").contains("línea " + s.b.LinePath() + ", 9600 bit/s"));
    EXPECT_TRUE(plain.Of("Registrador B1").contains("se abrió y se cerró"));
    EXPECT_TRUE(s.b.Reader(u'A').Heard().isEmpty());
    EXPECT_TRUE(s.b.Reader(u'B').Heard().isEmpty());

    // The probe asks for the status records only: nothing erased, no command.
    const CheckRun probe = RunCheck(s.b.registry, {"--probe"});
    EXPECT_EQ(probe.code, 0) << probe.lines.join('\n').toStdString();
    EXPECT_TRUE(probe.Of("Registrador A1").contains("responde: reloj "))
        << probe.Of("Registrador A1").toStdString();
    EXPECT_TRUE(probe.Of("Registrador A1").contains("(0 min), 2 registraciones"));
    EXPECT_TRUE(probe.Of("Registrador B1").contains(", 0 registraciones"));
    EXPECT_EQ(s.b.Reader(u'A').Requests(), (QStringList{"A", "B"}));
    EXPECT_EQ(s.b.Reader(u'A').Registrations().size(), 2);

    // A settings file as another system's registry editor exports it.
    const QString text = QString::fromUtf8(ReadAll(s.b.registry)).replace("\n", "\r\n");
    QStringEncoder utf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    ASSERT_TRUE(WriteAll(s.b.registry, QByteArray(utf16(text))));
    const CheckRun exported = RunCheck(s.b.registry);
    EXPECT_EQ(exported.code, 0);
    EXPECT_TRUE(exported.Of("Configuración").contains("(UTF-16 LE con BOM, CR LF), estación 1"))
        << exported.Of("Configuración").toStdString();
}

TEST(StationCheck, EachProblemIsNamedOnItsLineAndTheExitIsNonZero) {
    Station s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();

    // A silent reader, found by the probe only.
    SimFaults silent;
    silent.silent = true;
    s.b.Reader(u'B').SetFaults(silent);
    EXPECT_EQ(RunCheck(s.b.registry).code, 0);
    const CheckRun probe = RunCheck(s.b.registry, {"--probe"});
    EXPECT_EQ(probe.code, 1);
    EXPECT_TRUE(probe.Ok("Registrador A1"));
    EXPECT_TRUE(probe.Failed("Registrador B1"));
    EXPECT_TRUE(probe.Of("Registrador B1").contains("no responde (TimeOut 1 s, Retrys 1)"))
        << probe.Of("Registrador B1").toStdString();

    // A missing table and the agent's own; no id counter.
    s.b.Exec("DROP TABLE Zonas");
    s.b.Exec("DROP TABLE AGPENDIENTE");
    s.b.RemoveIdCounter();
    const CheckRun tables = RunCheck(s.b.registry);
    EXPECT_EQ(tables.code, 1);
    EXPECT_TRUE(tables.Of("Tablas").startsWith("FALLA  Tablas: faltan Zonas; créelas"));
    EXPECT_TRUE(tables.Of("AGPENDIENTE").contains("\"kelvordb upgrade\""));
    EXPECT_TRUE(tables.Failed("AGPENDIENTE"));
    EXPECT_TRUE(tables.Failed("Contador de ids"));
    EXPECT_TRUE(tables.Ok("Registrador A1"));

    // A line that is not there.
    s.b.Exec("UPDATE Estacion SET Puerto = ?", {s.b.dir.File("no-such-tty")});
    const CheckRun line = RunCheck(s.b.registry);
    EXPECT_EQ(line.code, 1);
    EXPECT_TRUE(line.Failed("Registrador A1"));
    EXPECT_TRUE(line.Of("Registrador A1").contains("No se puede abrir el puerto"));

    // No database: nothing further can be looked at.
    ASSERT_TRUE(QFile::remove(s.b.database));
    const CheckRun nodb = RunCheck(s.b.registry);
    EXPECT_EQ(nodb.code, 1);
    EXPECT_TRUE(nodb.Ok("Configuración"));
    EXPECT_TRUE(nodb.Of("Base de datos").contains("No existe el archivo de base de datos"));
    EXPECT_TRUE(nodb.Of("Registrador A1").isEmpty());

    // No settings file at all.
    const CheckRun nofile = RunCheck(s.b.dir.File("missing.reg"));
    EXPECT_EQ(nofile.code, 1);
    EXPECT_TRUE(nofile.Of("Configuración").contains("no existe"));
}

// A line whose converter echoes what the agent sends, and one that does not,
// probed with each echo setting: the probe says when the line echoes, and
// when the setting does not fit the line it names the setting that would.
TEST(StationCheck, TheProbeSaysWhenTheLineEchoesAndWhenEcoDoesNotFitIt) {
    const struct {
        qint32 eco;
        bool lineEchoes;
        bool ok;
        const char* says;  // nullptr: the line says nothing of an echo
    } cases[] = {
        {2, true, true, ", 0 registraciones; la línea devuelve el eco de lo enviado"},
        {1, true, true, ", 0 registraciones; la línea devuelve el eco de lo enviado"},
        {2, false, true, nullptr},
        {0, true, false,
         ": la línea devuelve el eco de lo enviado y Eco=0 no lo aparta; responde con Eco=2"},
        {1, false, false,
         ": la línea no devuelve el eco de lo enviado y Eco=1 lo espera; responde con Eco=2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("Eco=%1, %2")
                         .arg(c.eco)
                         .arg(c.lineEchoes ? "echo" : "no echo")
                         .toStdString());
        Station s;
        ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
        ASSERT_TRUE(RegistryFile(s.b.registry)
                        .Write(RegistryKeys::kAgent, {RegistryValue::Int("Eco", c.eco)}));
        s.b.Line().SetEcho(c.lineEchoes, 16);
        const CheckRun probe = RunCheck(s.b.registry, {"--probe"});
        EXPECT_EQ(probe.code, c.ok ? 0 : 1) << probe.lines.join('\n').toStdString();
        for (const QString item : {"Registrador A1", "Registrador B1"}) {
            const QString line = probe.Of(item);
            EXPECT_EQ(c.ok ? probe.Ok(item) : probe.Failed(item), true) << line.toStdString();
            if (c.says)
                EXPECT_TRUE(line.endsWith(QString::fromUtf8(c.says))) << line.toStdString();
            else
                EXPECT_FALSE(line.contains("eco")) << line.toStdString();
        }
    }
}

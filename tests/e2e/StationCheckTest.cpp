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
    EXPECT_TRUE(plain.Ok("AGESTACION, AGESTADO"));
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
    s.b.Exec("DROP TABLE AGESTACION");
    s.b.RemoveIdCounter();
    const CheckRun tables = RunCheck(s.b.registry);
    EXPECT_EQ(tables.code, 1);
    EXPECT_TRUE(tables.Of("Tablas").startsWith("FALLA  Tablas: faltan Zonas; créelas"));
    EXPECT_TRUE(tables.Of("AGPENDIENTE").contains("\"kelvordb upgrade\""));
    EXPECT_TRUE(tables.Failed("AGPENDIENTE"));
    EXPECT_TRUE(tables.Failed("AGESTACION, AGESTADO"));
    EXPECT_TRUE(tables.Of("AGESTACION, AGESTADO").contains("falta AGESTACION;"))
        << tables.Of("AGESTACION, AGESTADO").toStdString();
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

// The settings line as installers leave the file: a value the agent cannot
// read fails it, naming the value and its key; a Windows-1252 file is no
// fault; a database password in a file every user may read fails its own
// line, and passes once the file is 0640.
TEST(StationCheck, TheSettingsLineFailsOnUnreadableValuesAndAPasswordOthersMayRead) {
    Station s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    const QByteArray good = ReadAll(s.b.registry);
    const struct {
        const char* from;
        const char* to;
        const char* said;  // empty: the line is OK
    } cases[] = {
        {"\"Estacion\"=dword:00000001", "\"Estacion\"=\"1\"", "El valor \"Estacion\"=\"1\""},
        {"\"TimeOut\"=dword:00000001", "\"TimeOut\"=dword:00000001 ; nota",
         "El valor \"TimeOut\"=dword:00000001 ; nota"},
        {"\"Estacion\"=dword:00000001", "; Dep\xF3sito\n\"Estacion\"=dword:00000001", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        QByteArray text = good;
        ASSERT_TRUE(text.contains(c.from)) << text.constData();
        ASSERT_TRUE(WriteAll(s.b.registry, text.replace(c.from, c.to)));
        const CheckRun r = RunCheck(s.b.registry);
        const QString line = r.Of("Configuración");
        if (*c.said == 0) {
            EXPECT_TRUE(r.Ok("Configuración")) << line.toStdString();
            EXPECT_TRUE(line.contains("(Windows-1252")) << line.toStdString();
            continue;
        }
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.Failed("Configuración")) << line.toStdString();
        EXPECT_TRUE(line.contains(QString::fromUtf8(c.said))) << line.toStdString();
        EXPECT_TRUE(
            line.contains("de la clave HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\"
                          "Agente\\1.0"));
        EXPECT_EQ(ReadAll(s.b.registry), text);  // the check writes nothing
    }

    ASSERT_TRUE(WriteAll(s.b.registry, good));
    EXPECT_TRUE(RunCheck(s.b.registry).Of("Contraseña").isEmpty());  // no password, no line
    ASSERT_TRUE(RegistryFile(s.b.registry)
                    .Write(RegistryKeys::kAlias, {RegistryValue::Str("Password", "secreto")}));
    for (const auto& [mode, ok] : {std::pair{QFile::Permissions(0x6644), false},
                                   std::pair{QFile::Permissions(0x6640), true}}) {
        ASSERT_TRUE(QFile::setPermissions(s.b.registry, mode));
        const CheckRun r = RunCheck(s.b.registry);
        SCOPED_TRACE(r.lines.join('\n').toStdString());
        EXPECT_EQ(r.Ok("Contraseña"), ok);
        EXPECT_EQ(r.Failed("Contraseña"), !ok);
        if (!ok) {
            EXPECT_EQ(r.code, 1);
            EXPECT_TRUE(r.Of("Contraseña").contains("chmod o-r " + s.b.registry));
        }
    }
}

// agente --check [--probe]: the real program against simulated readers on a
// real pseudo-terminal and a real SQLite file, as an installer runs it.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QFile>
#include <QProcess>
#include <QStringEncoder>
#include <functional>

#include <QDir>
#include <QRegularExpression>

#include "db/TSchema.h"
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

// `unprivileged`: as the user nobody when the test runs as root (as the
// service's user meets the files), else as the test's own user.
CheckRun RunCheck(const QString& registry, const QStringList& extra = {},
                  bool unprivileged = false) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("KELVOR_REGISTRY");
    p.setProcessEnvironment(env);
    const QStringList args = QStringList{"--check", "--registry", registry} + extra;
    if (unprivileged && ::geteuid() == 0)
        p.start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                       BuildDir() + "/core/agente"} +
                               args);
    else
        p.start(BuildDir() + "/core/agente", args);
    if (!p.waitForFinished(60000)) {
        ADD_FAILURE() << "agente --check did not end";
        p.kill();
        p.waitForFinished(5000);
    }
    CheckRun r;
    r.code = p.exitCode();
    r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return r;
}

struct Station {
    AgentBench b;
    explicit Station(BenchDb db = BenchDb::SQLite) : b(db) {
        if (!b.Ready())
            return;  // the test skips
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
    EXPECT_TRUE(tables.Of("Tablas").startsWith(
        "FALLA  Tablas: falta Zonas; créela con \"kelvordb upgrade\""))
        << tables.Of("Tablas").toStdString();
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
// Every value the agent cannot work with is a FALLA on the item it belongs
// to, with the cause and the command or setting that mends it; the same
// station with the value mended passes.
TEST(StationCheck, EachValueThatCannotWorkIsAFallaWithItsFix) {
    const struct {
        const char* name;
        std::function<void(Station&)> spoil;
        const char* item;
        QStringList says;     // all of these
        QStringList notSays;  // none of these
    } cases[] = {
        {"no retries",
         [](Station& s) {
             s.b.config.Retrys = 0;
             s.b.config.Save(RegistryFile(s.b.registry));
         },
         "Comunicación",
         {"\"Retrys\" es 0", "\"Retrys\"=dword:00000001"},
         {}},
        {"no wait",
         [](Station& s) {
             s.b.config.TimeOut = 0;
             s.b.config.Save(RegistryFile(s.b.registry));
         },
         "Comunicación",
         {"\"TimeOut\" es 0", "\"TimeOut\"=dword:00000003"},
         {}},
        {"a speed the line does not take",
         [](Station& s) { s.b.Exec("UPDATE Reg SET Velocidad = 12345 WHERE Id = 'A1'"); },
         "Registrador A1",
         {"no admite la velocidad 12345 bit/s", "\"kelvordb registrador A1 1 --velocidad 9600\""},
         {"No se puede abrir el puerto"}},
        {"an empty port",
         [](Station& s) { s.b.Exec("UPDATE Estacion SET Puerto = ''"); },
         "Registrador A1",
         {"no tiene puerto", "COM1, /dev/ttyS0", "\"kelvordb estacion 1 PUERTO\""},
         {}},
        {"no port",
         [](Station& s) { s.b.Exec("UPDATE Estacion SET Puerto = NULL"); },
         "Registrador B1",
         {"no tiene puerto"},
         {}},
        {"an unmapped port without its device",
         [](Station& s) { s.b.Exec("UPDATE Estacion SET Puerto = 'COM250'"); },
         "Registrador A1",
         {"COM250 no está en [HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Puertos]",
          "/dev/ttyS249 no existe", "\"kelvordb puerto COM250 /dev/ttyUSB0\""},
         {}},
        {"a table missing beside the others",
         [](Station& s) { s.b.Exec("DROP TABLE REGSIM"); },
         "Tablas",
         {"falta REGSIM; créela con \"kelvordb upgrade\""},
         {"kelvordb init"}},
        {"no id counter",
         [](Station& s) { s.b.RemoveIdCounter(); },
         "Contador de ids",
         {"\"kelvordb contador\""},
         {}},
        {"no readers",
         [](Station& s) { s.b.Exec("DELETE FROM Reg"); },
         "Registradores",
         {"\"kelvordb registrador ID 1\""},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Station s;
        ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
        const CheckRun good = RunCheck(s.b.registry);
        ASSERT_EQ(good.code, 0) << good.lines.join('\n').toStdString();
        c.spoil(s);
        const CheckRun bad = RunCheck(s.b.registry);
        EXPECT_EQ(bad.code, 1);
        const QString line = bad.Of(c.item);
        EXPECT_TRUE(bad.Failed(c.item)) << bad.lines.join('\n').toStdString();
        for (const QString& text : c.says) EXPECT_TRUE(line.contains(text)) << line.toStdString();
        for (const QString& text : c.notSays)
            EXPECT_FALSE(line.contains(text)) << line.toStdString();
        // The problem is a FALLA of its own items only (a station's port, of
        // each of its readers); the other items stay as they were.
        const QString kind = QString(c.item).section(' ', 0, 0);
        for (const QString& l : bad.lines.filter(QRegularExpression("^FALLA")))
            EXPECT_TRUE(l.mid(7).startsWith(kind)) << l.toStdString();
    }
}

// An empty database: only init helps, and no reader can be looked at.
TEST(StationCheck, AnEmptyDatabaseAsksForInit) {
    Station s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    for (const QString& t : TSchema::Tables()) s.b.Exec("DROP TABLE " + t);
    const CheckRun r = RunCheck(s.b.registry);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.Of("Tablas").contains("ninguna tabla; cree el esquema con \"kelvordb init\""))
        << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.Of("Registradores").isEmpty());
    EXPECT_TRUE(r.Of("AGPENDIENTE").isEmpty());
}

// A database the agent's user may read but not write: the file, or the
// folder where SQLite keeps its journal.
TEST(StationCheck, ADatabaseThatCannotBeWrittenIsAFalla) {
    Station s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    s.b.CloseLog();
    const QFile::Permissions all = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther |
                                   QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    // Everything readable by the unprivileged user, the database written by
    // nobody else meanwhile.
    ASSERT_TRUE(QFile::setPermissions(s.b.dir.Path(), all | QFile::WriteOwner));
    for (const QString& f : QDir(s.b.dir.Path()).entryList(QDir::Files))
        QFile::setPermissions(s.b.dir.File(f), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ReadGroup | QFile::ReadOther);
    CheckRun r = RunCheck(s.b.registry, {}, true);
    EXPECT_TRUE(r.Failed("Escritura")) << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.Of("Escritura").contains(s.b.database)) << r.Of("Escritura").toStdString();
    EXPECT_TRUE(r.Of("Escritura").contains("chown kelvor:kelvor"));
    EXPECT_TRUE(r.Ok("Tablas"));  // it can be read

    // The file writable by all, its folder not: no journal can be made.
    QFile::setPermissions(s.b.database, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                            QFile::WriteGroup | QFile::ReadOther |
                                            QFile::WriteOther);
    for (const QString& f : {s.b.database + "-wal", s.b.database + "-shm"})
        if (QFile::exists(f))
            QFile::setPermissions(f, QFile::permissions(s.b.database));
    r = RunCheck(s.b.registry, {}, true);
    EXPECT_TRUE(r.Failed("Escritura")) << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.Of("Escritura").contains(s.b.dir.Path() + " ("))
        << r.Of("Escritura").toStdString();

    // As the owner it passes.
    QFile::setPermissions(s.b.dir.Path(),
                          all | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther);
    r = RunCheck(s.b.registry, {}, true);
    EXPECT_TRUE(r.Ok("Escritura")) << r.lines.join('\n').toStdString();
}

// PostgreSQL: a role that may read but not insert, named with the GRANT that
// mends it; a server's error of several lines stays on its item's line.
TEST(StationCheck, PostgreSqlRoleWithoutInsertAndServerErrorsOnOneLine) {
    Station s(BenchDb::PostgreSQL);
    if (!s.b.Ready())
        GTEST_SKIP() << s.b.SkipReason().toStdString();
    CheckRun r = RunCheck(s.b.registry);
    ASSERT_EQ(r.code, 0) << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.Ok("Escritura"));

    const QString role = "kelvor_ro_" + QString::number(::getpid());
    s.b.Exec("CREATE ROLE " + role + " LOGIN");
    s.b.Exec("GRANT SELECT ON ALL TABLES IN SCHEMA public TO " + role);
    s.b.Exec("GRANT UPDATE ON codigo, comando, visact, ingresan, llave TO " + role);
    s.b.Exec("GRANT DELETE ON comando, regsim, agpendiente TO " + role);
    s.b.Exec("GRANT INSERT ON comando, visact, agpendiente TO " + role);
    RegistryFile reg(s.b.registry);
    ASSERT_TRUE(reg.Write(RegistryKeys::kAlias, {RegistryValue::Str("User", role)}));
    r = RunCheck(s.b.registry);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.Failed("Escritura")) << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.Of("Escritura")
                    .contains("GRANT INSERT ON registra TO " + role +
                              "; GRANT "
                              "INSERT ON regexp TO " +
                              role))
        << r.Of("Escritura").toStdString();

    // A database that is not there: the server's words, one line.
    ASSERT_TRUE(reg.Write(RegistryKeys::kAlias, {RegistryValue::Str("Database", "no_such_db_x")}));
    r = RunCheck(s.b.registry);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.Failed("Base de datos")) << r.lines.join('\n').toStdString();
    for (const QString& l : r.lines)
        EXPECT_TRUE(l.startsWith("OK ") || l.startsWith("FALLA ")) << l.toStdString();
    s.b.Exec("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + role);
    s.b.Exec("DROP ROLE " + role);
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

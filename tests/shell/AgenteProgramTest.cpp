// The real agent program, run as a separate process with a real settings file.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include "shell/TVersionInfo.h"
#include "tests/support/TestSupport.h"

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

const QStringList kDefaults = {
    "Estacion=1",        "Comandos=10",     "Prioridad=3",   "Filas=100", "DifHora=5",
    "LogFileActivado=0", "LogFileAppend=0", "LogFileMax=30", "Retrys=2",  "TimeOut=3",
    "Espera=3",          "Kelvor1Compat=0", "ActHora=0",     "IV=1",      "MASTER1=0",
    "MASTER2=0",         "MASTER3=0",       "PSW=0",         "Eco=2"};

class AgenteProgramTest : public ::testing::Test {
protected:
    ScratchDir dir;
    QString registry = dir.File("registry.reg");

    // Runs agente with no display at all: a window would make Qt abort.
    Outcome Run(const QStringList& args, const QString& envRegistry = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.remove("KELVOR_REGISTRY");
        if (!envRegistry.isEmpty())
            env.insert("KELVOR_REGISTRY", envRegistry);
        QProcess p;
        p.setProcessEnvironment(env);
        const QString program = BuildDir() + "/core/agente";
        p.start(program, args);
        EXPECT_TRUE(p.waitForFinished(30000))
            << program.toStdString() << ": " << p.errorString().toStdString();
        Outcome o;
        o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.out = QString::fromUtf8(p.readAllStandardOutput());
        o.err = QString::fromUtf8(p.readAllStandardError());
        return o;
    }
    // `err`: what standard error said (without it, it must say nothing).
    QStringList PrintConfig(QString* err = nullptr) {
        const Outcome o = Run({"--print-config", "--registry", registry});
        EXPECT_EQ(o.exitCode, 0) << o.err.toStdString();
        if (err)
            *err = o.err;
        else
            EXPECT_EQ(o.err, "");
        EXPECT_TRUE(o.out.endsWith('\n'));
        QStringList lines = o.out.split('\n', Qt::SkipEmptyParts);
        // The settings file read, as a comment after the settings.
        EXPECT_EQ(lines.takeLast(), "# Archivo: " + registry);
        return lines;
    }
    void StoreAgentKey(const QByteArray& values) {
        ASSERT_TRUE(WriteAll(registry,
                             "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n" +
                                 values));
    }
    static QStringList With(QStringList lines, const QStringList& changes) {
        for (const QString& c : changes) {
            const QString name = c.section('=', 0, 0);
            for (QString& l : lines)
                if (l.section('=', 0, 0) == name)
                    l = c;
        }
        return lines;
    }
};

TEST_F(AgenteProgramTest, PrintConfigWithoutSettingsFileShowsEveryDefaultAndSavesNothing) {
    QString err;
    EXPECT_EQ(PrintConfig(&err), kDefaults);
    EXPECT_EQ(err, "agente: No existe el archivo de configuración " + registry +
                       "; se usan los valores por omisión y el cierre no lo crea\n");
    EXPECT_FALSE(QFileInfo::exists(registry));
}

TEST_F(AgenteProgramTest, PrintConfigReadsTheSettingsAsStored) {
    StoreAgentKey("\"Estacion\"=dword:00000004\r\n");
    EXPECT_EQ(PrintConfig(), With(kDefaults, {"Estacion=4", "Retrys=1"}));

    StoreAgentKey(
        "\"Comandos\"=\"20\"\r\n\"PSW\"=dword:00000005\r\n\"IV\"=dword:00000000\r\n"
        "\"DifHora\"=dword:ffffffff\r\n\"Eco\"=dword:00000001\r\n");
    const QByteArray before = ReadAll(registry);
    QString err;
    EXPECT_EQ(PrintConfig(&err),
              With(kDefaults, {"Retrys=1", "PSW=1", "IV=0", "DifHora=-1", "Eco=1"}));
    EXPECT_EQ(ReadAll(registry), before);
    // The value stored as text is said, named with its key, on one line.
    EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
    EXPECT_TRUE(
        err.startsWith("agente: El valor \"Comandos\"=\"20\" de la clave "
                       "HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0 de " +
                       registry + " no es un número de 32 bits"))
        << err.toStdString();
    EXPECT_TRUE(err.contains("se usa el valor por omisión 10 y la línea queda como está"));
}

// Values as installers mistype them: each is said on standard error, the
// settings are still printed (with the default), and the file is untouched.
TEST_F(AgenteProgramTest, PrintConfigSaysEveryValueItCannotRead) {
    const struct {
        const char* line;
        const char* name;
        const char* raw;
    } cases[] = {
        {"\"Estacion\"=dword:123456789", "Estacion", "dword:123456789"},
        {"\"TimeOut\"=", "TimeOut", "(vacío)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        StoreAgentKey(QByteArray(c.line) + "\r\n");
        const QByteArray before = ReadAll(registry);
        QString err;
        const QStringList lines = PrintConfig(&err);
        EXPECT_EQ(lines, With(kDefaults, {"Retrys=1"}));
        EXPECT_TRUE(err.contains(QString("El valor \"%1\"=%2 de la clave").arg(c.name, c.raw)))
            << err.toStdString();
        if (QString(c.name) == "Estacion") {
            EXPECT_TRUE(err.contains("el agente no atiende una estación supuesta"));
        }
        EXPECT_EQ(ReadAll(registry), before);
    }
}

TEST_F(AgenteProgramTest, SettingsFileFromTheEnvironment) {
    StoreAgentKey("\"Estacion\"=dword:00000007\r\n");
    const Outcome o = Run({"--print-config"}, registry);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_TRUE(o.out.startsWith("Estacion=7\n")) << o.out.toStdString();
}

TEST_F(AgenteProgramTest, VersionAndHelp) {
    const Outcome v = Run({"--version"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_EQ(v.out, "Agente de Kelvor " + TVersionInfo(KELVOR_VERSION).VersionText() + "\n");
    EXPECT_TRUE(QRegularExpression("^Agente de Kelvor \\d\\d\\.\\d\\d\\.\\d{4}\n$")
                    .match(v.out)
                    .hasMatch());
    if (QStringLiteral(KELVOR_VERSION) == "7.30.4.0") {
        EXPECT_EQ(v.out, "Agente de Kelvor 07.30.0400\n");
    }

    const Outcome h = Run({"--help"});
    EXPECT_EQ(h.exitCode, 0);
    EXPECT_TRUE(h.out.startsWith("Uso: agente")) << h.out.toStdString();
    EXPECT_TRUE(h.out.contains("--print-config"));
}

TEST_F(AgenteProgramTest, BadOptionsExitWithTwoAndOneLineNamingThem) {
    struct Case {
        QStringList args;
        QString named;
    };
    for (const Case& c : {Case{{"--bogus"}, "--bogus"}, Case{{"--cycles", "0"}, "--cycles"},
                          Case{{"--cycles", "x"}, "--cycles"},
                          Case{{"--print-config", "--registry"}, "--registry"}}) {
        const Outcome o = Run(c.args);
        EXPECT_EQ(o.exitCode, 2) << c.args.join(' ').toStdString();
        EXPECT_EQ(o.out, "");
        EXPECT_TRUE(o.err.endsWith('\n'));
        EXPECT_EQ(o.err.count('\n'), 1) << o.err.toStdString();
        EXPECT_TRUE(o.err.contains(c.named)) << o.err.toStdString();
    }
}

}  // namespace

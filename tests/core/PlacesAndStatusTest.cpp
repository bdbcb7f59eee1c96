// The agent's own places (status file, per-user settings and log) and the
// status of each reader after real cycles against simulated readers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/AgentPlaces.h"
#include "core/ReaderStatus.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QJsonObject ReaderIn(const QJsonObject& root, const QString& id) {
    for (const QJsonValue& v : root["Registradores"].toArray())
        if (v.toObject()["Id"].toString() == id)
            return v.toObject();
    return {};
}

// A root test process acts as an ordinary user for the places' permission
// checks (they use the real user id); the saved id 0 lets it come back.
class AsOrdinaryUser {
public:
    AsOrdinaryUser() : m_root(::getuid() == 0) {
        if (m_root) {
            EXPECT_EQ(::setresuid(65534, 65534, 0), 0);
        }
    }
    ~AsOrdinaryUser() {
        if (m_root) {
            EXPECT_EQ(::setresuid(0, 0, 0), 0);
        }
    }

private:
    bool m_root;
};

}  // namespace

// One good reader and one silent one: the file after the cycle, its table,
// and a status file that cannot be written, told once, the cycles going on.
TEST(ReaderStatus, AfterACycleWithAGoodAndASilentReader) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    const QDateTime t = b.clock.Now().addSecs(-600);
    b.Reader(u'A').AddRegistration("11", 123, t);
    b.Reader(u'A').AddRegistration("11", 124, t);
    b.Reader(u'A').SetClockOffset(-180);
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'B').SetFaults(silent);
    b.QueueCommand(1, "A1", "ALTA", "00777AB");
    b.QueueCommand(1, "B1", "ALTA", "00778AB");

    ReaderStatus status(b.dir.File("estado-estacion-1.json"));
    b.status = &status;
    b.RunCycles(1);

    const QJsonObject root = QJsonDocument::fromJson(ReadAll(status.File())).object();
    EXPECT_EQ(root["Estacion"].toInt(), 1);
    EXPECT_EQ(root["Ciclo"].toInt(), 1);
    EXPECT_EQ(root["Respondieron"].toInt(), 1);
    EXPECT_EQ(root["ConLinea"].toInt(), 2);
    const QJsonObject a = ReaderIn(root, "A1"), bb = ReaderIn(root, "B1");
    EXPECT_TRUE(a["Respondio"].toBool());
    EXPECT_FALSE(a["UltimoContacto"].toString().isEmpty());
    EXPECT_EQ(a["UltimoResultado"].toString(), "OK");
    EXPECT_EQ(a["DiferenciaRelojMin"].toInt(), -3);
    EXPECT_EQ(a["Almacenadas"].toInt(), 2);
    EXPECT_EQ(a["ComandosEnviados"].toInt(), 1);
    EXPECT_EQ(a["ComandosFallidos"].toInt(), 0);
    EXPECT_FALSE(bb["Respondio"].toBool());
    EXPECT_EQ(bb["UltimoContacto"].toString(), "");
    EXPECT_TRUE(bb["UltimoResultado"].toString().startsWith("Se supero"));
    EXPECT_TRUE(bb["DiferenciaRelojMin"].isNull());
    EXPECT_EQ(bb["ComandosEnviados"].toInt(), 0);
    EXPECT_EQ(bb["ComandosFallidos"].toInt(), 1);
    EXPECT_FALSE(QFileInfo::exists(status.File() + ".tmp"));

    QString error;
    const QStringList table = ReaderStatus::Table(ReadAll(status.File()), &error).split('\n');
    EXPECT_EQ(error, "");
    ASSERT_GE(table.size(), 4);
    EXPECT_TRUE(table[0].startsWith("Estación 1, ciclo 1 terminado el "));
    EXPECT_TRUE(table[0].endsWith(": respondió 1 de 2 registradores"));
    EXPECT_TRUE(table[1].startsWith("Registrador  Último contacto"));
    EXPECT_TRUE(
        table[2].contains(QRegularExpression("^A1 +\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d +OK +"
                                             "-3 min +2 +1 +0$")))
        << table[2].toStdString();
    EXPECT_TRUE(table[3].contains(QRegularExpression("^B1 +- +Se supero.* +- +0 +0 +1$")))
        << table[3].toStdString();
    ReaderStatus::Table("not json", &error);
    EXPECT_FALSE(error.isEmpty());

    // The counts are since the start: a second thread adds to them.
    b.Reader(u'A').AddRegistration("11", 125, t);
    ReaderStatus unwritable(b.dir.File("no-such-folder/estado-estacion-1.json"));
    b.status = &unwritable;
    b.RunCycles(3);
    EXPECT_EQ(b.Count("REGISTRA"), 3);
    EXPECT_EQ(b.LogLines().filter("No se pudo escribir el archivo de estado").size(), 1);
    b.status = &status;
    b.RunCycles(1);
    EXPECT_EQ(
        ReaderIn(QJsonDocument::fromJson(ReadAll(status.File())).object(), "A1")["Almacenadas"]
            .toInt(),
        2);
}

TEST(AgentPlaces, StateFolderAndTheWindowAgentsOwnSettings) {
    ScratchDir dir;
    // Open to the ordinary user below: the scratch folder to pass through,
    // home, state and config homes to write.
    QFile(dir.Path()).setPermissions(QFileDevice::Permissions(0x7755));
    const QString home = dir.File("home");
    for (const char* sub : {"home", "state", "config"}) {
        ASSERT_TRUE(QDir().mkpath(dir.File(sub)));
        QFile(dir.File(sub)).setPermissions(QFileDevice::Permissions(0x7777));
    }
    QProcessEnvironment env;
    env.insert("HOME", home);

    // No systemd folder, no machine folder: the user's state home.
    AgentPlaces places(env, dir.File("var-lib-kelvor"));
    EXPECT_EQ(places.StateFolders(), QStringList{home + "/.local/state/kelvor"});
    env.insert("XDG_STATE_HOME", dir.File("state"));
    env.insert("XDG_CONFIG_HOME", dir.File("config"));
    env.insert("STATE_DIRECTORY", dir.File("systemd") + ":" + dir.File("other"));
    ASSERT_TRUE(QDir().mkpath(dir.File("var-lib-kelvor")));
    places = AgentPlaces(env, dir.File("var-lib-kelvor"));
    EXPECT_EQ(places.StateFolders(), (QStringList{dir.File("systemd"), dir.File("var-lib-kelvor"),
                                                  dir.File("state/kelvor")}));
    // The systemd folder does not exist: the machine's folder is written.
    EXPECT_EQ(places.StatusFile(2, nullptr), dir.File("var-lib-kelvor/estado-estacion-2.json"));
    // --status shows the newest of the station's files.
    ASSERT_TRUE(QDir().mkpath(dir.File("systemd")));
    ASSERT_TRUE(WriteAll(dir.File("var-lib-kelvor/estado-estacion-2.json"), "{}"));
    EXPECT_EQ(places.FindStatusFile(2), dir.File("var-lib-kelvor/estado-estacion-2.json"));
    EXPECT_EQ(places.FindStatusFile(3), "");

    const QString machine = dir.File("etc-kelvor/registry.reg");
    ASSERT_TRUE(QDir().mkpath(dir.File("etc-kelvor")));
    ASSERT_TRUE(WriteAll(machine, "Windows Registry Editor Version 5.00\n"));
    bool fromSystem = false;
    EXPECT_EQ(places.WindowSettingsFile(machine, true, &fromSystem), machine);
    EXPECT_TRUE(fromSystem);
    {
        AsOrdinaryUser user;
        places = AgentPlaces(env, dir.File("var-lib-kelvor"));
        EXPECT_EQ(places.WritableStateFolder(), dir.File("state/kelvor"));
        const QString own = dir.File("config/kelvor/registry.reg");
        EXPECT_EQ(places.WindowSettingsFile(machine, false, &fromSystem), own);
        EXPECT_FALSE(fromSystem);
        EXPECT_FALSE(QFileInfo::exists(own));  // without seed nothing is made
        EXPECT_EQ(places.WindowSettingsFile(machine, true), own);
        EXPECT_EQ(ReadAll(own), ReadAll(machine));
        ASSERT_TRUE(WriteAll(own, "changed by the user"));
        EXPECT_EQ(places.WindowSettingsFile(machine, true), own);
        EXPECT_EQ(ReadAll(own), "changed by the user");  // seeded once only
        EXPECT_EQ(places.UserLogFolder(), dir.File("state/kelvor"));
        // The copy may hold the database password: the user's alone.
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(own).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(::stat(QFile::encodeName(dir.File("config/kelvor")).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(QDir(dir.File("config/kelvor")).entryList(QDir::Files).size(), 1);
        ASSERT_TRUE(QFile::remove(own));
    }
    // A machine file this user may not read gives no copy, and is named, so
    // that the agent says it cannot read it rather than run on defaults.
    if (::getuid() == 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(machine).constData(), 0600), 0);
        AsOrdinaryUser user;
        EXPECT_EQ(places.WindowSettingsFile(machine, true), machine);
        EXPECT_FALSE(QFileInfo::exists(dir.File("config/kelvor/registry.reg")));
    }
}

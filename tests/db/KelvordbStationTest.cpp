// The station verbs of the database tool, run as a program on a new database
// of each engine: what they make is what the agent reads, a second run changes
// nothing, and a value that cannot work is refused with nothing changed.

#include "db/TDM.h"
#include "link/TSerialPort.h"
#include "shell/RegistryFile.h"
#include "tests/db/TestDatabase.h"

class StationTool : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        const QString reason = TestDatabase::SkipReason(GetParam());
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        db = std::make_unique<TestDatabase>(GetParam(), true, false);
        RegistryFile::SetProcessPath(db->RegistryPath());
        ASSERT_EQ(Run({"init"}).status, 0);
    }
    void TearDown() override { db.reset(); }
    KelvordbOutcome Run(QStringList args) {
        return RunKelvordb(QStringList{"--registry", db->RegistryPath()} + args);
    }
    QList<QStringList> Readers() const {
        return db->Rows(
            "SELECT Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, VIRTUAL, HTA FROM Reg ORDER BY "
            "Id");
    }

    std::unique_ptr<TestDatabase> db;
};
INSTANTIATE_TEST_SUITE_P(Engines, StationTool,
                         ::testing::Values(Backend::SQLite, Backend::PostgreSQL), BackendName);

TEST_P(StationTool, MakesWhatTheAgentReadsAndARepeatChangesNothing) {
    // init made the counter: the first registration gets id 1.
    EXPECT_EQ(db->Scalar("SELECT DESCRIPCION FROM CODIGO WHERE TIPO = 'ID' AND CODIGO = "
                         "'FICHADAS'"),
              "1");
    const QList<QStringList> steps = {
        {"contador"},
        {"estacion", "1", "/tmp/ttyKELVOR"},
        {"registrador", "A1", "1", "--velocidad", "19200", "--visitas"},
        {"registrador", "B1", "1", "--tipo", "hta", "--nombre", "Salida"},
        {"registrador", "V1", "1", "--tipo", "virtual"},
    };
    for (const QStringList& step : steps) {
        const KelvordbOutcome first = Run(step);
        ASSERT_EQ(first.status, 0)
            << step.join(' ').toStdString() << ": " << first.err.toStdString();
    }
    const QList<QStringList> made = Readers();
    const QString stations = db->Scalar("SELECT COUNT(*) FROM Estacion");
    for (const QStringList& step : steps) {
        const KelvordbOutcome again = Run(step);
        EXPECT_EQ(again.status, 0) << again.err.toStdString();
        EXPECT_TRUE(again.out.contains("ya existe")) << again.out.toStdString();
    }
    EXPECT_EQ(Readers(), made);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM Estacion"), stations);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM CODIGO"), "1");

    TDM dm;
    dm.SetCommandPause(std::chrono::milliseconds(0));
    QList<TDM::ReaderRow> rows = dm.QueryReaders(1);
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.Id < b.Id; });
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].Id, "A1");
    EXPECT_EQ(rows[0].Puerto, "/tmp/ttyKELVOR");
    EXPECT_EQ(rows[0].Velocidad, 19200);
    EXPECT_EQ(rows[0].CtrlActivo, true);
    EXPECT_EQ(rows[0].Hta, false);
    EXPECT_EQ(rows[1].Hta, true);
    EXPECT_EQ(rows[1].Velocidad, 9600);
    EXPECT_EQ(rows[2].Virtual, true);
    EXPECT_EQ(dm.GetNewId("FICHADAS"), 1);

    // A changed value is a change, not a second row.
    KelvordbOutcome o = Run({"estacion", "1", "COM3"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains("/tmp/ttyKELVOR -> COM3")) << o.out.toStdString();
    o = Run({"registrador", "A1", "1", "--velocidad", "9600", "--sin-visitas"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(db->Rows("SELECT Velocidad, CTRLACTIVO FROM Reg WHERE Id = 'A1'"),
              (QList<QStringList>{{"9600", db->backend() == Backend::SQLite ? "0" : "false"}}));
    // What is not given stays: B1 keeps its kind and name.
    ASSERT_EQ(Run({"registrador", "B1", "1", "--velocidad", "19200"}).status, 0);
    EXPECT_EQ(
        db->Rows("SELECT Nombre, Velocidad, HTA FROM Reg WHERE Id = 'B1'"),
        (QList<QStringList>{{"Salida", "19200", db->backend() == Backend::SQLite ? "1" : "true"}}));
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM Reg"), "3");

    // The listing: one row per reader with the station's port, and the counter.
    o = Run({"estaciones"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    const QStringList lines = o.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 7) << o.out.toStdString();
    EXPECT_TRUE(lines[2].startsWith("1         COM3    /dev/ttyS2   A1")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].contains("19200      hta")) << lines[3].toStdString();
    EXPECT_EQ(lines[5], "(3 filas)");
    EXPECT_EQ(lines[6], "Contador de ids FICHADAS: próximo id 2");

    // A counter removed by hand is made again at 1.
    db->Exec("DELETE FROM CODIGO");
    o = Run({"contador"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains("creado")) << o.out.toStdString();
    EXPECT_EQ(db->Scalar("SELECT DESCRIPCION FROM CODIGO"), "1");
}

TEST_P(StationTool, RefusesWhatCannotWorkAndChangesNothing) {
    ASSERT_EQ(Run({"estacion", "1", "COM2"}).status, 0);
    ASSERT_EQ(Run({"estacion", "3", "COM4"}).status, 0);
    ASSERT_EQ(Run({"registrador", "A1", "1"}).status, 0);
    const QList<QStringList> readers = Readers();
    const QList<QStringList> stations = db->Rows("SELECT Id, Nombre, Puerto FROM Estacion");
    const struct {
        QStringList args;
        int status;
        const char* says;
    } cases[] = {
        {{"registrador", "C1", "2"}, 1, "No existe la estación 2"},
        {{"registrador", "C1", "1", "--velocidad", "12345"}, 1, "no admite la velocidad \"12345\""},
        {{"registrador", "C1", "1", "--velocidad", "rápida"}, 1, "no admite la velocidad"},
        {{"registrador", "C1", "1", "--tipo", "lector"}, 1, "no conoce el tipo"},
        {{"registrador", "C1", "1", "--tipo", "hta", "--tipo", "lector"}, 1, "no conoce el tipo"},
        {{"registrador", "A2", "1"}, 1, "La dirección A ya la usa el registrador A1"},
        {{"registrador", "A1", "3"}, 1, "ya existe en la estación 1"},
        {{"registrador",
          "\x02"
          "1",
          "1"},
         2,
         "debe empezar con una letra"},
        {{"registrador", "", "1"}, 2, "debe empezar con una letra"},
        {{"registrador", "C1", "uno"}, 2, "\"uno\""},
        {{"registrador", "C1", "1", "--velocidad"}, 2, "necesita un valor"},
        {{"estacion", "100", "COM1"}, 1, "todas las estaciones"},
        {{"estacion", "2", ""}, 2, "no puede estar vacío"},
        {{"estacion", "0", "COM1"}, 2, "de 1 en adelante"},
        {{"estacion", "1"}, 2, "ID PUERTO"},
        {{"contador", "x"}, 2, "no lleva argumentos"},
    };
    for (const auto& c : cases) {
        const std::string what = c.args.join(' ').toStdString();
        const KelvordbOutcome o = Run(c.args);
        EXPECT_EQ(o.status, c.status) << what << ": " << o.err.toStdString();
        EXPECT_TRUE(o.err.contains(QString::fromUtf8(c.says)))
            << what << ": " << o.err.toStdString();
        if (c.status == 1) {
            EXPECT_EQ(o.err.count('\n'), 1) << what << ": " << o.err.toStdString();
        }
        EXPECT_EQ(Readers(), readers) << what;
        EXPECT_EQ(db->Rows("SELECT Id, Nombre, Puerto FROM Estacion"), stations) << what;
    }
    // A virtual reader does not use the line: its letter is no address there.
    EXPECT_EQ(Run({"registrador", "A9", "1", "--tipo", "virtual"}).status, 0);
    // Every speed the line takes is taken.
    for (qint32 speed : {1200, 9600, 115200})
        EXPECT_EQ(Run({"registrador", "C1", "1", "--velocidad", QString::number(speed)}).status, 0)
            << speed;
}

// The port's device is one value in the settings file; everything else there
// stays byte for byte, a repeat writes nothing, and another case of the name
// replaces the value instead of adding a second one.
TEST(StationToolPorts, PortMapChangesOnlyItsValue) {
    ScratchDir dir;
    const QString path = dir.File("registry.reg");
    const QByteArray before =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n"
        "\"Estacion\"=dword:00000002\r\n"
        "\"Retrys\"=hex:01\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Puertos]\r\n"
        "\"COM1\"=\"/dev/ttyUSB9\"\r\n";
    ASSERT_TRUE(WriteAll(path, before));
    KelvordbOutcome o = RunKelvordb({"--registry", path, "puerto", "COM2", "/dev/null"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    const QByteArray after = ReadAll(path);
    EXPECT_TRUE(after.startsWith(before)) << after.toStdString();
    EXPECT_EQ(after.mid(before.size()), "\"COM2\"=\"/dev/null\"\r\n");

    o = RunKelvordb({"--registry", path, "puerto", "COM2", "/dev/null"});
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.out.contains("ya es")) << o.out.toStdString();
    EXPECT_EQ(ReadAll(path), after);

    o = RunKelvordb({"--registry", path, "puerto", "com2", "/dev/zero"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(ReadAll(path).count("COM2\"") + ReadAll(path).count("com2\""), 1)
        << ReadAll(path).toStdString();
    RegistryFile::SetProcessPath(path);
    EXPECT_EQ(TSerialPort::DevicePath("COM2"), "/dev/zero");
    EXPECT_EQ(TSerialPort::DevicePath("COM1"), "/dev/ttyUSB9");

    // A device that is not there yet is written and warned about.
    o = RunKelvordb({"--registry", path, "puerto", "COM3", dir.File("ttyUSB0")});
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.err.contains("no existe")) << o.err.toStdString();

    const QByteArray kept = ReadAll(path);
    for (const QStringList& bad :
         {QStringList{"puerto", "/dev/ttyS0", "/dev/ttyS1"},
          QStringList{"puerto", "COM2", "ttyUSB0"}, QStringList{"puerto", "COM2"}}) {
        o = RunKelvordb(QStringList{"--registry", path} + bad);
        EXPECT_EQ(o.status, 2) << bad.join(' ').toStdString();
    }
    EXPECT_EQ(ReadAll(path), kept);
}

TEST(StationToolPorts, HelpAnywhereOnTheLine) {
    for (const QStringList& args : {QStringList{"--help"}, QStringList{"--registry", "x", "--help"},
                                    QStringList{"registrador", "-h"}}) {
        const KelvordbOutcome o = RunKelvordb(args);
        EXPECT_EQ(o.status, 0) << args.join(' ').toStdString();
        EXPECT_TRUE(o.out.startsWith("uso: kelvordb")) << o.out.toStdString();
        EXPECT_TRUE(o.out.contains("registrador ID ESTACION"));
        EXPECT_TRUE(o.err.isEmpty()) << o.err.toStdString();
    }
}

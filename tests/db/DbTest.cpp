#include "tests/db/DbTest.h"

#include <QFile>

#include "shell/RegistryFile.h"

void DbTest::SetUp() {
    const QString reason = TestDatabase::SkipReason(GetParam());
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    db = std::make_unique<TestDatabase>(GetParam());
    RegistryFile::SetProcessPath(db->RegistryPath());
    config.Estacion = 1;
    config.IV = true;
    dm = MakeDm();
    dm->Open();
}

void DbTest::TearDown() {
    dm.reset();
    db.reset();
}

std::unique_ptr<TDM> DbTest::MakeDm() {
    auto m = std::make_unique<TDM>([this] { return now; });
    m->SetConfig(&config);
    m->SetCommandPause(std::chrono::milliseconds(0));
    m->SetBusyTimeout(5000);
    return m;
}

void DbTest::Counter(const QString& value) {
    db->Exec("INSERT INTO CODIGO (TIPO, CODIGO, DESCRIPCION) VALUES ('ID', 'FICHADAS', ?)",
             {value});
}

void DbTest::Station(int id, const QString& puerto) {
    db->Exec("INSERT INTO Estacion (Id, Puerto) VALUES (?, ?)", {id, puerto});
}

void DbTest::Reader(const QString& id, int station, bool ctrlActivo, bool isVirtual, bool hta) {
    db->Exec(
        "INSERT INTO Reg (Id, IdEstacion, Velocidad, CTRLACTIVO, VIRTUAL, HTA) VALUES (?, ?, "
        "9600, ?, ?, ?)",
        {id, station, ctrlActivo, isVirtual, hta});
}

void DbTest::Holder(int id, const QString& tipo, int key, const QString& assigned) {
    db->Exec("INSERT INTO INGRESAN (Id, Tipo, NroLlave, UltimaAsignacion) VALUES (?, ?, ?, ?)",
             {id, tipo, key, assigned});
    db->Exec("INSERT INTO LLAVE (NroLlave, FechaAsignacion, IdIngresante) VALUES (?, ?, ?)",
             {key, assigned, id});
}

void DbTest::Enrol(const QString& reader, int holder, const QString& h1, const QString& h2) {
    db->Exec(
        "INSERT INTO INGREG (IdRegistrador, IdIngresante, IdHorario, IdHorario2) VALUES (?, "
        "?, ?, ?)",
        {reader, holder, h1, h2});
}

void DbTest::Zone(const QString& zone, const QString& reader, const QString& tipo) {
    db->Exec("INSERT INTO Zonas (IdZona, IdReg, Tipo) VALUES (?, ?, ?)", {zone, reader, tipo});
}

void DbTest::Marker() {
    QFile f(db->Directory() + "/ANTIPB.ON");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

TTR DbTest::Tr(const QString& id, bool ctrlActivo, bool hta) const {
    TTR r;
    r.Id = id;
    r.CtrlActivo = ctrlActivo;
    r.Hta = hta;
    return r;
}

QList<QStringList> DbTest::Commands() const {
    return db->Rows("SELECT IdEstacion, IdRegistrador, CodComando, Texto FROM COMANDO ORDER BY Id");
}

QString DbTest::B(const QString& column) {
    return QString("CASE WHEN %1 IS NULL THEN 'null' WHEN %1 THEN 'T' ELSE 'F' END").arg(column);
}

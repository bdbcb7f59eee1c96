#include "tests/gui/WindowBench.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QTreeWidget>

#include "db/TDM.h"
#include "db/TSchema.h"
#include "shell/RegistryFile.h"
#include "shell/TVersionInfo.h"
#include "shell/Windows1252.h"

bool SpinUntil(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

void OnNextModal(std::function<void(QWidget* modal)> handle) {
    auto* poll = new QTimer(qApp);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, handle = std::move(handle)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        handle(modal);
    });
    poll->start();
}

WindowBench::WindowBench() {
    registry = dir.File("registry.reg");
    const QString database = dir.File("kelvor.db");
    WriteAll(registry, QString("Windows Registry Editor Version 5.00\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Alias\\Kelvor]\r\n"
                               "\"Driver\"=\"QSQLITE\"\r\n"
                               "\"Database\"=\"%1\"\r\n")
                           .arg(database)
                           .toUtf8());
    RegistryFile::SetProcessPath(registry);

    m_connection = "bench-" + dir.Path();
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", m_connection);
    db.setDatabaseName(database);
    EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
    TSchema::Create(db, TSqlDriver::SQLite);
    Exec("INSERT INTO Estacion (Id, Nombre, Puerto) VALUES (1, 'Puesto 1', ?)",
         {dir.File("no-hay-linea")});
    // The id counter: a failed reader leaves a registration of its error.
    Exec("INSERT INTO CODIGO (TIPO, CODIGO, DESCRIPCION) VALUES ('ID', 'FICHADAS', '1')");

    config.Estacion = 1;
    config.Espera = 0;
    config.TimeOut = 1;
    config.LogFileActivado = 1;
    config.LogFileAppend = 1;

    m_dm = std::make_unique<TDM>();
    m_dm->SetConfig(&config);

    setup.config = &config;
    setup.dm = m_dm.get();
    setup.logFolder = dir.Path();
    setup.askRetry = [](const QString&) { return false; };
    setup.timing.recoveryPauseMs = 20;
    setup.timing.cyclePauseMs = 5;
    setup.timing.esperaUnitMs = 1;
    setup.timing.serialTimeoutUnitMs = 50;
    setup.restMs = 30;
}

WindowBench::~WindowBench() {
    m_form.reset();
    if (m_dm)
        m_dm->CloseThreadConnection();
    m_dm.reset();
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

void WindowBench::Exec(const QString& sql, const QVariantList& values) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    ASSERT_TRUE(query.prepare(sql)) << query.lastError().text().toStdString();
    for (const QVariant& v : values) query.addBindValue(v);
    ASSERT_TRUE(query.exec()) << query.lastError().text().toStdString();
}

void WindowBench::AddReader(const QString& id) {
    Exec(
        "INSERT INTO Reg (Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, VIRTUAL, HTA) "
        "VALUES (?, 1, ?, 9600, 0, 0, 0)",
        {id, id});
}

TMainForm& WindowBench::Create() {
    m_form = std::make_unique<TMainForm>(setup);
    return *m_form;
}

TMainForm& WindowBench::Start() {
    Create();
    m_form->CreateDialogs(
        [this](const QString& password) { return m_dm->IsAdministrator(password); },
        TVersionInfo().VersionText());
    m_dm->Open();
    m_form->ShowStatus(m_dm->StatusText());
    m_form->StartThread();
    return *m_form;
}

QString WindowBench::LogFile() const {
    return dir.File("AGKelvorI.log");
}

QStringList WindowBench::LogLines() const {
    return FromWindows1252(ReadAll(LogFile())).split("\r\n");
}

int WindowBench::LineIndex(const QString& text, int from) const {
    const QStringList lines = LogLines();
    for (int i = qMax(0, from); i < lines.size(); ++i)
        if (lines[i].endsWith(text))
            return i;
    return -1;
}

QStringList WindowBench::Rows() const {
    QStringList rows;
    for (int i = 0; i < RowCount(); ++i) {
        QTreeWidgetItem* item = Row(i);
        rows << QString("%1|%2|%3|%4|%5")
                    .arg(item->text(2), item->text(3), item->text(4))
                    .arg(item->data(0, TMainForm::kImageRole).toInt())
                    .arg(item->data(0, TMainForm::kStateRole).toInt());
    }
    return rows;
}

QTreeWidgetItem* WindowBench::Row(int index) const {
    return m_form->LogList()->topLevelItem(index);
}

int WindowBench::RowCount() const {
    return m_form ? m_form->LogList()->topLevelItemCount() : 0;
}

// The main window's start-up steps, its list of rows, its controls and its
// clock, with the real communication thread behind it.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "core/TComunicationThread.h"
#include "shell/RowPictures.h"
#include "shell/TLogFile.h"
#include "shell/TWinTaskbar.h"
#include "shell/TextLimits.h"
#include "shell/TimeText.h"
#include "tests/gui/WindowBench.h"

namespace {

QToolButton* Button(TMainForm& form, const char* name) {
    return form.findChild<QToolButton*>(name);
}

QLabel* Panel(TMainForm& form, const char* name) {
    return form.findChild<QLabel*>(name);
}

QImage IconImage(QTreeWidgetItem* item) {
    return item->icon(0)
        .pixmap(RowPictures::kRowWidth, RowPictures::kSize)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage RowImage(int image, int state) {
    return RowPictures::Row(image, state)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

TEST(MainForm, StartUpLeavesOneRowAThreadCreatedPausedAndTheLogLine) {
    WindowBench b;
    const QDateTime at(QDate(2024, 2, 29), QTime(7, 5, 59));
    b.setup.clock = FixedClock(at);
    TMainForm& form = b.Create();

    EXPECT_FALSE(form.Refused());
    EXPECT_EQ(form.windowTitle(), "Agente de Kelvor II");
    // Whatever the window's visibility: it has not even been shown.
    EXPECT_TRUE(form.AgentHidden());
    ASSERT_EQ(b.Rows(), QStringList{"|Puesta en marcha del agente|OK|0|4"});
    EXPECT_EQ(b.Row(0)->text(1), "29/02/2024 07:05");
    EXPECT_EQ(IconImage(b.Row(0)), RowImage(0, 4));

    ASSERT_NE(form.Thread(), nullptr);
    EXPECT_TRUE(form.Thread()->Paused());
    EXPECT_FALSE(form.Thread()->isRunning());
    EXPECT_TRUE(Button(form, "Play")->isEnabled());
    EXPECT_FALSE(Button(form, "Pausa")->isEnabled());
    EXPECT_TRUE(form.WinTaskbar()->HideApp());
    EXPECT_TRUE(form.WinTaskbar()->IconVisible());

    const int line = b.LineIndex("[Main] Instanciación del thread en modo suspendido");
    EXPECT_GT(line, b.LineIndex("[ULogFile] Comienzo de sesión"));
    EXPECT_GT(b.LineIndex("Archivo de sesión de la aplicación : Agente de Kelvor I"), -1);
}

TEST(MainForm, StartedThreadRunsAndTheStatusPanelsShowStationAndDatabase) {
    WindowBench b;
    b.config.Estacion = 7;
    TMainForm& form = b.Start();
    EXPECT_TRUE(form.Thread()->isRunning());
    EXPECT_FALSE(form.Thread()->Paused());
    EXPECT_TRUE(Button(form, "Pausa")->isEnabled());
    EXPECT_FALSE(Button(form, "Play")->isEnabled());
    EXPECT_EQ(Panel(form, "StationPanel")->text(), "Estacion: 7");
    EXPECT_EQ(Panel(form, "DatabasePanel")->text(), "Base de datos: " + b.dir.Path());
    // Hidden: the thread's cycles add no rows.
    ASSERT_TRUE(SpinUntil([&] { return form.Thread()->CyclesDone() >= 2; }));
    EXPECT_EQ(b.RowCount(), 1);
}

TEST(MainForm, ControlsMenusAndColumns) {
    WindowBench b;
    TMainForm& form = b.Create();
    EXPECT_EQ(form.size(), QSize(543, 381));

    const QList<QAction*> menus = form.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "&Sistema");
    EXPECT_EQ(menus[1]->text(), "&Ayuda");
    const QList<QAction*> sistema = menus[0]->menu()->actions();
    ASSERT_EQ(sistema.size(), 3);
    EXPECT_EQ(sistema[0]->text(), "&Opciones");
    EXPECT_EQ(sistema[0]->statusTip(), "Opciones de inicialización del sistema");
    EXPECT_TRUE(sistema[1]->isSeparator());
    EXPECT_EQ(sistema[2]->text(), "&Salir");
    EXPECT_EQ(sistema[2]->statusTip(), "Salir de la aplicación");
    EXPECT_EQ(sistema[2]->shortcut(), QKeySequence("Ctrl+S"));
    ASSERT_EQ(menus[1]->menu()->actions().size(), 1);
    EXPECT_EQ(menus[1]->menu()->actions()[0]->text(), "&Acerca de...");

    for (const char* name : {"Play", "Pausa", "ExitBtn"}) {
        ASSERT_NE(Button(form, name), nullptr) << name;
        EXPECT_EQ(Button(form, name)->size(), QSize(25, 25)) << name;
        EXPECT_FALSE(Button(form, name)->icon().isNull()) << name;
    }
    EXPECT_EQ(Button(form, "ExitBtn")->toolTip(), "Exit");
    EXPECT_EQ(form.findChild<QWidget*>("ToolPanel")->height(), 30);

    EXPECT_EQ(Panel(form, "ClockPanel")->width(), 125);
    EXPECT_EQ(Panel(form, "StationPanel")->width(), 80);
    EXPECT_EQ(Panel(form, "DatabasePanel")->width(), 300);
    EXPECT_EQ(Panel(form, "StationPanel")->frameShadow(), QFrame::Raised);
    EXPECT_TRUE(Panel(form, "ClockPanel")->alignment() & Qt::AlignHCenter);

    QTreeWidget* list = form.LogList();
    QTreeWidgetItem* header = list->headerItem();
    QStringList captions;
    for (int i = 0; i < list->columnCount(); ++i) captions << header->text(i);
    EXPECT_EQ(captions, QStringList({"", "Fecha y hora", "Registrador", "Mensaje", "Estado"}));
    EXPECT_EQ(list->columnWidth(0), 40);
    EXPECT_EQ(list->columnWidth(1), 100);
    EXPECT_EQ(list->columnWidth(2), 30);
    EXPECT_EQ(list->columnWidth(4), 70);
    EXPECT_GT(list->columnWidth(3), 200);
    form.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(list->columnWidth(3), list->viewport()->width() - 240);
    EXPECT_EQ(list->iconSize(), QSize(RowPictures::kRowWidth, RowPictures::kSize));
    // The date fits its 100 pixels.
    EXPECT_LE(list->fontMetrics().horizontalAdvance("28/12/2000 20:58") + 10, 100);
}

TEST(MainForm, ClockPanelShowsTheDateTimeEverySecond) {
    WindowBench b;
    QDateTime now(QDate(2001, 9, 3), QTime(23, 59, 30));
    b.setup.clock = [&now] { return now; };
    TMainForm& form = b.Create();
    auto* clock = form.findChild<QTimer*>("Clock");
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->interval(), 1000);
    EXPECT_TRUE(clock->isActive());
    now = QDateTime(QDate(2001, 9, 4), QTime(0, 1, 2));
    form.ClockTimer();
    EXPECT_EQ(Panel(form, "ClockPanel")->text(), "04/09/2001 00:01");
}

TEST(MainForm, RowsNewestFirstAndUpdateLogRowChangesOnlyTheNewestOneNothingOnAnEmptyList) {
    WindowBench b;
    TMainForm& form = b.Create();
    form.LogList()->clear();
    form.UpdateLogRow("OK", 1);  // nothing to change
    EXPECT_EQ(b.RowCount(), 0);

    const QDateTime at(QDate(2023, 1, 2), QTime(3, 4));
    form.AddLogRow("B1", "primero", at, "En proceso ...", 3, 0);
    form.AddLogRow("B1", "segundo", at, "En proceso ...", 3, 0);
    form.UpdateLogRow("OK", 1);
    EXPECT_EQ(b.Rows(), QStringList({"B1|segundo|OK|3|1", "B1|primero|En proceso ...|3|0"}));
    EXPECT_EQ(b.Row(1)->text(1), "02/01/2023 03:04");
    EXPECT_EQ(IconImage(b.Row(0)), RowImage(3, 1));
    EXPECT_EQ(IconImage(b.Row(1)), RowImage(3, 0));
    form.UpdateLogRow("Error de comunicaciones", 3);
    EXPECT_EQ(b.Rows()[0], "B1|segundo|Error de comunicaciones|3|3");
    form.UpdateLogRow("", 4);
    EXPECT_EQ(IconImage(b.Row(0)), RowImage(3, 4));
}

// The columns stay narrow; the whole message and state are the row's tool tip.
TEST(MainForm, RowToolTipHoldsTheWholeMessageAndState) {
    WindowBench b;
    TMainForm& form = b.Create();
    const QString message = "Lectura de fichadas del registrador B1 en el puerto COM7 a 9600 bps";
    form.AddLogRow("B1", message, QDateTime::currentDateTime(), "En proceso ...", 3, 0);
    form.UpdateLogRow("Error de comunicaciones con el registrador", 3);
    const QString tip = message + "\nEstado: Error de comunicaciones con el registrador";
    for (int column = 0; column < 5; ++column) EXPECT_EQ(b.Row(0)->toolTip(column), tip);
    EXPECT_EQ(form.LogList()->columnWidth(4), 70);
    form.AddLogRow("", "Inicia ciclo", QDateTime::currentDateTime(), "", 4, 4);
    EXPECT_EQ(b.Row(0)->toolTip(3), "Inicia ciclo");
    EXPECT_EQ(b.Row(1)->toolTip(4), tip);
}

// A text of megabytes from outside (a database field) is one row of the
// bound, visibly cut, in every column and its tip.
TEST(MainForm, LongTextsInARowAreCutWithAMark) {
    WindowBench b;
    TMainForm& form = b.Create();
    const QString huge(3 * 1024 * 1024, u'7');
    form.AddLogRow(huge, "Enviando baja(" + huge + ")", QDateTime::currentDateTime(), huge, 3, 0);
    const QString mark = " [... cortado: %1 caracteres en total]";
    EXPECT_EQ(b.Row(0)->text(2).size(), TextLimits::kField);
    EXPECT_EQ(b.Row(0)->text(3).size(), TextLimits::kLine);
    EXPECT_TRUE(b.Row(0)->text(3).startsWith("Enviando baja(777"));
    EXPECT_TRUE(b.Row(0)->text(3).endsWith(mark.arg(huge.size() + 15)));
    EXPECT_TRUE(b.Row(0)->text(4).endsWith(mark.arg(huge.size())));
    EXPECT_LT(b.Row(0)->toolTip(3).size(), 2 * TextLimits::kLine);
    form.UpdateLogRow(huge, 2);
    EXPECT_EQ(b.Row(0)->text(4).size(), TextLimits::kField);
}

TEST(MainForm, FilasLimitsTheListAndALoweredLimitShrinksItOneRowPerNewRow) {
    WindowBench b;
    b.config.Filas = 10;
    TMainForm& form = b.Create();
    const QDateTime at = QDateTime::currentDateTime();
    for (int i = 2; i <= 10; ++i) form.AddLogRow("", QString("fila %1").arg(i), at, "", 4, 4);
    ASSERT_EQ(b.RowCount(), 10);
    EXPECT_EQ(b.Row(9)->text(3), "Puesta en marcha del agente");

    form.AddLogRow("", "fila 11", at, "", 4, 4);  // the eleventh row pushes the oldest out
    EXPECT_EQ(b.RowCount(), 10);
    EXPECT_EQ(b.Row(0)->text(3), "fila 11");
    EXPECT_EQ(b.Row(9)->text(3), "fila 2");

    b.config.Filas = 6;  // read at every new row, not at once
    EXPECT_EQ(b.RowCount(), 10);
    QList<int> counts;
    for (int i = 12; i <= 17; ++i) {
        form.AddLogRow("", QString("fila %1").arg(i), at, "", 4, 4);
        counts << b.RowCount();
    }
    EXPECT_EQ(counts, QList<int>({9, 8, 7, 6, 6, 6}));
    EXPECT_EQ(b.Row(0)->text(3), "fila 17");
    EXPECT_EQ(b.Row(5)->text(3), "fila 12");

    b.config.Filas = 8;  // a raised limit lets the list grow again
    form.AddLogRow("", "fila 18", at, "", 4, 4);
    EXPECT_EQ(b.RowCount(), 7);
}

TEST(MainForm, AgentHiddenFollowsTheWindow) {
    WindowBench b;
    TMainForm& form = b.Create();
    EXPECT_TRUE(form.AgentHidden());
    form.showNormal();
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.AgentHidden());
    form.showMinimized();
    QCoreApplication::processEvents();
    EXPECT_TRUE(form.AgentHidden());
    form.showNormal();
    form.hide();
    EXPECT_TRUE(form.AgentHidden());
}

TEST(MainForm, VisibleWindowGetsTheThreadsRows) {
    WindowBench b;
    TMainForm& form = b.Start();
    form.showNormal();
    ASSERT_TRUE(
        SpinUntil([&] { return b.Rows().contains("|Finaliza procesamiento de comandos||4|4"); }));
    EXPECT_TRUE(b.Rows().contains("|Visualización del agente. Se restauran los mensajes||1|4"));
    EXPECT_EQ(b.Rows().last(), "|Puesta en marcha del agente|OK|0|4");
}

TEST(MainForm, DeclinedLogRetryGoesOnWithoutALogAndSaysSoInTheList) {
    WindowBench b;
    // A folder that is a file: the log cannot be opened.
    WriteAll(b.dir.File("no-es-carpeta"), "x");
    b.setup.logFolder = b.dir.File("no-es-carpeta");
    QStringList questions;
    b.setup.askRetry = [&](const QString& question) {
        questions << question;
        return questions.size() < 2;  // Yes once, then No
    };
    TMainForm& form = b.Create();
    ASSERT_EQ(questions.size(), 2);
    EXPECT_TRUE(questions[0].startsWith("Se ha producido el error: "));
    EXPECT_TRUE(questions[0].endsWith(". Desea volver a intentar ?"));
    EXPECT_EQ(form.Log()->Enabled(), 0);
    ASSERT_EQ(b.RowCount(), 2);
    EXPECT_EQ(b.Row(1)->text(3), "Puesta en marcha del agente");
    EXPECT_TRUE(b.Row(0)->text(3).startsWith("El agente sigue sin archivo de sesión"));
    EXPECT_EQ(b.Row(0)->data(0, TMainForm::kStateRole).toInt(), 2);
    ASSERT_NE(form.Thread(), nullptr);
    form.StartThread();
    EXPECT_TRUE(form.Thread()->isRunning());
}

// A session log whose folder is removed while the agent runs: one row says so
// (however many lines are lost), and the close still goes through.
TEST(MainForm, ALogThatStopsTakingLinesIsToldOnceAndTheAgentCloses) {
    WindowBench b;
    b.setup.logFolder = b.dir.File("log");
    QDir().mkpath(b.setup.logFolder);
    TMainForm& form = b.Start();
    ASSERT_TRUE(QDir(b.setup.logFolder).removeRecursively());
    form.PausaClick();  // each writes a line of the session log
    form.PlayClick();
    ASSERT_TRUE(SpinUntil([&] { return form.Thread()->CyclesDone() >= 2; }));
    EXPECT_TRUE(form.Log()->Paused());
    EXPECT_EQ(b.Rows().filter("No se pudo escribir en el archivo de sesión").size(), 1)
        << b.Rows().join('\n').toStdString();
    form.close();
    EXPECT_TRUE(SpinUntil([&] { return form.Thread() == nullptr; }));
}

TEST(MainForm, TheTrayTipShowsTheStationAndTheReadersThatAnsweredInTheLastCycle) {
    WindowBench b;
    b.config.Estacion = 1;
    b.AddReader("A1");  // on a line that does not exist: it never answers
    TMainForm& form = b.Start();
    ASSERT_TRUE(SpinUntil([&] { return !form.WinTaskbar()->Hint().isEmpty(); }));
    EXPECT_EQ(form.WinTaskbar()->Hint(), "Estación 1: respondieron 0 de 1 registrador");
}

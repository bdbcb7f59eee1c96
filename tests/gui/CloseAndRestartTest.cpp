// Pause, resume and close of the main window, and the restart of the thread
// after an exception escaped an event handler.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "core/TComunicationThread.h"
#include "shell/Errors.h"
#include "shell/TFPsw.h"
#include "shell/TMensaje.h"
#include "tests/gui/WindowBench.h"

namespace {

QToolButton* Button(TMainForm& form, const char* name) {
    return form.findChild<QToolButton*>(name);
}

// Answers the next message box with OK and keeps its text.
void AcceptNextMessage(QString* text, QMessageBox::Icon* icon = nullptr) {
    OnNextModal([text, icon](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        *text = box->text();
        if (icon)
            *icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
}

void AnswerPassword(const QString& password, bool ok, QStringList* seen) {
    OnNextModal([=](QWidget* modal) {
        seen->append(modal->metaObject()->className());
        auto* psw = qobject_cast<TFPsw*>(modal);
        ASSERT_NE(psw, nullptr);
        psw->findChild<QLineEdit*>("TxtPsw")->setText(password);
        auto* buttons = psw->findChild<QDialogButtonBox*>();
        buttons->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
}

const char* kClosing = "[Main] Cierre del agente. Se aguarda la finalización del thread";
const char* kClosed = "[Main] Fin de la espera de finalización";

}  // namespace

TEST(CloseAndPause, ClosingWhilePausedWarnsAndAfterPlayTheCloseGoesThrough) {
    WindowBench b;
    TMainForm& form = b.Start();
    form.showNormal();
    QSignalSpy closed(&form, &TMainForm::Closed);
    // From the second cycle on the thread writes its lines to the log.
    ASSERT_TRUE(SpinUntil([&] { return form.Thread()->CyclesDone() >= 2; }));

    form.PausaClick();
    EXPECT_TRUE(form.Thread()->Paused());
    EXPECT_FALSE(Button(form, "Pausa")->isEnabled());
    EXPECT_TRUE(Button(form, "Play")->isEnabled());
    EXPECT_GT(b.LineIndex("[Main] Se pone en pausa la ejecución del thread"), 0);

    QString warning;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    AcceptNextMessage(&warning, &icon);
    EXPECT_FALSE(form.close());
    EXPECT_EQ(warning, "Debe sacar de la pausa al agente antes de terminar su ejecución");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(closed.count(), 0);
    ASSERT_NE(form.Thread(), nullptr);
    EXPECT_TRUE(form.Thread()->Paused());
    EXPECT_EQ(b.LineIndex(kClosing), -1);

    form.PlayClick();
    EXPECT_FALSE(form.Thread()->Paused());
    EXPECT_TRUE(Button(form, "Pausa")->isEnabled());
    EXPECT_FALSE(Button(form, "Play")->isEnabled());
    const int resumed = b.LineIndex("[Main] Se resume la ejecución del thread");
    EXPECT_GT(resumed, 0);

    EXPECT_TRUE(form.close());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(form.Thread(), nullptr);
    const int closing = b.LineIndex(kClosing, resumed);
    ASSERT_GT(closing, resumed);
    EXPECT_GT(b.LineIndex("[ComThread] Finaliza el proceso de limpieza del thread", closing),
              closing);
    EXPECT_GT(b.LineIndex(kClosed, closing), b.LineIndex("[ComThread] Finaliza el proceso de "
                                                         "limpieza del thread",
                                                         closing));
    EXPECT_EQ(TMensaje::Current(), nullptr);

    // The session's end lines come when the window goes.
    b.DestroyForm();
    EXPECT_GT(b.LineIndex("[LogFile] Fin de sesión"), b.LineIndex(kClosed));
}

TEST(CloseAndPause, WithPswACancelledPasswordLeavesTheAgentRunning) {
    WindowBench b;
    b.config.PSW = true;
    TMainForm& form = b.Start();
    form.showNormal();
    QSignalSpy closed(&form, &TMainForm::Closed);

    QStringList seen;
    AnswerPassword("admin", false, &seen);
    EXPECT_FALSE(form.close());
    EXPECT_EQ(seen, QStringList{"TFPsw"});
    EXPECT_EQ(closed.count(), 0);
    EXPECT_TRUE(form.isVisible());
    ASSERT_NE(form.Thread(), nullptr);
    EXPECT_TRUE(form.Thread()->isRunning());
    EXPECT_FALSE(form.Thread()->Paused());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // no message followed
    EXPECT_EQ(b.LineIndex(kClosing), -1);

    // A wrong password is no better; no message either.
    AnswerPassword("cualquiera", true, &seen);
    EXPECT_FALSE(form.close());
    EXPECT_EQ(closed.count(), 0);
    EXPECT_TRUE(form.Thread()->isRunning());
}

TEST(CloseAndPause, WithPswAnAdministratorsPasswordCloses) {
    WindowBench b;
    b.Exec("INSERT INTO Usuario (Nombre, Clave, Administrador) VALUES ('jefa', 'clave', 1)");
    b.config.PSW = true;
    TMainForm& form = b.Start();
    QSignalSpy closed(&form, &TMainForm::Closed);
    QStringList seen;
    AnswerPassword("clave", true, &seen);
    EXPECT_TRUE(form.close());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_GT(b.LineIndex(kClosed), b.LineIndex(kClosing));
}

TEST(CloseAndPause, CloseDuringACycleShowsTheNoticeUntilTheCycleHasEnded) {
    WindowBench b;
    // Every connection waits its Espera first: a cycle lasts a while.
    b.AddReader("A1");
    b.config.Espera = 1;
    b.setup.timing.esperaUnitMs = 150;
    TMainForm& form = b.Start();
    form.showNormal();

    // The second cycle writes the thread's lines to the log (the first takes
    // its log switch from the settings not copied yet).
    auto cycleStarts = [&] {
        return b.Rows().filter("|Comienza proceso de lectura de registraciones|").size();
    };
    ASSERT_TRUE(SpinUntil([&] { return cycleStarts() >= 2; }));
    ASSERT_TRUE(form.Thread()->isRunning());

    QStringList rowsDuringWait;
    QStringList noticeTexts;
    QObject::connect(form.LogList()->model(), &QAbstractItemModel::rowsInserted, &form, [&] {
        rowsDuringWait << form.LogList()->topLevelItem(0)->text(3);
        noticeTexts << (TMensaje::Current() ? TMensaje::Current()->Text() : QString("-"));
    });
    QSignalSpy closed(&form, &TMainForm::Closed);
    EXPECT_TRUE(form.close());
    EXPECT_EQ(closed.count(), 1);

    // The rest of the cycle ran while the notice was up, to its last row.
    ASSERT_FALSE(rowsDuringWait.isEmpty());
    EXPECT_EQ(rowsDuringWait.last(), "Finaliza procesamiento de comandos")
        << b.LogLines().join("\n").toStdString();
    EXPECT_EQ(noticeTexts.count("Finalizando. Aguarde un momento ..."), noticeTexts.size());
    EXPECT_EQ(TMensaje::Current(), nullptr);

    const int closing = b.LineIndex(kClosing);
    const int ended = b.LineIndex("[ComThread] Se ha finalizado la ejecución del thread");
    ASSERT_GT(closing, 0);
    EXPECT_GT(b.LineIndex("[ComThread] Finaliza procesamiento de comandos", closing), closing);
    EXPECT_GT(ended, closing);
    EXPECT_GT(b.LineIndex(kClosed), ended);
}

TEST(Restart, AnExceptionInAnEventHandlerRestartsTheThreadRunning) {
    WindowBench b;
    TMainForm& form = b.Start();
    form.showNormal();
    ASSERT_TRUE(SpinUntil([&] { return form.Thread()->CyclesDone() >= 1; }));
    QPointer<TComunicationThread> old = form.Thread();
    const int rowsBefore = b.RowCount();

    QTimer::singleShot(0, &form, [] { throw EConvertError("falla de prueba"); });
    ASSERT_TRUE(SpinUntil([&] { return old.isNull() && form.Thread(); }));

    EXPECT_TRUE(form.Thread()->isRunning());
    EXPECT_FALSE(form.Thread()->Paused());
    EXPECT_TRUE(Button(form, "Pausa")->isEnabled());
    EXPECT_FALSE(Button(form, "Play")->isEnabled());

    const QStringList expected = {
        "[Main] ATENCION : Se ha producido la siguiente excepción: falla de prueba",
        "[Main] Se intentará finalizar el thread",
        "[Main] Se aguarda la finalización del thread",
        "[Main] El thread ha finalizado",
        "[Main] El sistema entra en un periodo de descanso...",
        "[Main] Fin de la siesta... se intentará instanciar el thread",
        "[Main] El thread está instanciado y en ejecución. Vamos todavía !!!"};
    int at = 0;
    for (const QString& line : expected) {
        const int found = b.LineIndex(line, at);
        ASSERT_GE(found, at) << line.toStdString();
        at = found + 1;
    }
    // The old thread ended its cycle before the rest.
    EXPECT_GT(b.LineIndex("[Main] El thread ha finalizado"),
              b.LineIndex("[ComThread] Se ha finalizado la ejecución del thread"));
    // The list gets no row for the restart.
    for (const QString& row : b.Rows()) EXPECT_FALSE(row.contains("thread")) << row.toStdString();
    EXPECT_GE(b.RowCount(), rowsBefore);

    // The new thread works: its cycles go on, and the agent still closes.
    const int done = form.Thread()->CyclesDone();
    ASSERT_TRUE(SpinUntil([&] { return form.Thread()->CyclesDone() > done; }));
    EXPECT_TRUE(form.close());
}

TEST(Restart, WhilePausedTheThreadIsLetGoOnFirst) {
    WindowBench b;
    TMainForm& form = b.Start();
    form.PausaClick();
    ASSERT_TRUE(form.Thread()->Paused());
    QPointer<TComunicationThread> old = form.Thread();

    QTimer::singleShot(0, &form, [] { throw std::runtime_error("otra falla"); });
    ASSERT_TRUE(SpinUntil([&] { return old.isNull() && form.Thread(); }));
    EXPECT_FALSE(form.Thread()->Paused());
    EXPECT_TRUE(form.Thread()->isRunning());
    EXPECT_TRUE(Button(form, "Pausa")->isEnabled());
    EXPECT_FALSE(Button(form, "Play")->isEnabled());
    EXPECT_GT(b.LineIndex("Se ha producido la siguiente excepción: otra falla"), 0);
}

TEST(Restart, ExceptionDuringTheCloseWaitIsLoggedAndStartsNoThread) {
    WindowBench b;
    b.AddReader("A1");
    b.config.Espera = 1;
    b.setup.timing.esperaUnitMs = 100;
    TMainForm& form = b.Start();
    ASSERT_TRUE(SpinUntil([&] { return form.Thread()->CyclesDone() >= 1; }));
    // Fires inside the close's wait.
    QTimer::singleShot(0, &form, [] { throw Exception("durante el cierre"); });
    EXPECT_TRUE(form.close());
    EXPECT_EQ(form.Thread(), nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.Thread(), nullptr);
    // Logged while the close was under way (the notice lets events through
    // once before the close's first line), and no restart followed.
    const int logged = b.LineIndex("Se ha producido la siguiente excepción: durante el cierre");
    EXPECT_GT(logged, 0);
    EXPECT_LT(logged, b.LineIndex(kClosed));
    EXPECT_EQ(b.LineIndex("[Main] Se intentará finalizar el thread"), -1);
}

TEST(CloseAndPause, UnattendedCloseNeedsNoPasswordAndEndsAPausedThread) {
    WindowBench b;
    b.config.PSW = true;
    TMainForm& form = b.Start();
    form.PausaClick();
    QSignalSpy closed(&form, &TMainForm::Closed);
    form.CloseUnattended();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(form.Thread(), nullptr);
    EXPECT_GT(b.LineIndex(kClosed), b.LineIndex(kClosing));
}

TEST(CloseAndPause, CycleLimitClosesTheWindow) {
    WindowBench b;
    b.setup.cycleLimit = 3;
    TMainForm& form = b.Start();
    QSignalSpy closed(&form, &TMainForm::Closed);
    ASSERT_TRUE(SpinUntil([&] { return closed.count() == 1; }));
    EXPECT_EQ(form.Thread(), nullptr);
    EXPECT_EQ(b.LogLines().filter("[ComThread] Comienzo de un nuevo ciclo del thread").size(), 2);
}

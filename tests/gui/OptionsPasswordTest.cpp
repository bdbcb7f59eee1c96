// The options and the about box from the main window's menu, the password
// guard against a real database, and the empty-station failure through the
// application's general error handling.
#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "core/TComunicationThread.h"
#include "shell/TAboutBox.h"
#include "shell/TDlgConfig.h"
#include "shell/TFPsw.h"
#include "shell/TVersionInfo.h"
#include "tests/gui/WindowBench.h"

namespace {

void ClickButton(QWidget* dialog, QDialogButtonBox::StandardButton which) {
    dialog->findChild<QDialogButtonBox*>()->button(which)->click();
}

// What opened while the menu item ran: class names of the modal windows.
struct ModalScript {
    QStringList seen;
    void Password(const QString& typed, QDialogButtonBox::StandardButton button) {
        OnNextModal([this, typed, button](QWidget* modal) {
            seen << modal->metaObject()->className();
            if (auto* psw = qobject_cast<TFPsw*>(modal))
                psw->findChild<QLineEdit*>("TxtPsw")->setText(typed);
            ClickButton(modal, button);
        });
    }
    void Options(std::function<void(TDlgConfig*)> edit, QDialogButtonBox::StandardButton button) {
        OnNextModal([this, edit, button](QWidget* modal) {
            seen << modal->metaObject()->className();
            if (auto* options = qobject_cast<TDlgConfig*>(modal))
                edit(options);
            ClickButton(modal, button);
        });
    }
};

}  // namespace

TEST(Options, WithoutPswTheOptionsOpenAndOkSavesTheSettings) {
    WindowBench b;
    TMainForm& form = b.Start();
    ModalScript script;
    script.Options([](TDlgConfig* d) { d->findChild<QSpinBox*>("EdFilas")->setValue(20); },
                   QDialogButtonBox::Ok);
    form.ItemOpcionesClick();
    EXPECT_EQ(script.seen, QStringList{"TDlgConfig"});
    EXPECT_EQ(b.config.Filas, 20);
    EXPECT_TRUE(ReadAll(b.registry).contains("\"Filas\"=dword:00000014"));
}

TEST(Options, StationPanelFollowsTheConfirmedStation) {
    WindowBench b;
    TMainForm& form = b.Start();
    QLabel* panel = form.findChild<QLabel*>("StationPanel");
    ASSERT_EQ(panel->text(), "Estacion: 1");
    for (const auto button : {QDialogButtonBox::Cancel, QDialogButtonBox::Ok}) {
        ModalScript script;
        script.Options([](TDlgConfig* d) { d->findChild<QLineEdit*>("EdEstacion")->setText("42"); },
                       button);
        form.ItemOpcionesClick();
        EXPECT_EQ(panel->text(), button == QDialogButtonBox::Ok ? "Estacion: 42" : "Estacion: 1");
    }
}

TEST(Options, CancelSavesNothing) {
    WindowBench b;
    TMainForm& form = b.Start();
    const QByteArray before = ReadAll(b.registry);
    ModalScript script;
    script.Options([](TDlgConfig* d) { d->findChild<QSpinBox*>("EdFilas")->setValue(20); },
                   QDialogButtonBox::Cancel);
    form.ItemOpcionesClick();
    EXPECT_EQ(b.config.Filas, 100);
    EXPECT_EQ(ReadAll(b.registry), before);
}

// An administrator and an ordinary user share a password: the last row of
// the query decides.
TEST(Options, SharedPasswordTheLastUserDecides) {
    for (const bool adminLast : {false, true}) {
        WindowBench b;
        const QString first = adminLast ? "0" : "1";
        const QString second = adminLast ? "1" : "0";
        b.Exec("INSERT INTO Usuario (Nombre, Clave, Administrador) VALUES ('uno', 'compartida', " +
               first + ")");
        b.Exec("INSERT INTO Usuario (Nombre, Clave, Administrador) VALUES ('dos', 'compartida', " +
               second + ")");
        b.config.PSW = true;
        TMainForm& form = b.Start();
        ModalScript script;
        script.Password("compartida", QDialogButtonBox::Ok);
        if (adminLast)
            script.Options([](TDlgConfig*) {}, QDialogButtonBox::Cancel);
        form.ItemOpcionesClick();
        if (adminLast)
            EXPECT_EQ(script.seen, QStringList({"TFPsw", "TDlgConfig"}));
        else
            EXPECT_EQ(script.seen, QStringList{"TFPsw"});
        EXPECT_EQ(form.findChild<TFPsw*>()->Accepted(), adminLast);
        QCoreApplication::processEvents();
    }
}

TEST(Options, EmptyStationGoesToTheGeneralHandlingAndTheDialogStaysOpen) {
    WindowBench b;
    TMainForm& form = b.Start();
    QPointer<TComunicationThread> old = form.Thread();
    const QByteArray before = ReadAll(b.registry);

    bool stillOpen = false;
    QString restartLine;
    OnNextModal([&](QWidget* modal) {
        auto* options = qobject_cast<TDlgConfig*>(modal);
        ASSERT_NE(options, nullptr);
        options->findChild<QLineEdit*>("EdEstacion")->setText("");
        options->findChild<QSpinBox*>("EdComandos")->setValue(44);
        options->findChild<QSpinBox*>("EdFilas")->setValue(55);
        QPushButton* ok = options->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        QTest::mouseClick(ok, Qt::LeftButton);  // through the event loop, as a user's click
        stillOpen = options->isVisible();
        ClickButton(options, QDialogButtonBox::Cancel);
    });
    form.ItemOpcionesClick();

    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(b.config.Comandos, 44);  // taken before the station
    EXPECT_EQ(b.config.Filas, 100);    // not reached
    EXPECT_EQ(b.config.Estacion, 1);
    EXPECT_EQ(ReadAll(b.registry), before);
    EXPECT_GT(b.LineIndex("[Main] ATENCION : Se ha producido la siguiente excepción: '' no es un "
                          "valor entero válido"),
              0);
    EXPECT_GT(b.LineIndex("[Main] El thread está instanciado y en ejecución. Vamos todavía !!!"),
              0);
    EXPECT_TRUE(old.isNull());
    ASSERT_NE(form.Thread(), nullptr);
    EXPECT_TRUE(form.Thread()->isRunning());
}

TEST(Options, AboutBoxShowsTheProgramsVersion) {
    WindowBench b;
    TMainForm& form = b.Start();
    QString shown;
    OnNextModal([&](QWidget* modal) {
        ASSERT_NE(qobject_cast<TAboutBox*>(modal), nullptr);
        shown = modal->findChild<QLabel*>("ProductName")->text();
        ClickButton(modal, QDialogButtonBox::Ok);
    });
    form.ItemAcercadeClick();
    EXPECT_EQ(shown, "Agente de Kelvor " + TVersionInfo().VersionText());
    EXPECT_EQ(shown, "Agente de Kelvor 07.30.0400");
}

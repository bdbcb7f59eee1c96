#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "shell/Errors.h"
#include "shell/TConfig.h"
#include "shell/TDlgConfig.h"

namespace {

// The dialog with typed access to its controls.
struct Options {
    explicit Options(TConfig& config) : dialog(config) {}
    template <typename T>
    T* Get(const char* name) {
        T* widget = dialog.findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Estacion() { return Get<QLineEdit>("EdEstacion"); }
    QSpinBox* DifHora() { return Get<QSpinBox>("SpDifHora"); }
    QCheckBox* Compat() { return Get<QCheckBox>("edKelvor1Compat"); }
    QCheckBox* AHora() { return Get<QCheckBox>("ChkAHora"); }
    QCheckBox* IV() { return Get<QCheckBox>("ChkIV"); }
    QSpinBox* Comandos() { return Get<QSpinBox>("EdComandos"); }
    QSpinBox* Filas() { return Get<QSpinBox>("EdFilas"); }
    QComboBox* Prioridad() { return Get<QComboBox>("CboPrioridad"); }
    QCheckBox* Psw() { return Get<QCheckBox>("ChkPsw"); }
    QPushButton* Button(QDialogButtonBox::StandardButton which) {
        return dialog.findChild<QDialogButtonBox*>()->button(which);
    }

    TDlgConfig dialog;
};

TConfig Sample() {
    TConfig c;
    c.Estacion = 7;
    c.Comandos = 12;
    c.Prioridad = 2;
    c.Filas = 250;
    c.DifHora = 9;
    c.LogFileActivado = 1;
    c.LogFileAppend = 1;
    c.Retrys = 4;
    c.TimeOut = 6;
    c.Espera = 2;
    c.Kelvor1Compat = true;
    c.ActHora = false;
    c.IV = true;
    c.MASTER1 = 11;
    c.MASTER2 = 22;
    c.MASTER3 = 33;
    c.PSW = false;
    return c;
}

QStringList Describe(const TConfig& c) {
    return c.Describe();
}

}  // namespace

TEST(TDlgConfig, CaptionControlsAndLimits) {
    TConfig config;
    Options o(config);
    EXPECT_EQ(o.dialog.windowTitle(), "Opciones de configuración");
    EXPECT_EQ(o.DifHora()->minimum(), 1);
    EXPECT_EQ(o.DifHora()->maximum(), 1000);
    EXPECT_EQ(o.Comandos()->minimum(), 1);
    EXPECT_EQ(o.Comandos()->maximum(), 50);
    EXPECT_EQ(o.Filas()->minimum(), 10);
    EXPECT_EQ(o.Filas()->maximum(), 1000);
    EXPECT_FALSE(o.Prioridad()->isEditable());
    QStringList entries;
    for (int i = 0; i < o.Prioridad()->count(); ++i) entries << o.Prioridad()->itemText(i);
    EXPECT_EQ(entries, QStringList({"En reposo", "Muy baja", "Baja", "Normal", "Alta", "Muy alta",
                                    "Crítica"}));
    EXPECT_EQ(o.Compat()->text(), "Kelvor I");
    EXPECT_EQ(o.AHora()->text(), "Actualizar Automáticamente la hora");
    EXPECT_EQ(o.IV()->text(), "Visitas: Inhabilitar al salir");
    EXPECT_EQ(o.Psw()->text(), "Verificar con Password");

    // The station takes at most two digits and nothing but digits.
    o.Estacion()->setText("123");
    EXPECT_EQ(o.Estacion()->text(), "12");
    o.Estacion()->setText("a5");
    EXPECT_EQ(o.Estacion()->text(), "5");
    o.Filas()->setValue(5);
    EXPECT_EQ(o.Filas()->value(), 10);
    o.Comandos()->setValue(51);
    EXPECT_EQ(o.Comandos()->value(), 50);
}

TEST(TDlgConfig, TabOrderFollowsTheForm) {
    TConfig config;
    Options o(config);
    o.dialog.show();
    QApplication::setActiveWindow(&o.dialog);
    o.Estacion()->setFocus();
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), o.Estacion());

    QStringList order = {QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 10; ++i) {
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(QApplication::focusWidget(), &tab);
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        // Spin boxes put the focus on their inner edit.
        if (qobject_cast<QSpinBox*>(focus->parentWidget()))
            focus = focus->parentWidget();
        if (focus == o.Button(QDialogButtonBox::Ok))
            order << "OK";
        else if (focus == o.Button(QDialogButtonBox::Cancel))
            order << "Cancel";
        else
            order << focus->objectName();
    }
    EXPECT_EQ(order,
              QStringList({"EdEstacion", "SpDifHora", "edKelvor1Compat", "ChkAHora", "ChkIV",
                           "EdComandos", "EdFilas", "CboPrioridad", "ChkPsw", "OK", "Cancel"}));
}

TEST(TDlgConfig, ShowFillsTheControlsFromTheSettings) {
    TConfig config = Sample();
    Options o(config);
    o.dialog.show();
    EXPECT_EQ(o.Estacion()->text(), "7");
    EXPECT_EQ(o.DifHora()->value(), 9);
    EXPECT_TRUE(o.Compat()->isChecked());
    EXPECT_FALSE(o.AHora()->isChecked());
    EXPECT_TRUE(o.IV()->isChecked());
    EXPECT_EQ(o.Comandos()->value(), 12);
    EXPECT_EQ(o.Filas()->value(), 250);
    EXPECT_EQ(o.Prioridad()->currentText(), "Baja");
    EXPECT_FALSE(o.Psw()->isChecked());
    o.dialog.reject();

    // Each showing starts again from the settings, not from the last edit.
    o.Filas()->setValue(900);
    config.Filas = 40;
    o.dialog.show();
    EXPECT_EQ(o.Filas()->value(), 40);
}

TEST(TDlgConfig, OkTakesEveryEditedValueAndNothingElse) {
    TConfig config = Sample();
    Options o(config);
    o.dialog.show();
    o.Estacion()->setText("42");
    o.DifHora()->setValue(1000);
    o.Compat()->setChecked(false);
    o.AHora()->setChecked(true);
    o.IV()->setChecked(false);
    o.Comandos()->setValue(1);
    o.Filas()->setValue(10);
    o.Prioridad()->setCurrentIndex(5);
    o.Psw()->setChecked(true);
    o.dialog.accept();

    EXPECT_EQ(o.dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(o.dialog.isVisible());
    TConfig expected = Sample();
    expected.Estacion = 42;
    expected.DifHora = 1000;
    expected.Kelvor1Compat = false;
    expected.ActHora = true;
    expected.IV = false;
    expected.Comandos = 1;
    expected.Filas = 10;
    expected.Prioridad = 5;
    expected.PSW = true;
    EXPECT_EQ(Describe(config), Describe(expected));
    EXPECT_EQ(config.MASTER1, 11);
    EXPECT_EQ(config.MASTER3, 33);
}

TEST(TDlgConfig, CancelLeavesEverySetting) {
    TConfig config = Sample();
    Options o(config);
    o.dialog.show();
    o.Estacion()->setText("3");
    o.Filas()->setValue(700);
    o.Prioridad()->setCurrentIndex(6);
    o.Psw()->setChecked(true);
    o.Button(QDialogButtonBox::Cancel)->click();
    EXPECT_EQ(o.dialog.result(), QDialog::Rejected);
    EXPECT_EQ(Describe(config), Describe(Sample()));
}

TEST(TDlgConfig, ModalRunGivesItsResult) {
    TConfig config = Sample();
    Options o(config);
    QTimer::singleShot(0, &o.dialog, [&] {
        o.Filas()->setValue(333);
        o.Button(QDialogButtonBox::Ok)->click();
    });
    EXPECT_EQ(o.dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(config.Filas, 333);
}

TEST(TDlgConfig, PriorityAboveSixIsLoweredEvenOnCancel) {
    TConfig config = Sample();
    config.Prioridad = 9;
    Options o(config);
    o.dialog.show();
    EXPECT_EQ(o.Prioridad()->currentText(), "Crítica");
    EXPECT_EQ(config.Prioridad, 6);
    o.dialog.reject();
    EXPECT_EQ(config.Prioridad, 6);
}

TEST(TDlgConfig, NegativePriorityIsKeptUnlessAnEntryIsChosen) {
    TConfig config = Sample();
    config.Prioridad = -2;
    Options o(config);
    o.dialog.show();
    EXPECT_EQ(o.Prioridad()->currentIndex(), -1);
    o.dialog.accept();
    EXPECT_EQ(config.Prioridad, -2);
}

TEST(TDlgConfig, EmptyStationFailsAfterThreeValuesAndKeepsTheDialogOpen) {
    TConfig config = Sample();
    Options o(config);
    o.dialog.show();
    o.Prioridad()->setCurrentIndex(4);
    o.Compat()->setChecked(false);
    o.Comandos()->setValue(30);
    o.Estacion()->setText("");
    o.Filas()->setValue(500);
    o.DifHora()->setValue(60);
    o.AHora()->setChecked(true);
    o.IV()->setChecked(false);
    o.Psw()->setChecked(true);

    EXPECT_THROW(o.Button(QDialogButtonBox::Ok)->click(), EConvertError);
    EXPECT_TRUE(o.dialog.isVisible());
    EXPECT_NE(o.dialog.result(), QDialog::Accepted);

    TConfig expected = Sample();
    expected.Prioridad = 4;
    expected.Kelvor1Compat = false;
    expected.Comandos = 30;
    EXPECT_EQ(Describe(config), Describe(expected));

    // Correcting the station lets the same dialog close with OK.
    o.Estacion()->setText("5");
    o.Button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(o.dialog.result(), QDialog::Accepted);
    EXPECT_EQ(config.Estacion, 5);
    EXPECT_EQ(config.Filas, 500);
    EXPECT_TRUE(config.PSW);
}

// The station field as the operator types into it: one or two digits, none
// at all (the empty field is refused only on OK, see above).
TEST(TDlgConfig, StationTakesOneOrTwoOptionalDigits) {
    TConfig config = Sample();
    Options o(config);
    o.dialog.show();
    QLineEdit* station = o.Estacion();
    for (const char* typed : {"5", "", "42"}) {
        station->selectAll();
        QTest::keyClick(station, Qt::Key_Delete);
        QTest::keyClicks(station, typed);
        EXPECT_EQ(station->text(), typed);
        EXPECT_TRUE(station->hasAcceptableInput()) << typed;
    }
    QTest::keyClicks(station, "7x");  // a third digit and a letter do not go in
    EXPECT_EQ(station->text(), "42");
    station->selectAll();
    QTest::keyClick(station, Qt::Key_Delete);
    QTest::keyClicks(station, "9");
    o.dialog.accept();
    EXPECT_EQ(config.Estacion, 9);
}

// A stored station the field cannot take is shown as stored and kept on OK;
// an edit replaces it, still within two digits.
TEST(TDlgConfig, StoredStationOutsideTheFieldIsKeptUnlessEdited) {
    for (const qint32 stored : {100, 12345, -3}) {
        TConfig config = Sample();
        config.Estacion = stored;
        Options o(config);
        o.dialog.show();
        EXPECT_EQ(o.Estacion()->text(), QString::number(stored));
        o.Filas()->setValue(20);
        o.dialog.accept();
        EXPECT_EQ(config.Estacion, stored);
        EXPECT_EQ(config.Filas, 20);

        o.dialog.show();
        QTest::keyClick(o.Estacion(), Qt::Key_End);
        QTest::keyClicks(o.Estacion(), "5");  // a longer number is not taken
        EXPECT_EQ(o.Estacion()->text(), QString::number(stored));
        o.Estacion()->selectAll();
        QTest::keyClicks(o.Estacion(), "123");
        EXPECT_EQ(o.Estacion()->text(), "12");
        o.dialog.accept();
        EXPECT_EQ(config.Estacion, 12);
    }
}

// Restoring a minimized dialog is not a new opening: the edits stay.
TEST(TDlgConfig, RestoreFromMinimizedKeepsTheEdits) {
    TConfig config = Sample();
    Options o(config);
    o.dialog.show();
    o.Estacion()->setText("33");
    o.Filas()->setValue(640);
    o.dialog.showMinimized();
    QApplication::processEvents();
    EXPECT_TRUE(o.dialog.isMinimized());
    o.dialog.showNormal();
    QApplication::processEvents();
    EXPECT_FALSE(o.dialog.isMinimized());
    EXPECT_EQ(o.Estacion()->text(), "33");
    EXPECT_EQ(o.Filas()->value(), 640);
    o.dialog.accept();
    EXPECT_EQ(config.Estacion, 33);
    EXPECT_EQ(config.Filas, 640);
}

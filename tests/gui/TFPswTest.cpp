#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "shell/Errors.h"
#include "shell/TFPsw.h"

namespace {

struct PasswordWindow {
    PasswordWindow()
        : dialog([this](const QString& typed) {
              asked << typed;
              if (failure)
                  throw EDatabaseError("sin base de datos");
              return typed == "jefe";
          }) {}
    QLineEdit* Edit() { return dialog.findChild<QLineEdit*>("TxtPsw"); }
    QPushButton* Ok() { return dialog.findChild<QPushButton*>("BitBtn1"); }
    QPushButton* Cancel() { return dialog.findChild<QPushButton*>("Cancel"); }

    QStringList asked;
    bool failure = false;
    TFPsw dialog;
};

}  // namespace

TEST(TFPsw, CaptionLabelAndMaskedEdit) {
    PasswordWindow w;
    EXPECT_EQ(w.dialog.windowTitle(), "Confirmación...");
    EXPECT_FALSE(w.dialog.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w.dialog.windowFlags() & Qt::WindowSystemMenuHint);
    bool labelled = false;
    for (QLabel* label : w.dialog.findChildren<QLabel*>())
        labelled |= label->text() == "Clave de Administrador";
    EXPECT_TRUE(labelled);
    ASSERT_NE(w.Edit(), nullptr);
    w.dialog.show();
    w.Edit()->setText("secreto");
    EXPECT_EQ(w.Edit()->displayText(), "*******");
}

TEST(TFPsw, OkChecksTheTypedPassword) {
    PasswordWindow w;
    w.dialog.show();
    w.Edit()->setText("jefe");
    w.Ok()->click();
    EXPECT_EQ(w.dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(w.dialog.Accepted());
    EXPECT_EQ(w.asked, QStringList{"jefe"});

    w.dialog.show();
    EXPECT_TRUE(w.Edit()->text().isEmpty());  // typed afresh every time
    w.Edit()->setText("otro");
    w.Ok()->click();
    EXPECT_EQ(w.dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(w.dialog.Accepted());
}

TEST(TFPsw, CancelChecksNothing) {
    PasswordWindow w;
    QTimer::singleShot(0, &w.dialog, [&] {
        w.Edit()->setText("jefe");
        w.Cancel()->click();
    });
    EXPECT_EQ(w.dialog.exec(), QDialog::Rejected);
    EXPECT_FALSE(w.dialog.Accepted());
    EXPECT_TRUE(w.asked.isEmpty());
}

TEST(TFPsw, AFailingCheckClosesWithoutAcceptingAndPassesTheErrorOn) {
    PasswordWindow w;
    w.dialog.show();
    w.Edit()->setText("jefe");
    w.failure = true;
    EXPECT_THROW(w.Ok()->click(), EDatabaseError);
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(w.dialog.Accepted());
}

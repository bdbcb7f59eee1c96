#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>

#include "shell/TAboutBox.h"
#include "shell/TVersionInfo.h"

namespace {

QString ProductNameShown(const QString& version) {
    TAboutBox box(TVersionInfo(version).VersionText());
    box.show();
    const QString shown = box.findChild<QLabel*>("ProductName")->text();
    box.accept();
    return shown;
}

}  // namespace

TEST(TAboutBox, ShowsTheProductNameWithTheVersionText) {
    EXPECT_EQ(ProductNameShown("1.2.3.4"), "Agente de Kelvor 01.02.0304");
    EXPECT_EQ(ProductNameShown("1.2.3.104"), "Agente de Kelvor 01.02.0304");
    EXPECT_EQ(ProductNameShown("7.30.4.0"), "Agente de Kelvor 07.30.0400");
    EXPECT_EQ(ProductNameShown("no es una versión"), "Agente de Kelvor 00.00.0000");
}

TEST(TAboutBox, CaptionLabelsAndOkButton) {
    TAboutBox box("07.30.0400");
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_EQ(box.findChild<QLabel*>("ProductName")->text(), "");  // set when shown
    EXPECT_EQ(box.findChild<QLabel*>("Version")->text(), "Sistema de control de accesos");
    ASSERT_NE(box.findChild<QLabel*>("ProgramIcon"), nullptr);
    EXPECT_FALSE(box.findChild<QLabel*>("ProgramIcon")->pixmap().isNull());
    auto* buttons = box.findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->standardButtons(), QDialogButtonBox::Ok);
    box.show();
    buttons->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>

#include "shell/TMensaje.h"

TEST(TMensaje, ShowsTheTextInASmallBlueToolWindowCentredOnTheScreen) {
    TMensaje* notice = TMensaje::ShowNotice(nullptr, "Finalizando. Aguarde un momento ...");
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(TMensaje::Current(), notice);
    EXPECT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->windowTitle(), "Atención");
    EXPECT_EQ(notice->Text(), "Finalizando. Aguarde un momento ...");
    EXPECT_EQ(notice->size(), QSize(217, 87));
    EXPECT_EQ(notice->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_FALSE(notice->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(notice->windowFlags() & Qt::WindowSystemMenuHint);

    auto* texto = notice->findChild<QLabel*>("Texto");
    ASSERT_NE(texto, nullptr);
    EXPECT_EQ(texto->size(), QSize(197, 44));
    EXPECT_TRUE(texto->wordWrap());
    EXPECT_EQ(texto->alignment(), Qt::AlignCenter);
    EXPECT_EQ(texto->palette().color(QPalette::WindowText), QColor(Qt::blue));

    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((notice->frameGeometry().center() - centre).manhattanLength(), 2);
    TMensaje::HideNotice();
}

TEST(TMensaje, OneNoticeAtATimeAndHideFreesIt) {
    QPointer<TMensaje> first = TMensaje::ShowNotice(nullptr, "uno");
    QPointer<TMensaje> second = TMensaje::ShowNotice(nullptr, "dos");
    EXPECT_TRUE(first.isNull());
    ASSERT_FALSE(second.isNull());
    EXPECT_EQ(TMensaje::Current(), second.data());
    EXPECT_EQ(second->Text(), "dos");

    TMensaje::HideNotice();
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(TMensaje::Current(), nullptr);
    TMensaje::HideNotice();  // nothing to hide: no effect
    EXPECT_EQ(TMensaje::Current(), nullptr);
}

#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include "shell/RowPictures.h"
#include "shell/TWinTaskbar.h"

namespace {

struct Window {
    Window() : taskbar(new TWinTaskbar(&owner)) {
        owner.resize(200, 100);
        taskbar->SetTrayProbe([this] { return trayAvailable; });
    }
    void Minimize() {
        owner.showMinimized();
        QApplication::processEvents();
        QApplication::processEvents();
    }
    QWidget owner;
    TWinTaskbar* taskbar;
    bool trayAvailable = true;
};

}  // namespace

TEST(TWinTaskbar, IconOnlyWithAPictureAndShowIcon) {
    Window w;
    w.taskbar->SetShowIcon(true);
    EXPECT_FALSE(w.taskbar->IconVisible());  // no picture yet
    w.taskbar->SetIcon(RowPictures::AgentIcon());
    EXPECT_TRUE(w.taskbar->IconVisible());
    w.taskbar->SetShowIcon(false);
    EXPECT_FALSE(w.taskbar->IconVisible());
    w.taskbar->SetShowIcon(true);
    w.taskbar->SetIcon(QIcon());
    EXPECT_FALSE(w.taskbar->IconVisible());
}

TEST(TWinTaskbar, HintKeepsSixtyThreeCharacters) {
    Window w;
    const QString hint = QString("Agente de Kelvor II - ").repeated(4);
    w.taskbar->SetHint(hint);
    EXPECT_EQ(w.taskbar->Hint(), hint);
    EXPECT_EQ(w.taskbar->TrayIcon()->toolTip(), hint.left(63));
    EXPECT_EQ(w.taskbar->TrayIcon()->toolTip().size(), 63);
}

TEST(TWinTaskbar, MinimizingHidesTheWindowAndADoubleClickRestoresIt) {
    Window w;
    w.taskbar->SetIcon(RowPictures::AgentIcon());
    w.taskbar->SetShowIcon(true);
    w.owner.show();
    w.Minimize();
    EXPECT_FALSE(w.owner.isVisible());

    QSignalSpy dblClick(w.taskbar, &TWinTaskbar::DblClick);
    emit w.taskbar->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(dblClick.count(), 1);
    EXPECT_TRUE(w.owner.isVisible());
    EXPECT_FALSE(w.owner.isMinimized());

    // Minimizing again hides it again.
    w.Minimize();
    EXPECT_FALSE(w.owner.isVisible());
}

TEST(TWinTaskbar, WithoutANotificationAreaTheWindowOnlyMinimizes) {
    Window w;
    w.trayAvailable = false;
    w.taskbar->SetIcon(RowPictures::AgentIcon());
    w.taskbar->SetShowIcon(true);
    w.owner.show();
    w.Minimize();
    EXPECT_TRUE(w.owner.isVisible());
    EXPECT_TRUE(w.owner.isMinimized());
}

TEST(TWinTaskbar, HideAppOffOrNoIconKeepsTheTaskBarEntry) {
    Window w;
    w.taskbar->SetIcon(RowPictures::AgentIcon());
    w.taskbar->SetShowIcon(true);
    w.taskbar->SetHideApp(false);
    w.owner.show();
    w.Minimize();
    EXPECT_TRUE(w.owner.isVisible());

    Window bare;  // no icon: nothing to come back from
    bare.owner.show();
    bare.Minimize();
    EXPECT_TRUE(bare.owner.isVisible());
}

TEST(TWinTaskbar, DoubleClickWithoutRestoreOnlySignals) {
    Window w;
    w.taskbar->SetIcon(RowPictures::AgentIcon());
    w.taskbar->SetShowIcon(true);
    w.taskbar->SetDblClickRestores(false);
    w.owner.show();
    w.Minimize();
    QSignalSpy dblClick(w.taskbar, &TWinTaskbar::DblClick);
    QSignalSpy click(w.taskbar, &TWinTaskbar::Click);
    emit w.taskbar->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
    emit w.taskbar->TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(dblClick.count(), 1);
    EXPECT_EQ(click.count(), 1);
    EXPECT_FALSE(w.owner.isVisible());
}

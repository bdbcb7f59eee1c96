#include "shell/TWinTaskbar.h"

#include <QEvent>
#include <QMenu>
#include <QTimer>
#include <QWidget>

TWinTaskbar::TWinTaskbar(QWidget* owner)
    : QObject(owner),
      m_owner(owner),
      m_tray(new QSystemTrayIcon(this)),
      m_trayProbe([] { return QSystemTrayIcon::isSystemTrayAvailable(); }) {
    setObjectName("WinTaskbar");
    connect(m_tray, &QSystemTrayIcon::activated, this, &TWinTaskbar::Activated);
    if (owner)
        owner->installEventFilter(this);
}

TWinTaskbar::~TWinTaskbar() {
    if (m_owner)
        m_owner->removeEventFilter(this);
    m_tray->hide();
}

void TWinTaskbar::SetIcon(const QIcon& icon) {
    m_icon = icon;
    Refresh();
}

void TWinTaskbar::SetShowIcon(bool show) {
    m_showIcon = show;
    Refresh();
}

void TWinTaskbar::SetHint(const QString& hint) {
    m_hint = hint;
    Refresh();
}

void TWinTaskbar::SetPopUpMenu(QMenu* menu) {
    m_popUpMenu = menu;
    m_tray->setContextMenu(menu);
}

bool TWinTaskbar::IconVisible() const {
    return m_tray->isVisible();
}

void TWinTaskbar::Refresh() {
    m_tray->setToolTip(m_hint.left(kHintLength));
    if (m_showIcon && !m_icon.isNull()) {
        m_tray->setIcon(m_icon);
        // Shown even when no notification area exists yet: one that appears
        // later (a panel started after the agent) picks the icon up.
        m_tray->show();
    } else {
        m_tray->hide();
    }
}

void TWinTaskbar::Restore() {
    if (!m_owner)
        return;
    m_owner->showNormal();
    m_owner->raise();
    m_owner->activateWindow();
}

void TWinTaskbar::Activated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::DoubleClick:
            if (m_owner)
                m_owner->raise();
            emit DblClick();
            if (m_dblClickRestores)
                Restore();
            break;
        case QSystemTrayIcon::Trigger:
            emit Click();
            break;
        default:
            break;  // the context menu is opened by QSystemTrayIcon itself
    }
}

bool TWinTaskbar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_owner && event->type() == QEvent::WindowStateChange && m_hideApp &&
        m_owner->isMinimized() && IconVisible() && m_trayProbe()) {
        // Hidden once the state change has been handled, not in the middle of it.
        QTimer::singleShot(0, m_owner, [owner = m_owner] {
            if (owner && owner->isMinimized())
                owner->hide();
        });
    }
    return QObject::eventFilter(watched, event);
}

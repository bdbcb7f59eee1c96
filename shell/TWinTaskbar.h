#pragma once
// The agent's icon in the desktop's notification area (system tray), and the
// hiding of the main window while it is minimized.
//
// Contract:
// - The icon is in the notification area only while ShowIcon() is true and
//   Icon() is not null; every change of Icon, ShowIcon or Hint updates it at
//   once. The tool tip is the first 63 characters of Hint().
// - While HideApp() is true, minimizing the owner window hides it, so it has no
//   task-bar entry; this happens only when a notification area exists to bring
//   it back from (otherwise the window simply stays minimized).
// - A double click on the icon emits DblClick() and, while DblClickRestores()
//   is true, restores the owner window (shown, normal size, in front). A click
//   emits Click(). A context click opens PopUpMenu() when one is set.
// - Defaults: empty icon, ShowIcon false, empty hint, HideApp true,
//   DblClickRestores true, no menu.
//
// Ownership: a child object of the owner window; the owner outlives it.
// Thread safety: user-interface thread only.

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>

class QWidget;

class TWinTaskbar : public QObject {
    Q_OBJECT

public:
    static constexpr int kHintLength = 63;

    explicit TWinTaskbar(QWidget* owner);
    ~TWinTaskbar() override;

    QIcon Icon() const { return m_icon; }
    void SetIcon(const QIcon& icon);
    bool ShowIcon() const { return m_showIcon; }
    void SetShowIcon(bool show);
    QString Hint() const { return m_hint; }
    void SetHint(const QString& hint);
    bool HideApp() const { return m_hideApp; }
    void SetHideApp(bool hide) { m_hideApp = hide; }
    bool DblClickRestores() const { return m_dblClickRestores; }
    void SetDblClickRestores(bool restores) { m_dblClickRestores = restores; }
    QMenu* PopUpMenu() const { return m_popUpMenu; }
    void SetPopUpMenu(QMenu* menu);

    // True while the icon is shown in the notification area.
    bool IconVisible() const;
    // The tray icon itself (its activations drive the behaviour above).
    QSystemTrayIcon* TrayIcon() const { return m_tray; }
    // Whether a notification area exists; the platform's answer unless a test
    // replaces it.
    void SetTrayProbe(std::function<bool()> probe) { m_trayProbe = std::move(probe); }

    // Brings the owner window back from the notification area.
    void Restore();

signals:
    void Click();
    void DblClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Refresh();
    void Activated(QSystemTrayIcon::ActivationReason reason);

    QPointer<QWidget> m_owner;
    QSystemTrayIcon* m_tray;
    QIcon m_icon;
    bool m_showIcon = false;
    QString m_hint;
    bool m_hideApp = true;
    bool m_dblClickRestores = true;
    QPointer<QMenu> m_popUpMenu;
    std::function<bool()> m_trayProbe;
};

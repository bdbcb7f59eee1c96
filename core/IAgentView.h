#pragma once
// What the communication thread shows: the list of rows of the main window,
// and whether that window is visible. Implemented by TMainForm (the window)
// and HeadlessView (no window).
//
// Thread: every call is made on the user-interface thread (the thread hands
// its requests over through UiDispatch). Implementations may throw; the
// exception is handed back to the requesting thread.
//
// Pictures: state 0 in progress, 1 OK, 2 error, 3 communication error,
// 4 none; image (small picture) 0 to 4, 5 none.

#include <QDateTime>
#include <QString>

class IAgentView {
public:
    virtual ~IAgentView() = default;
    // Inserts a row at the top of the list (newest first).
    virtual void AddLogRow(const QString& registrador, const QString& mensaje,
                           const QDateTime& when, const QString& estado, quint8 image,
                           quint8 state) = 0;
    // Replaces the state text and picture of the newest row; nothing on an
    // empty list.
    virtual void UpdateLogRow(const QString& estado, quint8 state) = 0;
    // True when the main window is not visible on the screen.
    virtual bool AgentHidden() = 0;
};

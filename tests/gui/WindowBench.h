#pragma once
// A bench for the main window with real parts: a settings file and a SQLite
// database with the agent's schema in a scratch folder, the data module, the
// session log, the real communication thread with short waits, and the window
// on Qt's offscreen platform. The test's main thread is the user-interface
// thread.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <ostream>

#include "core/TMainForm.h"
#include "shell/TConfig.h"
#include "tests/support/TestSupport.h"

class TDM;
class QTreeWidgetItem;

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// Processes events until `done` or the deadline (generous: only a failing
// test waits that long).
bool SpinUntil(const std::function<bool()>& done, int ms = 15000);

// Runs `handle` on the next modal window that opens (polled from the event
// loop, so it also works while the test is blocked in exec()).
void OnNextModal(std::function<void(QWidget* modal)> handle);

class WindowBench {
public:
    WindowBench();
    ~WindowBench();

    // Settings the window starts from (station 1, Espera 0, thread lines in
    // the session log appended to AGKelvorI.log); changed freely before Create.
    TConfig config;
    MainFormSetup setup;
    ScratchDir dir;
    QString registry;

    // Runs a statement on the test's own connection to the database.
    void Exec(const QString& sql, const QVariantList& values = {});
    // A reader of station 1 on a line that does not exist: each connection
    // waits Espera and then fails.
    void AddReader(const QString& id);

    // The window's creation alone (the start-up steps inside the window).
    TMainForm& Create();
    // The whole start-up: creation, dialogs, database, status, thread let run.
    TMainForm& Start();
    TMainForm& Form() { return *m_form; }
    void DestroyForm() { m_form.reset(); }
    TDM& Dm() { return *m_dm; }

    // The session log's lines so far, decoded.
    QStringList LogLines() const;
    QString LogFile() const;
    // Index of the first line at or after `from` that ends with `text`; -1.
    int LineIndex(const QString& text, int from = 0) const;

    // The list's rows, newest first: "registrador|mensaje|estado|image|state".
    QStringList Rows() const;
    QTreeWidgetItem* Row(int index) const;
    int RowCount() const;

private:
    std::unique_ptr<TDM> m_dm;
    std::unique_ptr<TMainForm> m_form;
    QString m_connection;
};

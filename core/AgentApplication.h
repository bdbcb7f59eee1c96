#pragma once
// The application object of the agent with its window. Every event goes
// through notify(); an exception that escapes an event handler (a button, a
// timer, a dialog) is caught there and handed to the exception handler, which
// the main window sets to its restart of the communication thread. Without a
// handler the exception is reported on standard error and the event loop goes
// on. The handler may run a local event loop; an exception escaping an event
// served there reaches the handler again (it must guard against that).
//
// Exceptions that the communication thread's requests raise on this thread
// never get here: the dispatch catches them and hands them back.
//
// Thread safety: user-interface thread only.

#include <QApplication>
#include <functional>

class AgentApplication : public QApplication {
    Q_OBJECT

public:
    using ExceptionHandler = std::function<void(const QString& message)>;

    AgentApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    void SetExceptionHandler(ExceptionHandler handler) { m_handler = std::move(handler); }

    // The application object when it is an AgentApplication, else null.
    static AgentApplication* Instance();
    // The text of the exception being handled (inside a catch block).
    static QString CurrentExceptionText();

private:
    void Handle(const QString& message);

    ExceptionHandler m_handler;
};

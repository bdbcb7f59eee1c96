#include "core/AgentApplication.h"

#include <cstdio>
#include <exception>

#include "shell/Errors.h"

AgentApplication::AgentApplication(int& argc, char** argv) : QApplication(argc, argv) {}

AgentApplication* AgentApplication::Instance() {
    return qobject_cast<AgentApplication*>(QCoreApplication::instance());
}

QString AgentApplication::CurrentExceptionText() {
    try {
        throw;
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Excepción desconocida");
    }
}

bool AgentApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        Handle(CurrentExceptionText());
        return false;
    }
}

void AgentApplication::Handle(const QString& message) {
    if (!m_handler) {
        std::fprintf(stderr, "agente: %s\n", message.toLocal8Bit().constData());
        return;
    }
    try {
        m_handler(message);
    } catch (...) {
        // The handler itself failed: nothing is left to hand it to.
        std::fprintf(stderr, "agente: %s\n", CurrentExceptionText().toLocal8Bit().constData());
    }
}

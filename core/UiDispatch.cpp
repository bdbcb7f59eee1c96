#include "core/UiDispatch.h"

#include <QThread>
#include <exception>

#include "core/PauseGate.h"
#include "shell/Errors.h"

bool UiDispatch::OnUiThread() const {
    return QThread::currentThread() == m_target->thread();
}

void UiDispatch::Run(const std::function<void()>& operation) const {
    if (OnUiThread()) {
        operation();
        return;
    }
    if (m_gate)
        m_gate->Pass();
    std::exception_ptr failure;
    const bool queued = QMetaObject::invokeMethod(
        m_target,
        [&] {
            // Left to escape, the exception would surface in the user-interface
            // thread's event loop instead of in the thread that asked.
            try {
                operation();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (!queued) {
        throw Exception(
            QStringLiteral("No se pudo ejecutar la operación en el thread de la interfaz"));
    }
    if (failure)
        std::rethrow_exception(failure);
}

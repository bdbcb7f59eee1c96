#include "core/PauseGate.h"

#include <QMutexLocker>

void PauseGate::Close() {
    QMutexLocker lock(&m_mutex);
    m_closed = true;
}

void PauseGate::Open() {
    QMutexLocker lock(&m_mutex);
    m_closed = false;
    m_opened.wakeAll();
}

bool PauseGate::IsClosed() const {
    QMutexLocker lock(&m_mutex);
    return m_closed;
}

void PauseGate::Pass() {
    QMutexLocker lock(&m_mutex);
    while (m_closed) m_opened.wait(&m_mutex);
}

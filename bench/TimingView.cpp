#include "bench/TimingView.h"

void TimingView::AddLogRow(const QString& registrador, const QString& mensaje, const QDateTime&,
                           const QString& estado, quint8, quint8 state) {
    m_rows.push_back(
        {std::chrono::steady_clock::now(), false, registrador, mensaje, estado, state});
}

void TimingView::UpdateLogRow(const QString& estado, quint8 state) {
    m_rows.push_back({std::chrono::steady_clock::now(), true, {}, {}, estado, state});
}

int TimingView::Find(const QString& prefix, int from) const {
    for (int i = qMax(from, 0); i < int(m_rows.size()); ++i) {
        if (!m_rows[i].update && m_rows[i].mensaje.startsWith(prefix))
            return i;
    }
    return -1;
}

double TimingView::SecondsBetween(int first, int last) const {
    return std::chrono::duration<double>(m_rows.at(last).at - m_rows.at(first).at).count();
}

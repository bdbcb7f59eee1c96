#pragma once
// A view for the communication thread that shows it as visible and records
// every row and every state change with the moment it arrived (a monotonic
// clock), so a benchmark can time the thread's steps from its own reports:
// the command part of a cycle runs from the row "Comienza procesamiento de
// comandos" to the row "Finaliza procesamiento de comandos", a command's send
// from its progress row to the state change after it.
//
// Thread: the user-interface thread, like every IAgentView.

#include <QString>
#include <chrono>
#include <vector>

#include "core/IAgentView.h"

struct TimedRow {
    std::chrono::steady_clock::time_point at;
    bool update = false;  // a state change of the newest row, not a new row
    QString registrador, mensaje, estado;
    quint8 state = 4;
};

class TimingView : public IAgentView {
public:
    void AddLogRow(const QString& registrador, const QString& mensaje, const QDateTime& when,
                   const QString& estado, quint8 image, quint8 state) override;
    void UpdateLogRow(const QString& estado, quint8 state) override;
    bool AgentHidden() override { return false; }

    const std::vector<TimedRow>& Rows() const { return m_rows; }
    // The first new row at or after `from` whose message starts with prefix;
    // -1 when none.
    int Find(const QString& prefix, int from = 0) const;
    double SecondsBetween(int first, int last) const;

private:
    std::vector<TimedRow> m_rows;
};

#pragma once
// The view of an agent that runs without a window (service use): the window
// counts as hidden, so the thread hands it no rows; rows that arrive anyway
// (the last row before the list falls silent) are dropped.
//
// Thread: user-interface thread only, like every IAgentView.

#include "core/IAgentView.h"

class HeadlessView : public IAgentView {
public:
    void AddLogRow(const QString&, const QString&, const QDateTime&, const QString&, quint8,
                   quint8) override {}
    void UpdateLogRow(const QString&, quint8) override {}
    bool AgentHidden() override { return true; }
};

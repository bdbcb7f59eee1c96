#include "core/WatchdogBound.h"

#include <algorithm>

#include "shell/TConfig.h"

WatchdogBound::WatchdogBound(const TConfig& config, const ThreadTiming& timing,
                             int statementTimeoutS, int lockTimeoutS) {
    // Wide arithmetic: the settings are hand-edited and may be anything.
    const qint64 attempts = qint64(std::max(config.Retrys, 0)) + 1;
    const qint64 readMs = qint64(std::max(config.TimeOut, 0)) * timing.serialTimeoutUnitMs;
    // Each factor capped first, so that the product cannot overflow: past
    // the cap the interval is the cap anyway.
    const qint64 recordMs =
        std::min(attempts * attempts, kMaxIntervalMs) * std::min(readMs, kMaxIntervalMs);
    const qint64 statementMs = qint64(std::max({statementTimeoutS, lockTimeoutS, 0})) * 1000;
    const qint64 connectMs =
        qint64(std::max(config.Espera, 0)) * timing.esperaUnitMs + kDatabaseWaitMs;
    m_longestMs = std::max(
        {recordMs, statementMs, connectMs, kDatabaseWaitMs, qint64(timing.recoveryPauseMs)});
}

qint64 WatchdogBound::IntervalMs() const {
    // Saturating: three times an absurd setting is still the cap.
    return m_longestMs > kMaxIntervalMs / 3 ? kMaxIntervalMs : 3 * m_longestMs;
}

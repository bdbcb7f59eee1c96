// The service watchdog's interval from the settings: the longest single step
// of the thread, three times over, capped.
#include <gtest/gtest.h>

#include "core/WatchdogBound.h"
#include "shell/TConfig.h"

TEST(WatchdogBound, TheLongestStepTheSettingsAllowSetsTheInterval) {
    struct Case {
        const char* what;
        qint32 retrys, timeOut, espera;
        int statementS, lockS;
        qint64 longestMs;
    } cases[] = {
        // The package's file: Retrys 1, TimeOut 3, Espera 3; PostgreSQL's
        // 60 s statement time-out is the longest step.
        {"package, PostgreSQL", 1, 3, 3, 60, 10, 60000},
        // SQLite: the wait before a connection and the database's own wait,
        // 3 s + 10 s, beat a record with its retries, (1 + 1)^2 x 3 s.
        {"package, SQLite", 1, 3, 3, 0, 0, 13000},
        {"agent's default Retrys 2: (2 + 1)^2 x 3 s", 2, 3, 3, 0, 0, 27000},
        {"a slow line", 3, 20, 3, 60, 10, 320000},
        {"a lock wait longer than the statement", 1, 3, 3, 0, 90, 90000},
        {"a long wait before each connection", 0, 1, 100, 0, 0, 110000},
        {"nothing set: the recovery pause", 0, 0, 0, 0, 0, 10000},
        {"negative values count as none", -5, -3, -1, -1, -1, 10000},
    };
    for (const Case& c : cases) {
        TConfig config;
        config.Retrys = c.retrys;
        config.TimeOut = c.timeOut;
        config.Espera = c.espera;
        const WatchdogBound bound(config, ThreadTiming{}, c.statementS, c.lockS);
        EXPECT_EQ(bound.LongestStepMs(), c.longestMs) << c.what;
        EXPECT_EQ(bound.IntervalMs(), 3 * c.longestMs) << c.what;
    }
}

TEST(WatchdogBound, AnAbsurdSettingIsCappedSoAStuckAgentIsStillCaught) {
    TConfig config;
    config.Retrys = 65535;
    config.TimeOut = 2147483647;
    const WatchdogBound bound(config, ThreadTiming{}, 86400, 86400);
    EXPECT_GT(bound.LongestStepMs(), WatchdogBound::kMaxIntervalMs);
    EXPECT_EQ(bound.IntervalMs(), WatchdogBound::kMaxIntervalMs);
}

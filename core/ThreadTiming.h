#pragma once
// The waits of the communication thread, in milliseconds. Production uses the
// defaults; tests shorten them so that no test sleeps for seconds. The
// defaults are never changed for tests: a test builds its own ThreadTiming.
//
// A plain value, copied into the thread at construction.

struct ThreadTiming {
    // Pause after a cycle that failed, before the link is rebuilt.
    int recoveryPauseMs = 10000;
    // Pause at the end of every cycle.
    int cyclePauseMs = 100;
    // One second of the "Espera" setting (the wait before each connection).
    int esperaUnitMs = 1000;
    // One unit of the "TimeOut" setting (the line's read and write time-outs).
    int serialTimeoutUnitMs = 1000;
    // The longest an unchanged station state goes unwritten in the shared
    // database (StationStatePublisher).
    int stateIntervalMs = 60000;
};

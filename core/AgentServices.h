#pragma once
// Everything the communication thread reaches outside itself, handed to its
// constructor. The thread owns none of these objects; they must outlive it.
//
// - view, log, config: used only on the user-interface thread (the thread
//   that creates TComunicationThread); the thread reaches them through
//   UiDispatch. log may be null (nothing is written then).
// - dm: the data module; the thread uses it from its own thread with its own
//   database connection.
// - clock: "now" for every time stamp and clock check of the thread.
// - monotonic: the measure of the thread's intervals (how long since the last
//   clock warning), which a host clock set back or forward must not stretch.
// - timing: the thread's waits (shortened by tests).
// - status: where the thread keeps each reader's state and writes the status
//   file at the end of every cycle; null: the thread keeps its own, with no
//   file.
// - beforeLinkBuilt: tests only; runs (on the user-interface thread) each
//   time the thread is about to build its link, and may throw to make that
//   build fail. Empty in production.

#include <functional>

#include "core/ThreadTiming.h"
#include "shell/Clock.h"

class IAgentView;
class TLogFile;
class TConfig;
class TDM;
class ReaderStatus;

struct AgentServices {
    IAgentView* view = nullptr;
    TLogFile* log = nullptr;
    TConfig* config = nullptr;
    TDM* dm = nullptr;
    ReaderStatus* status = nullptr;
    ClockFn clock = SystemClock();
    MonotonicFn monotonic = MonotonicClock();
    ThreadTiming timing;
    std::function<void()> beforeLinkBuilt;
};

#pragma once
// What the headless agent tells systemd about itself (sd_notify): READY=1
// once its thread runs, WATCHDOG=1 after every cycle of the thread, STOPPING=1
// when it closes. With the unit's WatchdogSec, a cycle stuck beyond its
// bounds (or an event loop that no longer runs) ends in a restart of the
// service.
//
// Built with libsystemd when the build found it (KELVOR_WITH_SYSTEMD); without
// it, or when the process was not started by systemd as a notify service
// ($NOTIFY_SOCKET unset), every call does nothing. Nothing is thrown; a
// message that cannot be sent is dropped (the service manager is auxiliary
// to the agent's job).
//
// Thread: the user-interface thread (it is fed from the thread's CycleEnded
// signal, queued there), so a hung main loop starves the watchdog too.

class ServiceNotifier {
public:
    // Whether this build can talk to systemd at all.
    static bool Built();

    void Ready();
    void CycleDone(int cyclesDone);
    void Stopping();
};

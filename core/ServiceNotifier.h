#pragma once
// What the headless agent tells systemd about itself (sd_notify): READY=1
// once its thread runs, WATCHDOG=1 at every step of progress of the thread
// (Alive: each reader, each batch of records read, each command, each
// database step) and after every cycle, STOPPING=1 when it closes. The pings
// come only from the thread's progress, never from a timer, so that a single
// step stuck beyond the unit's WatchdogSec (or an event loop that no longer
// runs) ends in a restart of the service, while a long read of many records
// is not taken for a hang.
//
// Whether the watchdog is on, and its interval, come from the environment
// systemd gives a service with WatchdogSec ($WATCHDOG_USEC, $WATCHDOG_PID,
// read with sd_watchdog_enabled): without them no WATCHDOG=1 is sent.
//
// Built with libsystemd when the build found it (KELVOR_WITH_SYSTEMD); without
// it, or when the process was not started by systemd as a notify service
// ($NOTIFY_SOCKET unset), every call does nothing. Nothing is thrown; a
// message that cannot be sent is dropped (the service manager is auxiliary
// to the agent's job).
//
// Thread: the user-interface thread (it is fed from the thread's CycleEnded
// signal, queued there), so a hung main loop starves the watchdog too.

#include <cstdint>

class ServiceNotifier {
public:
    // Reads the watchdog's settings from the environment.
    ServiceNotifier();

    // Whether this build can talk to systemd at all.
    static bool Built();
    // The watchdog's interval in microseconds; 0 when it is off.
    std::uint64_t WatchdogUsec() const { return m_watchdogUsec; }

    void Ready();
    // Raises the watchdog's interval to `usec` (WATCHDOG_USEC=) when the
    // watchdog is on and `usec` is longer than the unit's: the settings allow
    // a step longer than WatchdogSec. Never shortens it.
    void Extend(std::uint64_t usec);
    // A step of progress within a cycle: WATCHDOG=1 alone (no status).
    void Alive();
    void CycleDone(int cyclesDone);
    void Stopping();

private:
    std::uint64_t m_watchdogUsec = 0;
};

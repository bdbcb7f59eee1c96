#include "core/ServiceNotifier.h"

#ifdef KELVOR_WITH_SYSTEMD
#include <systemd/sd-daemon.h>

#include <QByteArray>
#endif

bool ServiceNotifier::Built() {
#ifdef KELVOR_WITH_SYSTEMD
    return true;
#else
    return false;
#endif
}

#ifdef KELVOR_WITH_SYSTEMD

ServiceNotifier::ServiceNotifier() {
    // > 0 only when $WATCHDOG_USEC is set and $WATCHDOG_PID, if set, is ours:
    // a child process that inherited the variables does not ping.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0)
        m_watchdogUsec = usec;
}

void ServiceNotifier::Ready() {
    QByteArray message = "READY=1\nSTATUS=Thread de comunicaciones en marcha";
    if (m_watchdogUsec != 0)
        message += "; watchdog: " + QByteArray::number(qulonglong(m_watchdogUsec / 1000000)) +
                   " s por paso";
    sd_notify(0, message.constData());
}

void ServiceNotifier::Extend(std::uint64_t usec) {
    if (m_watchdogUsec == 0 || usec <= m_watchdogUsec)
        return;
    const QByteArray message = "WATCHDOG_USEC=" + QByteArray::number(qulonglong(usec));
    if (sd_notify(0, message.constData()) > 0)
        m_watchdogUsec = usec;
}

void ServiceNotifier::Alive() {
    if (m_watchdogUsec != 0)
        sd_notify(0, "WATCHDOG=1");
}

void ServiceNotifier::CycleDone(int cyclesDone) {
    // The status line shows in `systemctl status`: how far the agent got.
    QByteArray message = "STATUS=Ciclos completos: " + QByteArray::number(cyclesDone);
    if (m_watchdogUsec != 0)
        message.prepend("WATCHDOG=1\n");
    sd_notify(0, message.constData());
}

void ServiceNotifier::Stopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=Cierre: se aguarda el fin del ciclo");
}

#else

ServiceNotifier::ServiceNotifier() {}
void ServiceNotifier::Ready() {}
void ServiceNotifier::Extend(std::uint64_t) {}
void ServiceNotifier::Alive() {}
void ServiceNotifier::CycleDone(int) {}
void ServiceNotifier::Stopping() {}

#endif

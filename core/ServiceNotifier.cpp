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

void ServiceNotifier::Ready() {
    sd_notify(0, "READY=1\nSTATUS=Thread de comunicaciones en marcha");
}

void ServiceNotifier::CycleDone(int cyclesDone) {
    // The status line shows in `systemctl status`: how far the agent got.
    const QByteArray message =
        "WATCHDOG=1\nSTATUS=Ciclos completos: " + QByteArray::number(cyclesDone);
    sd_notify(0, message.constData());
}

void ServiceNotifier::Stopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=Cierre: se aguarda el fin del ciclo");
}

#else

void ServiceNotifier::Ready() {}
void ServiceNotifier::CycleDone(int) {}
void ServiceNotifier::Stopping() {}

#endif

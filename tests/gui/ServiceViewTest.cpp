// The read-only view of a station the service serves, on the offscreen
// platform, beside a real headless agent that holds the station lock.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include "core/AgentPlaces.h"
#include "core/ServiceView.h"
#include "core/StationLock.h"
#include "tests/gui/WindowBench.h"

namespace {

struct Service {
    QProcess process;
    QString lockDir, stateDir, logDir;

    Service(const WindowBench& b, bool sessionLog) {
        lockDir = b.dir.File("locks");
        stateDir = b.dir.File("state");
        logDir = b.dir.File("servicio");
        for (const QString& d : {lockDir, stateDir, logDir}) QDir().mkpath(d);
        if (sessionLog) {
            WriteAll(b.registry,
                     ReadAll(b.registry) +
                         "\r\n[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n"
                         "\"LogFileActivado\"=dword:00000001\r\n"
                         "\"LogFileAppend\"=dword:00000001\r\n");
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVOR_LOCK_DIR", lockDir);
        env.insert("STATE_DIRECTORY", stateDir);
        process.setProcessEnvironment(env);
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(BuildDir() + "/core/agente",
                      {"--headless", "--registry", b.registry, "--log-dir", logDir});
        EXPECT_TRUE(process.waitForStarted(10000));
    }
    ~Service() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    ServiceView::Source Source(const QString& holder) const {
        ServiceView::Source s;
        s.holder = holder;
        QProcessEnvironment env;
        env.insert("STATE_DIRECTORY", stateDir);
        env.insert("HOME", stateDir);
        s.places = AgentPlaces(env, stateDir + "/no-existe");
        s.refreshMs = 100;
        return s;
    }
};

// Takes the station lock the way a window agent does, and tells who holds it.
QString Holder(const WindowBench& b, const Service& service) {
    // Only once the service has it: a lock taken first would keep the
    // service from starting.
    StationLock lock(b.registry, service.lockDir);
    const QByteArray pid = QByteArray::number(service.process.processId());
    if (!SpinUntil([&] { return ReadAll(lock.LockPath()).startsWith(pid + ' '); }))
        return {};
    return lock.Acquire() == StationLock::Result::kHeld ? lock.Holder() : QString();
}

}  // namespace

TEST(ServiceView, ShowsTheServicesStatusAndLastLinesAndSaysWhenItIsGone) {
    WindowBench b;
    b.AddReader("A1");
    Service service(b, true);
    const QString holder = Holder(b, service);
    ASSERT_TRUE(holder.startsWith("proceso " + QString::number(service.process.processId())))
        << holder.toStdString();
    // The service's first cycle has written its status file.
    ASSERT_TRUE(SpinUntil(
        [&] { return QFile::exists(service.stateDir + "/estado-estacion-1.json"); }, 60000));

    ServiceView view(service.Source(holder));
    view.show();
    EXPECT_TRUE(
        view.Headline().startsWith("El servicio del agente atiende la estación 1 (" + holder + ")"))
        << view.Headline().toStdString();
    // What `agente --status` prints.
    EXPECT_TRUE(view.StatusText().startsWith("Archivo de estado: " + service.stateDir))
        << view.StatusText().toStdString();
    EXPECT_TRUE(view.StatusText().contains("\nA1 ")) << view.StatusText().toStdString();
    // The session log found through the service's own command line.
    EXPECT_TRUE(SpinUntil([&] { return view.LinesText().contains("[Main] Estacion: 1"); }))
        << view.LinesText().toStdString();
    EXPECT_LE(view.LinesText().count('\n'), 19);

    // It follows the service: gone, it says so at the next refresh.
    service.process.terminate();
    ASSERT_TRUE(service.process.waitForFinished(30000));
    EXPECT_TRUE(SpinUntil([&] { return view.Headline().contains("ya no está en marcha"); }))
        << view.Headline().toStdString();
}

// With the session log off (the package's default) the journal is asked; a
// journal program that hangs is ended within its bound and the view says the
// journal cannot be read, the event loop running all the while.
TEST(ServiceView, WithTheSessionLogOffAHangingJournalIsEndedWithinItsBound) {
    WindowBench b;
    Service service(b, false);
    const QString holder = Holder(b, service);
    ASSERT_FALSE(holder.isEmpty());
    const QString journal = b.dir.File("journalctl");
    WriteAll(journal, "#!/bin/sh\nexec sleep 60\n");
    QFile::setPermissions(journal, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    ServiceView::Source source = service.Source(holder);
    source.journalctl = journal;
    QElapsedTimer elapsed;
    elapsed.start();
    ServiceView view(source);
    EXPECT_LT(elapsed.elapsed(), 2000);  // the journal is not waited for here
    EXPECT_TRUE(SpinUntil([&] { return view.LinesText().contains("no se puede leer"); }, 10000))
        << view.LinesText().toStdString();
    EXPECT_GE(elapsed.elapsed(), 2900);

    // A journal that answers is shown as it answers.
    WriteAll(journal, "#!/bin/sh\necho \"linea del diario para $1\"\n");
    source.journalctl = journal;
    ServiceView answered(source);
    EXPECT_TRUE(SpinUntil([&] {
        return answered.LinesText() ==
               "linea del diario para _PID=" + QString::number(service.process.processId());
    })) << answered.LinesText().toStdString();
}

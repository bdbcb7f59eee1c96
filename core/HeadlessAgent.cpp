#include "core/HeadlessAgent.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <memory>

#include "core/AgentPlaces.h"
#include "core/HeadlessView.h"
#include "core/ReaderStatus.h"
#include "core/ServiceNotifier.h"
#include "core/StationLock.h"
#include "core/TComunicationThread.h"
#include "core/TerminationSignals.h"
#include "core/WatchdogBound.h"
#include "db/TAlias.h"
#include "db/TDM.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "shell/TLogFile.h"

namespace {

const QString kMain = QStringLiteral("Main");

void ToStderr(const QByteArray& line) {
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    if (!line.endsWith('\n'))
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

int RunHeadless(const HeadlessOptions& options) {
    TConfig& config = Config();
    config.Load(RegistryFile::Process());
    // A station the settings do not name for certain is not served on a
    // guess: another station's readers would be read and erased.
    if (!config.StationProblem().isEmpty()) {
        ToStderr(QStringLiteral("agente: %1").arg(config.StationProblem()).toUtf8());
        return 1;
    }

    // Before anything that touches the station (the log, the line, the
    // database): a second agent on the same settings file leaves the first
    // one alone.
    StationLock station(RegistryFile::Process().Path());
    const StationLock::Result locked = station.Acquire(QStringLiteral("--headless"));
    if (locked == StationLock::Result::kHeld) {
        ToStderr(QStringLiteral("agente: Ya esta ejecutando una instancia del agente para %1: %2")
                     .arg(RegistryFile::Process().Path(), station.Holder())
                     .toUtf8());
        return 1;
    }
    // Without the lock nothing keeps a second agent off this station: the
    // start stops here, with the reason (a folder this user may not enter, a
    // file planted at the lock's name).
    if (locked == StationLock::Result::kUnavailable) {
        ToStderr(QStringLiteral("agente: No se pudo tomar el bloqueo de la estación (%1); el "
                                "agente no se inicia")
                     .arg(station.Error())
                     .toUtf8());
        return 1;
    }

    const QString folder =
        options.logDir.isEmpty() ? QCoreApplication::applicationDirPath() : options.logDir;
    QDir().mkpath(folder);
    // Without an operator to ask, a log that cannot be opened is not retried.
    auto log = std::make_unique<TLogFile>(folder, config.LogFileAppend == 0, config.LogFileActivado,
                                          QStringLiteral("Agente de Kelvor I"),
                                          QStringLiteral("AGKelvorI"));
    log->KeepRunFiles(config.LogFileMax);
    // Standard error is where a service's words go: the lines of the session
    // log, and its error and attention lines also while the log is off.
    log->SetEcho(&ToStderr);
    log->SetFailureNotice([](const QString& message) {
        ToStderr(QStringLiteral("agente: %1").arg(message).toUtf8());
    });
    // What the settings file lacks or holds unreadable is said once, at
    // attention level (on standard error too), and the agent goes on.
    if (config.FileMissing())
        log->WriteLine(kMain, config.MissingFileReport(RegistryFile::Process().Path()), 1);
    for (const QString& problem : config.Problems()) log->WriteLine(kMain, problem, 1);

    HeadlessView view;
    TDM dm(SystemClock());  // the process's data module (DM()) while it lives
    AgentServices services;
    services.view = &view;
    services.log = log.get();
    services.config = &config;
    services.dm = &dm;
    QString problem;
    ReaderStatus status(AgentPlaces().StatusFile(config.Estacion, &problem));
    if (!problem.isEmpty())
        log->WriteLine(kMain, problem, 1);
    services.status = &status;
    services.clock = SystemClock();
    services.timing = options.timing;

    // Before the thread exists: without these handlers a service stop would
    // kill the agent in the middle of a cycle.
    std::unique_ptr<TerminationSignals> termination;
    try {
        termination = std::make_unique<TerminationSignals>();
    } catch (const Exception& e) {
        log->WriteLine(kMain, e.Message(), 0);  // an error: on standard error too
        return 1;
    }
    QObject::connect(termination.get(), &TerminationSignals::Received, QCoreApplication::instance(),
                     [](int) { QCoreApplication::quit(); });

    log->WriteLine(kMain, QStringLiteral("Instanciación del thread en modo suspendido"), 2);
    auto thread = std::make_unique<TComunicationThread>(true, services);
    thread->SetCycleLimit(options.cycles);

    try {
        dm.Open();
        log->WriteLine(kMain, QStringLiteral("Base de datos: ") + dm.StatusText(), 2);
    } catch (const Exception& e) {
        log->WriteLine(kMain, QStringLiteral("No se pudo abrir la base de datos: ") + e.Message(),
                       0);
    }
    log->WriteLine(kMain, QStringLiteral("Estacion: %1").arg(config.Estacion), 2);

    QObject::connect(thread.get(), &QThread::finished, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    // The watchdog is fed on this thread, from the thread's progress and
    // cycles: a stuck step and a stuck event loop both starve it.
    ServiceNotifier notifier;
    {
        // The settings may allow a single step longer than the unit's
        // WatchdogSec (a raised TimeOut, Retrys or StatementTimeout): the
        // watchdog is raised to match rather than killing a slow but
        // progressing agent.
        int statementS = 0, lockS = 0;
        try {
            const TAlias alias = TAlias::Load(RegistryFile::Process());
            if (alias.Driver() == TSqlDriver::PostgreSQL) {
                statementS = alias.StatementTimeoutS();
                lockS = alias.LockTimeoutS();
            }
        } catch (const Exception&) {
            // No usable alias: no database step to wait for; said by Open.
        }
        const WatchdogBound bound(config, options.timing, statementS, lockS);
        notifier.Extend(std::uint64_t(bound.IntervalMs()) * 1000);
    }
    QObject::connect(thread.get(), &TComunicationThread::Alive, QCoreApplication::instance(),
                     [&notifier] { notifier.Alive(); });
    // What the last cycle found: a scripted run (--cycles) in which no
    // reader answered ends with a failure status, not as a success.
    int cyclesDone = 0, lastAnswered = 0, lastReaders = 0;
    QObject::connect(thread.get(), &TComunicationThread::CycleEnded, QCoreApplication::instance(),
                     [&notifier, &cyclesDone](int done) {
                         notifier.CycleDone(done);
                         cyclesDone = done;
                     });
    QObject::connect(thread.get(), &TComunicationThread::ReadersAnswered,
                     QCoreApplication::instance(),
                     [&lastAnswered, &lastReaders](int, int answered, int readers) {
                         lastAnswered = answered;
                         lastReaders = readers;
                     });
    thread->Resume();
    notifier.Ready();
    QCoreApplication::exec();
    notifier.Stopping();

    log->WriteLine(kMain,
                   QStringLiteral("Cierre del agente. Se aguarda la finalización del thread"), 2);
    thread.reset();  // asks the stop and waits for the cycle's end, serving its requests
    log->WriteLine(kMain, QStringLiteral("Fin de la espera de finalización"), 2);
    try {
        dm.CloseThreadConnection();
    } catch (const Exception& e) {
        log->WriteLine(kMain, e.Message(), 1);
    }
    // The settings file is the installer's: a headless agent changes no
    // setting, so its close writes none (only the thread's "ComError").
    log.reset();  // the session's end lines
    // A close by signal (the service's stop) is a normal end whatever the
    // readers did; only the run that ended by its cycle count reports them.
    if (options.cycles > 0 && cyclesDone >= options.cycles && lastAnswered == 0) {
        std::fprintf(stderr, "%s\n",
                     QStringLiteral("agente: en el último ciclo no respondió ningún registrador "
                                    "(0 de %1)")
                         .arg(lastReaders)
                         .toLocal8Bit()
                         .constData());
        return 1;
    }
    return 0;
}

#include "core/HeadlessAgent.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <memory>

#include "core/AgentPlaces.h"
#include "core/HeadlessView.h"
#include "core/ReaderStatus.h"
#include "core/TComunicationThread.h"
#include "core/TerminationSignals.h"
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

    const QString folder =
        options.logDir.isEmpty() ? QCoreApplication::applicationDirPath() : options.logDir;
    QDir().mkpath(folder);
    // Without an operator to ask, a log that cannot be opened is not retried.
    auto log = std::make_unique<TLogFile>(folder, config.LogFileAppend == 0, config.LogFileActivado,
                                          QStringLiteral("Agente de Kelvor I"),
                                          QStringLiteral("AGKelvorI"));
    log->SetEcho(&ToStderr);
    if (!log->OpenError().isEmpty()) {
        ToStderr(QStringLiteral("agente: el archivo de sesión no se pudo abrir (%1); se sigue "
                                "sin él")
                     .arg(log->OpenError())
                     .toLocal8Bit());
    }

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
        log->WriteLine(kMain, e.Message(), 0);
        ToStderr(QStringLiteral("agente: %1").arg(e.Message()).toLocal8Bit());
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
    thread->Resume();
    QCoreApplication::exec();

    log->WriteLine(kMain,
                   QStringLiteral("Cierre del agente. Se aguarda la finalización del thread"), 2);
    thread.reset();  // asks the stop and waits for the cycle's end, serving its requests
    log->WriteLine(kMain, QStringLiteral("Fin de la espera de finalización"), 2);
    try {
        dm.CloseThreadConnection();
    } catch (const Exception& e) {
        log->WriteLine(kMain, e.Message(), 1);
    }
    config.Save(RegistryFile::Process());
    log.reset();  // the session's end lines
    return 0;
}

#include "core/TComunicationThread.h"

#include <QEventLoop>
#include <chrono>
#include <exception>
#include <limits>

#include "core/CommandText.h"
#include "core/IAgentView.h"
#include "core/ReaderClock.h"
#include "core/ThreadText.h"
#include "db/TCommandTable.h"
#include "db/TDM.h"
#include "link/TRedKelvorII.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "shell/TLogFile.h"
#include "shell/TimeText.h"

using namespace ThreadText;

TComunicationThread::TComunicationThread(bool createPaused, const AgentServices& services)
    : m_services(services),
      m_gate(createPaused),
      m_ui(this, &m_gate),
      m_publisher(std::chrono::milliseconds(services.timing.stateIntervalMs)) {
    // Qt sets a thread's priority when it starts; the start happens here (or
    // at the first Resume of a thread created paused).
    m_startPriority = PriorityFromSetting(m_services.config->Prioridad);
    m_prioridad = m_services.config->Prioridad;
    if (m_services.status)
        m_status = m_services.status;
    CreateLink();
    m_lastClockWarningMs = m_services.monotonic();
    m_lastErrorNotice = QDateTime(QDate(1999, 1, 1), QTime(0, 0));
    if (!createPaused) {
        m_started = true;
        start(m_startPriority);
    }
}

TComunicationThread::~TComunicationThread() {
    if (m_started) {
        RequestStop();
        WaitForEnd();
    }
    // A destructor must not throw: a log that cannot be written only warns.
    auto log = [this](const QString& text) {
        try {
            WriteLog(text, 2);
        } catch (const std::exception& e) {
            qWarning("ComThread: %s", e.what());
        }
    };
    log(QStringLiteral("Comienza el proceso de limpieza del thread"));
    m_link.reset();
    m_fichadas.Clear();
    log(QStringLiteral("Finaliza el proceso de limpieza del thread"));
}

QThread::Priority TComunicationThread::PriorityFromSetting(qint32 prioridad) {
    return static_cast<QThread::Priority>(qBound(0, prioridad, 6));
}

void TComunicationThread::Pause() {
    m_gate.Close();
}

void TComunicationThread::Resume() {
    m_gate.Open();
    if (!m_started) {
        m_started = true;
        start(m_startPriority);
    }
}

bool TComunicationThread::Paused() const {
    return !m_started || m_gate.IsClosed();
}

void TComunicationThread::RequestStop() {
    requestInterruption();
}

void TComunicationThread::WaitForEnd() {
    if (!m_started)
        return;
    // A thread halted at its gate can never reach the end of its cycle.
    if (isInterruptionRequested())
        m_gate.Open();
    if (isFinished())
        return;
    QEventLoop loop;
    connect(this, &QThread::finished, &loop, &QEventLoop::quit);
    // finished may have been emitted between the test above and the connect.
    if (!isFinished())
        loop.exec();
    wait();
}

void TComunicationThread::run() {
    for (;;) {
        m_gate.Pass();
        if (isInterruptionRequested())
            break;
        try {
            Cycle();
        } catch (const std::exception& e) {
            Recover(MessageOf(e));
        } catch (...) {
            Recover(QStringLiteral("Excepción desconocida"));
        }
        const int done = ++m_cyclesDone;
        EndStatusCycle(done);
        emit CycleEnded(done);
        if (m_cycleLimit > 0 && done >= m_cycleLimit)
            requestInterruption();
    }
    try {
        WriteLog(QStringLiteral("Se ha finalizado la ejecución del thread"), 2);
    } catch (const std::exception& e) {
        qWarning("ComThread: %s", e.what());
    }
    if (m_dbOpen) {
        try {
            m_services.dm->CloseThreadConnection();
        } catch (const std::exception& e) {
            qWarning("ComThread: %s", e.what());
        }
    }
}

// The status file is auxiliary: whatever happens to it, the next cycle runs.
void TComunicationThread::EndStatusCycle(int cyclesDone) {
    const QDateTime now = Now();
    try {
        const QString error = m_status->EndCycle(now, cyclesDone);
        if (error.isEmpty()) {
            if (m_statusFileFailed)
                WriteLog(QStringLiteral("Se volvió a escribir el archivo de estado %1")
                             .arg(m_status->File()),
                         2);
            m_statusFileFailed = false;
        } else if (!m_statusFileFailed) {
            WriteLog(QStringLiteral("No se pudo escribir el archivo de estado %1: %2")
                         .arg(m_status->File(), error),
                     1);
            // Told once; a first cycle's line, before the log takes the
            // thread's lines, is told again in the next.
            m_statusFileFailed = m_logOn;
        }
    } catch (const std::exception& e) {
        qWarning("ComThread: %s", e.what());
    }
    PublishState(now, cyclesDone);
    emit ReadersAnswered(m_status->Estacion(), m_status->Answered(), m_status->LineReaders());
}

// Auxiliary too: a database that refuses the write costs this write only. No
// connection is opened for it (a cycle that could not open one has said so).
void TComunicationThread::PublishState(const QDateTime& when, int cyclesDone) {
    if (!m_dbOpen || !m_services.dm)
        return;
    try {
        if (!m_publisher.EndCycle(*m_services.dm, *m_status, when, cyclesDone))
            return;
        if (m_stateWriteFailed)
            WriteLog(QStringLiteral("Se volvió a escribir el estado de la estación en la base de "
                                    "datos"),
                     2);
        m_stateWriteFailed = false;
    } catch (const std::exception& e) {
        if (m_stateWriteFailed)
            return;
        m_stateWriteFailed = true;
        try {
            WriteLog(QStringLiteral("No se pudo escribir el estado de la estación en la base de "
                                    "datos: %1")
                         .arg(MessageOf(e)),
                     1);
        } catch (const std::exception& again) {
            qWarning("ComThread: %s", again.what());
        }
    }
}

void TComunicationThread::Cycle() {
    CheckVisibility();
    ReadLogSwitch();
    LoadSettings();
    m_status->BeginCycle(m_estacion);
    WriteLog(QStringLiteral("Comienzo de un nuevo ciclo del thread"), 2);
    m_currentReader.clear();
    // A link that the last recovery could not build would make every reader
    // and command fail on its own, and the cycle would never fail, so no
    // recovery would build it again: failing here lets the recovery retry.
    if (!m_link)
        throw Exception(QStringLiteral("No hay enlace con los registradores"));
    const QThread::Priority wanted = PriorityFromSetting(m_prioridad);
    if (priority() != wanted)
        setPriority(wanted);
    EnsureDatabase();
    Progressed();
    ReportInfo({}, QStringLiteral("Comienza proceso de lectura de registraciones"), Now(), {}, 4,
               4);
    CollectRegistrations();
    ReportInfo({}, QStringLiteral("Finaliza proceso de lectura de registraciones"), Now(), {}, 4,
               4);
    ReportInfo({}, QStringLiteral("Comienza procesamiento de comandos"), Now(), {}, 4, 4);
    ProcessCommands();
    ReportInfo({}, QStringLiteral("Finaliza procesamiento de comandos"), Now(), {}, 4, 4);
    Wait(m_services.timing.cyclePauseMs);
}

// Every step is guarded on its own: the recovery must always reach its pause
// and the rebuilt link, or a failing report would spin the thread.
void TComunicationThread::Recover(const QString& message) {
    auto guarded = [](const char* step, const std::function<void()>& fn) {
        try {
            fn();
        } catch (const std::exception& e) {
            qWarning("ComThread: %s: %s", step, e.what());
        } catch (...) {
            qWarning("ComThread: %s: excepción desconocida", step);
        }
    };
    guarded("log", [&] {
        WriteLog(QStringLiteral("Se ha producido la siguiente excepción: ") + message, 1);
    });
    m_link.reset();
    guarded("row", [&] {
        ReportProgress({},
                       QStringLiteral("Se detectó una anomalía, el sistema se recuperará luego de "
                                      "una pausa de 10 segundos"),
                       Now(), kInProgress);
    });
    Wait(m_services.timing.recoveryPauseMs);
    guarded("row", [&] { ReportStateOk(QStringLiteral("OK"), 1); });
    guarded("link", [&] { m_ui.Run([this] { CreateLink(); }); });
    // A database server that restarted (or a replaced file) leaves the
    // connection broken; reopening it here lets the next cycle work.
    if (m_dbOpen) {
        guarded("database", [&] {
            try {
                m_services.dm->ReconnectIfBroken();
            } catch (const Exception& e) {
                WriteLog(e.Message(), 1);
            }
        });
    }
}

// Said once per run, so written whatever the thread's log switch (which is
// off during the first cycle, when the connection is made and the notice
// about the agent's table arises): a notice taken and not written is lost.
void TComunicationThread::ReportDatabaseNotices() {
    for (const QString& text : m_services.dm->TakeNotices()) {
        if (m_services.log)
            m_ui.Run([&] { m_services.log->WriteLine(kSource, text, 1, m_subject); });
        PostRow({}, text, Now(), QStringLiteral("ATENCION"), 4, 2);
    }
}

void TComunicationThread::EnsureDatabase() {
    if (!m_dbOpen) {
        m_services.dm->Open();
        m_dbOpen = true;
        ReportDatabaseNotices();
        return;
    }
    // A SQLite file that was replaced is found here, before anything is read
    // or stored, instead of costing a failed cycle and the recovery pause. A
    // PostgreSQL server is not pinged (a transaction on the server every
    // cycle): one that restarted between two cycles fails the cycle's first
    // statement, the reader list, which then reconnects and reads again
    // (CollectRegistrations).
    if (m_services.dm->ReconnectIfBroken(false)) {
        WriteLog(QStringLiteral("Se restableció la conexión con la base de datos"), 1);
    }
    ReportDatabaseNotices();
}

void TComunicationThread::CheckVisibility() {
    const bool was = m_visible;
    m_visible = !m_ui.Call<bool>([this] { return m_services.view->AgentHidden(); });
    if (was == m_visible)
        return;
    if (m_visible) {
        ReportInfo({}, QStringLiteral("Visualización del agente. Se restauran los mensajes"), Now(),
                   {}, 1, 4);
        return;
    }
    const QString text = QStringLiteral("Ocultamiento del agente. Se suspenden los mensajes");
    WriteLog(text, 2);
    const QDateTime when = Now();
    // The last row before the list falls silent, although Visible is false now.
    m_ui.Run([&] { m_services.view->AddLogRow({}, text, when, {}, 2, 4); });
}

void TComunicationThread::ReadLogSwitch() {
    m_ui.Run([this] { m_logOn = m_logFileActivado == 1; });
}

void TComunicationThread::LoadSettings() {
    m_ui.Run([this] {
        const TConfig& c = *m_services.config;
        m_prioridad = c.Prioridad;
        m_estacion = c.Estacion;
        m_comandos = c.Comandos;
        m_logFileActivado = c.LogFileActivado;
        m_espera = c.Espera;
        m_actHora = c.ActHora;
    });
}

void TComunicationThread::CreateLink() {
    if (m_services.beforeLinkBuilt)
        m_services.beforeLinkBuilt();
    const TConfig& c = *m_services.config;
    auto link = std::make_unique<TRedKelvorII>(c.Kelvor1Compat, m_services.clock);
    const qint64 timeoutMs =
        qBound<qint64>(0, qint64(c.TimeOut) * m_services.timing.serialTimeoutUnitMs,
                       qint64(std::numeric_limits<qint32>::max()));
    TParams& p = link->Params();
    p.SetPort(QStringLiteral("Com2"));
    p.SetBaudRate(9600);
    p.SetParity(0);
    p.SetByteSize(8);
    p.SetStopBits(0);
    p.SetReadTimeout(static_cast<qint32>(timeoutMs));
    p.SetWriteTimeout(static_cast<qint32>(timeoutMs));
    link->SetMaxRetries(static_cast<quint16>(qBound(0, c.Retrys, 65535)));
    // Called on this thread during a read of many records.
    link->SetProgress([this] { Progressed(); });
    link->SetEchoMode(LineEcho::ModeOf(c.Eco));
    m_link = std::move(link);
    m_currentReader.clear();
}

TRedKelvorII& TComunicationThread::Link() {
    if (!m_link)
        throw Exception(QStringLiteral("No hay enlace con los registradores"));
    return *m_link;
}

void TComunicationThread::Wait(qint64 ms) {
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

// ---- Reporting -------------------------------------------------------------

void TComunicationThread::WriteLog(const QString& text, int level) {
    if (!m_services.log)
        return;
    if (m_logOn) {
        m_ui.Run([&] { m_services.log->WriteLine(kSource, text, level, m_subject); });
    } else if (level <= 1) {
        // Not for the file, but an error must still reach a service's
        // standard error.
        m_ui.Run([&] { m_services.log->EchoLine(kSource, text, level, m_subject); });
    }
}

void TComunicationThread::PostRow(const QString& registrador, const QString& mensaje,
                                  const QDateTime& when, const QString& estado, quint8 image,
                                  quint8 state) {
    if (!m_visible)
        return;
    m_ui.Run([&] { m_services.view->AddLogRow(registrador, mensaje, when, estado, image, state); });
}

void TComunicationThread::ReportInfo(const QString& registrador, const QString& mensaje,
                                     const QDateTime& when, const QString& estado, quint8 image,
                                     quint8 state) {
    WriteLog(mensaje, 2);
    PostRow(registrador, mensaje, when, estado, image, state);
}

void TComunicationThread::ReportError(const QString& registrador, const QString& mensaje,
                                      const QDateTime& when, const QString& estado, quint8 state) {
    WriteLog(mensaje, 0);
    PostRow(registrador, mensaje, when, estado, 4, state);
}

void TComunicationThread::Progressed() {
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    if (m_lastAliveMs >= 0 && now - m_lastAliveMs < kAliveIntervalMs)
        return;
    m_lastAliveMs = now;
    emit Alive();
}

// Every reported step is progress: the connection to each reader, its clock,
// the start of its read and of its store, each command, the recovery.
void TComunicationThread::ReportProgress(const QString& registrador, const QString& mensaje,
                                         const QDateTime& when, const QString& estado) {
    Progressed();
    WriteLog(mensaje + QStringLiteral(" ... "), 2);
    PostRow(registrador, mensaje, when, estado, 3, 0);
}

void TComunicationThread::SetRowState(const QString& estado, quint8 state) {
    if (!m_visible)
        return;
    m_ui.Run([&] { m_services.view->UpdateLogRow(estado, state); });
}

// A step's end (a store, a command's delete, a clock read) is progress too.
void TComunicationThread::ReportStateOk(const QString& estado, quint8 state) {
    Progressed();
    WriteLog(estado, 2);
    SetRowState(estado, state);
}

void TComunicationThread::ReportStateError(const QString& estado, quint8 state) {
    Progressed();
    WriteLog(estado, 0);
    SetRowState(estado, state);
}

void TComunicationThread::SetComError(bool failed) {
    if (failed) {
        ReportStateError(QStringLiteral("Error de comunicaciones"), 3);
    } else {
        ReportStateOk(QStringLiteral("OK"), 1);
    }
    // Other programs' flag: a store that cannot be written is told once (until
    // a write succeeds again) and never stops the cycle.
    const bool written = WriteComError(failed);
    if (written || m_comErrorUnwritten) {
        m_comErrorUnwritten = !written;
        return;
    }
    m_comErrorUnwritten = true;
    const QString text =
        QStringLiteral("No se pudo escribir \"ComError\" en el archivo de configuración %1")
            .arg(RegistryFile::Process().Path());
    WriteLog(text, 1);
    PostRow({}, text, Now(), QStringLiteral("Error"), 4, 2);
}

void TComunicationThread::ConnectRegister(const TTR& reader) {
    Wait(qint64(qMax(m_espera, 0)) * m_services.timing.esperaUnitMs);
    TRedKelvorII& link = Link();
    link.Disconnect();
    ReportProgress(reader.Id, QStringLiteral("Conectándose con el registrador => ") + reader.Id,
                   Now(), kInProgress);
    link.Params().SetPort(reader.Puerto);
    link.Params().SetBaudRate(reader.Velocidad);
    if (!link.Connect()) {
        WriteLog(link.ConnectError(), 0);  // why the line could not be opened
        throw EConnectError(QStringLiteral("Error al conectarse !"));
    }
    if (reader.Id.isEmpty()) {
        throw Exception(
            QStringLiteral("El registrador no tiene Id: no hay letra de dirección que usar"));
    }
    link.SetAddress(reader.Id.at(0));
    SetComError(false);
}

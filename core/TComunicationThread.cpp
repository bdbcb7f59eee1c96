#include "core/TComunicationThread.h"

#include <QEventLoop>
#include <exception>
#include <limits>

#include "core/CommandText.h"
#include "core/IAgentView.h"
#include "core/ReaderClock.h"
#include "db/TCommandTable.h"
#include "db/TDM.h"
#include "link/TRedKelvorII.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "shell/TLogFile.h"
#include "shell/TimeText.h"

namespace {

const QString kSource = QStringLiteral("ComThread");
const QString kInProgress = QStringLiteral("En proceso ...");

QString MessageOf(const std::exception& e) {
    if (auto* known = dynamic_cast<const Exception*>(&e))
        return known->Message();
    return QString::fromLocal8Bit(e.what());
}

}  // namespace

TComunicationThread::TComunicationThread(bool createPaused, const AgentServices& services)
    : m_services(services), m_gate(createPaused), m_ui(this, &m_gate) {
    // Qt sets a thread's priority when it starts; the start happens here (or
    // at the first Resume of a thread created paused).
    m_startPriority = PriorityFromSetting(m_services.config->Prioridad);
    m_prioridad = m_services.config->Prioridad;
    CreateLink();
    m_lastClockWarning = Now();
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

void TComunicationThread::Cycle() {
    CheckVisibility();
    ReadLogSwitch();
    LoadSettings();
    WriteLog(QStringLiteral("Comienzo de un nuevo ciclo del thread"), 2);
    m_currentReader.clear();
    const QThread::Priority wanted = PriorityFromSetting(m_prioridad);
    if (priority() != wanted)
        setPriority(wanted);
    EnsureDatabase();
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

void TComunicationThread::EnsureDatabase() {
    if (!m_dbOpen) {
        m_services.dm->Open();
        m_dbOpen = true;
        return;
    }
    // A server that restarted between two cycles (or a SQLite file that was
    // replaced) is found here, before anything is read or stored, instead of
    // costing a failed cycle and the recovery pause.
    if (m_services.dm->ReconnectIfBroken()) {
        WriteLog(QStringLiteral("Se restableció la conexión con la base de datos"), 1);
    }
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
    if (!m_logOn || !m_services.log)
        return;
    m_ui.Run([&] { m_services.log->WriteLine(kSource, text, level); });
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

void TComunicationThread::ReportProgress(const QString& registrador, const QString& mensaje,
                                         const QDateTime& when, const QString& estado) {
    WriteLog(mensaje + QStringLiteral(" ... "), 2);
    PostRow(registrador, mensaje, when, estado, 3, 0);
}

void TComunicationThread::SetRowState(const QString& estado, quint8 state) {
    if (!m_visible)
        return;
    m_ui.Run([&] { m_services.view->UpdateLogRow(estado, state); });
}

void TComunicationThread::ReportStateOk(const QString& estado, quint8 state) {
    WriteLog(estado, 2);
    SetRowState(estado, state);
}

void TComunicationThread::ReportStateError(const QString& estado, quint8 state) {
    WriteLog(estado, 0);
    SetRowState(estado, state);
}

void TComunicationThread::SetComError(bool failed) {
    if (failed) {
        ReportStateError(QStringLiteral("Error de comunicaciones"), 3);
    } else {
        ReportStateOk(QStringLiteral("OK"), 1);
    }
    WriteComError(failed);
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

// ---- Registration collection -------------------------------------------------

void TComunicationThread::CollectRegistrations() {
    const QList<TDM::ReaderRow> rows = m_services.dm->QueryReaders(m_estacion);
    WriteLog(QStringLiteral("Se van a consultar %1 registradores").arg(rows.size()), 2);
    TTR reader;  // one descriptor for the whole pass; Id is kept between rows
    for (const TDM::ReaderRow& row : rows) {
        reader.Velocidad = 9600;
        reader.Puerto = QStringLiteral("COM1");
        reader.Virtual = false;
        reader.Hta = false;
        reader.CtrlActivo = false;
        if (row.Velocidad)
            reader.Velocidad = *row.Velocidad;
        if (row.Puerto)
            reader.Puerto = *row.Puerto;
        if (row.Id)
            reader.Id = *row.Id;
        if (row.CtrlActivo)
            reader.CtrlActivo = *row.CtrlActivo;
        if (row.Virtual)
            reader.Virtual = *row.Virtual;
        if (row.Hta)
            reader.Hta = *row.Hta;
        WriteLog(QStringLiteral("Se van a leer registraciones en Regist.: %1 Puerto: %2 "
                                "Velocidad: %3")
                     .arg(reader.Id, reader.Puerto)
                     .arg(reader.Velocidad),
                 2);
        ReadRegister(reader);
        WriteLog(QStringLiteral("Se completo el proceso de lectura de registraciones en el "
                                "Regist.: %1")
                     .arg(reader.Id),
                 2);
    }
}

void TComunicationThread::ReadRegister(TTR& reader) {
    bool notice = false;
    try {
        if (reader.Virtual) {
            ReportProgress(
                reader.Id,
                QStringLiteral("Insertando registracion/es virtuales en la base de datos"), Now(),
                kInProgress);
            m_services.dm->StoreVirtualRegistrations(reader);
            ReportStateOk(QStringLiteral("OK"), 1);
        } else {
            ReadRealRegister(reader);
        }
    } catch (const EConnectError&) {
        SetComError(true);
        notice = true;
    } catch (const ETimeout&) {
        SetComError(true);
        ReportInfo(reader.Id, QStringLiteral("Error: TimeOut"), Now(), {}, 4, 4);
        notice = true;
    } catch (const EIdError&) {
        ReportStateError(QStringLiteral("Error"), 2);
        WriteLog(QStringLiteral(
                     "El error se debe a no poder generar un nuevo Id para la tabla registra.db"),
                 0);
    } catch (const std::exception& e) {
        ReportStateError(QStringLiteral("Error"), 2);
        // "Error" alone tells the operator nothing; the cause goes to the log.
        WriteLog(MessageOf(e), 0);
    }
    // Outside the guard: a failure to store the notice ends the cycle.
    if (notice)
        ErrorNotice(reader);
}

void TComunicationThread::ReadRealRegister(const TTR& reader) {
    ConnectRegister(reader);
    TRedKelvorII& link = Link();
    link.Initialize();

    const QDateTime now = Now();
    const int year = now.date().year();
    const QDateTime readerClock = ReaderClock::At(year, link.Data());
    // Read through the user-interface thread, the owner of the settings, so a
    // value changed in the options dialog applies from the next check.
    const qint32 difHora = m_ui.Call<qint32>([this] { return m_services.config->DifHora; });
    ReportProgress(reader.Id, QStringLiteral("Fecha/Hora Reloj: ") + DateTimeText(readerClock), now,
                   kInProgress);
    ReportStateOk(QStringLiteral("OK"), 1);

    if (!ReaderClock::WithinTolerance(readerClock, now, difHora)) {
        if (m_actHora) {
            m_services.dm->QueueClockSync(reader);
        } else if (m_lastClockWarning.msecsTo(now) > qint64(qMax(difHora, 0)) * 60 * 1000) {
            ReportProgress(reader.Id, ReaderClock::OutOfHoursMessage(year, link.Data()), Now(),
                           QStringLiteral("ATENCION"));
            ReportStateError(QStringLiteral("ATENCION"), 2);
            m_services.dm->StoreOutOfHours(reader);
            m_lastClockWarning = now;
        }
    }

    // A note left over from an erase that succeeded must not make new
    // records that look the same be taken for stored ones.
    if (m_staleNotes.contains(reader.Id)) {
        m_services.dm->ClearPending(reader.Id);
        m_staleNotes.remove(reader.Id);
    }
    const qint32 cantidad = link.Data().Cantidad;
    if (cantidad <= 0) {
        ReportInfo(reader.Id, QStringLiteral("No hay registraciones en el registrador"), Now(), {},
                   4, 4);
        // An empty reader was erased: a note still kept for it (its erase
        // was done but not acknowledged) describes nothing the reader holds.
        if (!m_services.dm->PendingRecords(reader.Id).isEmpty())
            m_services.dm->ClearPending(reader.Id);
        return;
    }
    ReportProgress(reader.Id,
                   QStringLiteral("Leyendo %1 registraciones del registrador").arg(cantidad), Now(),
                   kInProgress);
    link.ReadRegistrations(m_fichadas);
    const qint32 rechazadas = link.Data().Rechazadas;
    if (rechazadas > 0) {
        ReportStateError(QStringLiteral("Hay %1 errores").arg(rechazadas), 2);
        ErrorNotice(reader);
    } else {
        ReportStateOk(QStringLiteral("OK"), 1);
    }
    ReportProgress(
        {},
        QStringLiteral("Insertando %1 registracion/es en la base de datos").arg(m_fichadas.Count()),
        Now(), kInProgress);
    // Stored together with a note of the records, so that if the erase below
    // never happens (or is not acknowledged) the next pass stores only what
    // came after them.
    const qsizetype skipped =
        m_services.dm->StoreRegistrations(reader, m_fichadas, link.LastRecords());
    ReportStateOk(QStringLiteral("OK"), 1);
    if (skipped > 0) {
        ReportInfo(reader.Id,
                   QStringLiteral("Se omiten %1 registraciones ya almacenadas").arg(skipped), Now(),
                   {}, 4, 4);
    }
    // The erase clears the whole memory: a registration made while the
    // others were being read would go unread. It is left for the next cycle,
    // whose pass skips what the note says is stored already.
    if (link.RequestCount() > cantidad) {
        ReportInfo(reader.Id,
                   QStringLiteral("Hay registraciones nuevas en el registrador; se borrará en el "
                                  "próximo ciclo"),
                   Now(), {}, 4, 4);
        return;
    }
    // The reader is erased only now that storing has returned: a failure
    // above leaves every registration in the reader for the next cycle.
    WriteLog(QStringLiteral("Se borrarán las registraciones del registrador"), 2);
    link.ClearMemory();
    WriteLog(QStringLiteral("Se borraron las registraciones con éxito"), 2);
    RemovePendingNote(reader);
}

// The erase is done: nothing of this pass is left to be read again. A note
// that cannot be removed now is only dangerous if new records happen to look
// like the old ones, so its removal is retried first thing in the reader's
// next pass; the pass itself succeeded.
void TComunicationThread::RemovePendingNote(const TTR& reader) {
    try {
        m_services.dm->ClearPending(reader.Id);
        m_staleNotes.remove(reader.Id);
    } catch (const std::exception& e) {
        m_staleNotes.insert(reader.Id);
        WriteLog(QStringLiteral("No se pudo quitar la nota de registraciones almacenadas: ") +
                     MessageOf(e),
                 0);
    }
}

void TComunicationThread::ErrorNotice(const TTR& reader) {
    const QDateTime now = Now();
    if (TimeText(now) == TimeText(m_lastErrorNotice))
        return;
    m_services.dm->StoreMemoryError(reader);
    m_lastErrorNotice = now;
}

// ---- Command processing --------------------------------------------------------

void TComunicationThread::ProcessCommands() {
    // The table closes when the cursor is destroyed, also on the way out of
    // an exception.
    std::unique_ptr<TCommandTable> table = m_services.dm->OpenCommands();
    const int total = table->RecordCount();
    int taken = 0;
    WriteLog(QStringLiteral("Hay %1 comandos para procesar (max. procesables: %2)")
                 .arg(total)
                 .arg(m_comandos),
             2);
    while (!table->Eof()) {
        if (taken >= total) {
            WriteLog(QStringLiteral("Fin del loop. Se procesaron todos los comandos disponibles. "
                                    "Hubo comandos procesados con error"),
                     1);
            break;
        }
        if (taken >= m_comandos) {
            WriteLog(QStringLiteral(
                         "Fin del loop. Se llegó al máximo de comandos procesables por ciclo."),
                     2);
            break;
        }
        qint32 estacion = 0;
        try {
            estacion = table->IdEstacion();
        } catch (const EConvertError& e) {
            // A row whose station cannot be read belongs to no station. It is
            // reported and passed over; letting it end the cycle would stall
            // every later cycle on the same row.
            WriteLog(e.Message(), 1);
            table->Next();
            continue;
        }
        if (estacion != m_estacion && estacion != 100) {
            if (estacion > m_estacion) {
                WriteLog(
                    QStringLiteral("Fin del loop. Se terminaron los comandos para esta estación."),
                    2);
                break;
            }
            table->Next();  // a lower-numbered station: not ours, not counted
            continue;
        }
        ++taken;
        const QString idRegistrador = table->IdRegistrador();
        const QString codComando = table->CodComando();
        const QString texto = table->Texto();
        WriteLog(QStringLiteral("Procesando comando %1. Regist.: %2 Cod.: %3 Texto: %4")
                     .arg(taken)
                     .arg(idRegistrador, codComando, texto),
                 2);
        if (DispatchCommand(idRegistrador, codComando, texto)) {
            WriteLog(QStringLiteral("El comando se envió con éxito"), 2);
            ReportProgress({}, QStringLiteral("Borrando comando de la base de datos"), Now(),
                           kInProgress);
            try {
                table->Delete();
                ReportStateOk(QStringLiteral("OK"), 1);
            } catch (const EDatabaseError& e) {
                ReportStateError(QStringLiteral("Error"), 2);
                WriteLog(e.Message(), 0);
            }
        } else {
            WriteLog(QStringLiteral("El comando no se pudo enviar"), 0);
            ReportProgress({}, QStringLiteral("Actualizando comando en la base de datos"), Now(),
                           kInProgress);
            try {
                table->Restamp(Now());
                table->First();
                ReportStateOk(QStringLiteral("OK"), 1);
            } catch (const EDatabaseError& e) {
                ReportStateError(QStringLiteral("Error"), 2);
                WriteLog(e.Message(), 0);
            }
        }
    }
}

bool TComunicationThread::DispatchCommand(const QString& idRegistrador, const QString& codComando,
                                          const QString& texto) {
    const bool readerChanged = m_currentReader != idRegistrador;
    m_currentReader = idRegistrador;
    TTR reader;
    reader.Id = idRegistrador;

    const TDM::ReaderKind kind = m_services.dm->QueryReaderKind(idRegistrador);
    const bool hta = kind.Hta.value_or(false);
    if (kind.Virtual.value_or(false))
        return true;  // exists only in the database

    try {
        if (readerChanged) {
            m_services.dm->LoadReader(reader);
            ConnectRegister(reader);
        }
        bool known = false;
        SendCommand(reader, hta, codComando, texto, known);
        if (known)
            return true;
        ReportError(idRegistrador,
                    QStringLiteral("Comando <") + codComando + QStringLiteral("> no registrado !"),
                    Now(), QStringLiteral("Error"), 2);
    } catch (const EConnectError&) {
        SetComError(true);
    } catch (const ETimeout&) {
        SetComError(true);
    } catch (const std::exception& e) {
        ReportStateError(QStringLiteral("Error"), 2);
        WriteLog(MessageOf(e), 0);
    }
    // The next command reconnects, also to the same reader.
    m_currentReader.clear();
    return false;
}

void TComunicationThread::SendCommand(const TTR& reader, bool hta, const QString& codComando,
                                      const QString& texto, bool& known) {
    struct Entry {
        const char* code;
        QString progress;
        std::function<void()> ordinary;
        std::function<void()> forHta;  // empty: nothing is sent to an Hta reader
    };
    TRedKelvorII& link = Link();
    const Entry table[] = {
        {"ALTA", QStringLiteral("Enviando alta(") + texto.left(5) + QStringLiteral(")"),
         [&] {
             const CommandText::Alta a = CommandText::ParseAlta(texto, false);
             link.AddKeyEx(a.key, a.c1, a.c2);
         },
         [&] {
             const CommandText::Alta a = CommandText::ParseAlta(texto, true);
             link.AddKeyEx(a.key, u'-', u'-');
         }},
        {"BAJA", QStringLiteral("Enviando baja(") + texto + QStringLiteral(")"),
         [&] { link.RemoveKey(CommandText::KeyNumber(texto)); },
         [&] { link.RemoveKey(CommandText::KeyNumber(texto)); }},
        {"HABILIT", QStringLiteral("Enviando habilitación total"), [&] { link.EnableAll(); },
         [&] { link.EnableAll(); }},
        {"INHABIL", QStringLiteral("Enviando inhabilitación total"), [&] { link.DisableAll(); },
         [&] { link.DisableAll(); }},
        {"PACCESO",
         QStringLiteral("Enviando habilitación según perfil"),
         [&] { link.EnableByProfile(); },
         {}},
        {"PERFIL", QStringLiteral("Enviando perfil horario"), [&] { link.SendProfile(texto); }, {}},
        {"SINCRO", QStringLiteral("Sincronizando registrador"), [&] { link.SetClock(); },
         [&] { link.SetClockHta(); }},
        {"RESET", QStringLiteral("Reseteando registrador"), [&] { link.ResetRegister(); }, {}},
        {"HABALARM", QStringLiteral("Habilitando alarmas"), [&] { link.EnableAlarms(); }, {}},
        {"INHALARM", QStringLiteral("Inhabilitando alarmas"), [&] { link.DisableAlarms(); }, {}},
        {"ENCALARM", QStringLiteral("Encendiendo alarma"), [&] { link.AlarmOn(); }, {}},
        {"APAALARM", QStringLiteral("Apagando alarma"), [&] { link.AlarmOff(); }, {}},
    };
    for (const Entry& e : table) {
        if (codComando != QLatin1String(e.code))
            continue;
        known = true;
        ReportProgress(reader.Id, e.progress, Now(), kInProgress);
        if (!hta) {
            e.ordinary();
        } else if (e.forHta) {
            e.forHta();
        }
        ReportStateOk(QStringLiteral("OK"), 1);
        return;
    }
}

// The communication thread: registration collection (every reader of the station,
// its clock, its registrations stored, its erase).
#include "core/TComunicationThread.h"

#include <QEventLoop>
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
#include "shell/TextLimits.h"
#include "shell/TimeText.h"

using namespace ThreadText;

void TComunicationThread::CollectRegistrations() {
    QList<TDM::ReaderRow> rows;
    try {
        rows = m_services.dm->QueryReaders(m_estacion);
    } catch (const EDatabaseError&) {
        // The reader list is the cycle's first statement and stands in for
        // a ping of its own: a server that went away since the last cycle
        // fails it, the connection is made again and the list read anew.
        // Any other failure (or none to mend) goes to the cycle's handler.
        if (!m_services.dm->ReconnectIfBroken())
            throw;
        WriteLog(QStringLiteral("Se restableció la conexión con la base de datos"), 1);
        ReportDatabaseNotices();
        rows = m_services.dm->QueryReaders(m_estacion);
    }
    WriteLog(QStringLiteral("Se van a consultar %1 registradores").arg(rows.size()), 2);
    TTR reader;  // one descriptor for the whole pass; Id is kept between rows
    for (const TDM::ReaderRow& row : rows) {
        // An empty field takes its default, except the Id: a row without one
        // keeps the previous row's.
        reader.Velocidad = row.Velocidad.value_or(9600);
        reader.Puerto = row.Puerto.value_or(QStringLiteral("COM1"));
        reader.CtrlActivo = row.CtrlActivo.value_or(false);
        reader.Virtual = row.Virtual.value_or(false);
        reader.Hta = row.Hta.value_or(false);
        if (row.Id)
            reader.Id = *row.Id;
        const ScopedText subject(m_subject, QStringLiteral("registrador ") +
                                                TextLimits::Capped(reader.Id, TextLimits::kField));
        // Names far longer than any reader id or line name are not a reader
        // another program meant: nothing is opened or logged on their word.
        const QString oversize =
            reader.Id.size() > TextLimits::kField
                ? QStringLiteral("su Id tiene %1 caracteres (el máximo es %2)")
                      .arg(reader.Id.size())
                      .arg(TextLimits::kField)
            : reader.Puerto.size() > TextLimits::kCommandText
                ? QStringLiteral("su puerto tiene %1 caracteres (el máximo es %2)")
                      .arg(reader.Puerto.size())
                      .arg(TextLimits::kCommandText)
                : QString();
        if (!oversize.isEmpty()) {
            const QString id = TextLimits::Capped(reader.Id, TextLimits::kField);
            ReportError(id,
                        QStringLiteral("El registrador %1 de la estación %2 no se lee: %3")
                            .arg(id)
                            .arg(m_estacion)
                            .arg(oversize),
                        Now(), QStringLiteral("Error"), 2);
            continue;
        }
        WriteLog(QStringLiteral("Se van a leer registraciones en Regist.: %1 Puerto: %2 "
                                "Velocidad: %3")
                     .arg(reader.Id, reader.Puerto)
                     .arg(reader.Velocidad),
                 2);
        m_status->Collected(reader.Id, reader.Virtual);
        Progressed();
        ReadRegister(reader);
        WriteLog(QStringLiteral("Se completo el proceso de lectura de registraciones en el "
                                "Regist.: %1")
                     .arg(reader.Id),
                 2);
    }
}

void TComunicationThread::ReadRegister(TTR& reader) {
    bool notice = false;
    QString result = QStringLiteral("OK");
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
    } catch (const EConnectError& e) {
        result = e.Message();
        SetComError(true);
        notice = true;
    } catch (const ETimeout&) {
        result = QStringLiteral("TimeOut");
        SetComError(true);
        ReportInfo(reader.Id, QStringLiteral("Error: TimeOut"), Now(), {}, 4, 4);
        notice = true;
    } catch (const EIdError& e) {
        result = e.Message();
        ReportStateError(QStringLiteral("Error"), 2);
        WriteLog(QStringLiteral(
                     "El error se debe a no poder generar un nuevo Id para la tabla registra.db"),
                 0);
    } catch (const std::exception& e) {
        result = MessageOf(e);
        ReportStateError(QStringLiteral("Error"), 2);
        // "Error" alone tells the operator nothing; the cause goes to the log.
        WriteLog(MessageOf(e), 0);
    }
    m_status->Result(reader.Id, Now(), result);
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
    m_status->Contact(reader.Id, now, ReaderClock::DifferenceMinutes(readerClock, now));
    ReportProgress(reader.Id, QStringLiteral("Fecha/Hora Reloj: ") + DateTimeText(readerClock), now,
                   kInProgress);
    ReportStateOk(QStringLiteral("OK"), 1);

    if (!ReaderClock::WithinTolerance(readerClock, now, difHora)) {
        if (m_actHora) {
            m_services.dm->QueueClockSync(reader);
        } else if (m_services.monotonic() - m_lastClockWarningMs >
                   qint64(qMax(difHora, 0)) * 60 * 1000) {
            ReportProgress(reader.Id, ReaderClock::OutOfHoursMessage(year, link.Data()), Now(),
                           QStringLiteral("ATENCION"));
            ReportStateError(QStringLiteral("ATENCION"), 2);
            m_services.dm->StoreOutOfHours(reader);
            m_lastClockWarningMs = m_services.monotonic();
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
    const qsizetype skipped = m_services.dm->StoreRegistrations(
        reader, m_fichadas, link.LastRecords(), [this] { Progressed(); });
    m_status->Stored(reader.Id, m_fichadas.Count() - skipped);
    ReportStateOk(QStringLiteral("OK"), 1);
    ReportDatabaseNotices();
    if (skipped > 0) {
        ReportInfo(
            reader.Id,
            (skipped == 1
                 ? QStringLiteral("Se omite 1 registración ya almacenada")
                 : QStringLiteral("Se omiten %1 registraciones ya almacenadas").arg(skipped)),
            Now(), {}, 4, 4);
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

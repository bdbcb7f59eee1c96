// The communication thread: command processing (the queued COMANDO rows of the
// station, delivered to their readers).
#include "core/TComunicationThread.h"

#include <QEventLoop>
#include <QSet>
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

void TComunicationThread::ProcessCommands() {
    // Rows whose delivery failed in this pass. The rewind after a failure
    // would meet them again, and the count of all stations' rows would let
    // a dead reader's command be retried up to the limit, each time costing
    // the link's retries while no reader is collected: one try per pass.
    QSet<QString> failed;
    int taken = 0;
    // What a read of the table must bring for the loop below to run as over
    // the whole table: the rows it may still take, those it passes over as
    // tried already, and one more, the row that ends the pass (another
    // station's, or any row at the limit). Lower stations' rows are left
    // out; they would be passed over uncounted.
    const qint64 limit = qMax(m_comandos, 0);
    auto rowsNeeded = [&] { return qMax<qint64>(limit - taken, 0) + failed.size() + 1; };
    // The count matters only up to the limit: above it the loop stops at the
    // limit before the taken count could reach the total.
    // The table closes when the cursor is destroyed, also on the way out of
    // an exception.
    std::unique_ptr<TCommandTable> table =
        m_services.dm->OpenCommands(m_estacion, rowsNeeded(), limit + 1);
    const int total = table->RecordCount();
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
        if (failed.contains(table->RowId())) {
            table->Next();  // tried in this pass already: waits for the next one
            continue;
        }
        ++taken;
        const QString idRegistrador = table->IdRegistrador();
        const QString codComando = table->CodComando();
        const QString texto = table->Texto();
        const ScopedText subject(m_subject, QStringLiteral("registrador %1, comando %2 %3")
                                                .arg(idRegistrador, table->RowId(), codComando));
        // A text over its bound was read cut: acting on the cut text would
        // send another command than the one queued. The row is refused like
        // an undelivered command (kept, re-stamped, tried once per pass), so
        // the commands behind it still go out, as they do behind any command
        // that fails; nobody but the front end can mend it.
        const QString oversize = table->Oversize();
        bool delivered = false;
        if (!oversize.isEmpty()) {
            ReportError(idRegistrador,
                        QStringLiteral("El comando %1 de la estación %2 (registrador %3, código "
                                       "%4) no se envía: %5; queda en la tabla")
                            .arg(table->RowId())
                            .arg(estacion)
                            .arg(idRegistrador, codComando, oversize),
                        Now(), QStringLiteral("Error"), 2);
        } else {
            WriteLog(QStringLiteral("Procesando comando %1. Regist.: %2 Cod.: %3 Texto: %4")
                         .arg(taken)
                         .arg(idRegistrador, codComando, texto),
                     2);
            delivered = DispatchCommand(idRegistrador, codComando, texto);
        }
        Progressed();
        m_status->Command(idRegistrador, Now(), delivered);
        if (delivered) {
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
            failed.insert(table->RowId());
            ReportProgress({}, QStringLiteral("Actualizando comando en la base de datos"), Now(),
                           kInProgress);
            try {
                table->Restamp(Now());
                table->First(rowsNeeded());
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
        // Nothing went wrong on the line: the connection stays for the next
        // command, which need not wait and connect again.
        ReportError(idRegistrador,
                    QStringLiteral("Comando <") + codComando + QStringLiteral("> no registrado !"),
                    Now(), QStringLiteral("Error"), 2);
        return false;
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

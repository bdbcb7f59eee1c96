// The readers of the station in the installer's check: each one's speed and
// port looked at before its line is opened, so that a value the line cannot
// work with is named as that value, with the command that mends it.

#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <limits>

#include "core/ReaderClock.h"
#include "core/StationCheck.h"
#include "db/Statements.h"
#include "db/TSqlStatement.h"
#include "link/TRedKelvorII.h"
#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "shell/TimeText.h"

namespace {

// "N registración" / "N registraciones".
QString Registrations(int n) {
    return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? QStringLiteral("registración")
                                                     : QStringLiteral("registraciones"));
}

}  // namespace

QString StationCheck::EchoMismatch(TRedKelvorII& link, EchoMode configured) {
    if (configured == EchoMode::Auto)
        return {};
    try {
        link.SetEchoMode(EchoMode::Auto);
        link.Initialize();
    } catch (const std::exception&) {
        return {};
    }
    if (configured == EchoMode::Off && link.Echo().LineEchoes())
        return QStringLiteral("la línea devuelve el eco de lo enviado y Eco=0 no lo aparta; "
                              "responde con Eco=2");
    if (configured == EchoMode::On && !link.Echo().LineEchoes())
        return QStringLiteral("la línea no devuelve el eco de lo enviado y Eco=1 lo espera; "
                              "responde con Eco=2");
    return {};
}

void StationCheck::CheckReaders(QList<CheckItem>& out) {
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    struct Row {
        QString id;
        std::optional<QString> puerto;
        qint32 velocidad = 9600;
        bool virt = false;
    };
    QList<Row> rows;
    try {
        TSqlStatement q(db, QString::fromLatin1(Sql::kQryRegistradores),
                        QStringLiteral("Reg, Estacion"));
        q.Bind(QStringLiteral("Estacion"), m_config.Estacion);
        q.Exec();
        while (q.Next()) {
            // The same defaults for missing values as the collection uses.
            Row r;
            r.id = q.Str(QStringLiteral("Id"));
            r.puerto = q.OptStr(QStringLiteral("Puerto"));
            r.velocidad = q.OptInt(QStringLiteral("Velocidad")).value_or(9600);
            r.virt = q.Bool(QStringLiteral("VIRTUAL"));
            rows << r;
        }
    } catch (const std::exception& e) {
        out << CheckItem{false, QStringLiteral("Registradores"), What(e)};
        return;
    }
    out << CheckItem{
        !rows.isEmpty(), QStringLiteral("Registradores"),
        rows.isEmpty()
            ? QStringLiteral("la estación %1 no tiene registradores; agréguelos con \"kelvordb "
                             "registrador ID %1\"")
                  .arg(m_config.Estacion)
            : QStringLiteral("%1 en la estación %2").arg(rows.size()).arg(m_config.Estacion)};

    const qint64 timeoutMs =
        qBound<qint64>(0, qint64(m_config.TimeOut) * m_timing.serialTimeoutUnitMs,
                       qint64(std::numeric_limits<qint32>::max()));
    const std::optional<RegistryKey> ports = m_registry.OpenKeyRead(RegistryKeys::kPorts);
    static const QRegularExpression com(QStringLiteral("^COM[0-9]+$"),
                                        QRegularExpression::CaseInsensitiveOption);
    for (const Row& r : rows) {
        const QString item = QStringLiteral("Registrador %1").arg(r.id);
        if (r.virt) {
            out << CheckItem{true, item, QStringLiteral("virtual, no usa la línea")};
            continue;
        }
        // The agent reads an empty port as COM1 (/dev/ttyS0): almost never the
        // station's line, and a wrong device is worse than none.
        const QString puerto = r.puerto.value_or(QString()).trimmed();
        if (puerto.isEmpty()) {
            out << CheckItem{false, item,
                             QStringLiteral("la estación %1 no tiene puerto (el agente usaría "
                                            "COM1, %2); fíjelo con \"kelvordb estacion %1 "
                                            "PUERTO\"")
                                 .arg(m_config.Estacion)
                                 .arg(TSerialPort::DevicePath(QStringLiteral("COM1")))};
            continue;
        }
        const QString device = TSerialPort::DevicePath(puerto);
        const QString line = device == puerto ? QStringLiteral("línea %1").arg(puerto)
                                              : QStringLiteral("línea %1 (%2)").arg(puerto, device);
        const QString where = line + QStringLiteral(", %1 bit/s").arg(r.velocidad);
        if (!TSerialPort::Speeds().contains(r.velocidad)) {
            out << CheckItem{false, item,
                             QStringLiteral("%1: la línea no admite la velocidad %2 bit/s; "
                                            "corríjala con \"kelvordb registrador %3 %4 "
                                            "--velocidad 9600\" (o la del registrador)")
                                 .arg(line)
                                 .arg(r.velocidad)
                                 .arg(r.id)
                                 .arg(m_config.Estacion)};
            continue;
        }
        const bool mapped = ports && ports->ReadString(puerto).has_value();
        if (!mapped && com.match(puerto).hasMatch() && !QFileInfo::exists(device)) {
            out << CheckItem{false, item,
                             QStringLiteral("%1: %2 no está en [HKEY_LOCAL_MACHINE%3] y %4 no "
                                            "existe; asígnele su dispositivo con \"kelvordb "
                                            "puerto %2 /dev/ttyUSB0\" (el de la línea)")
                                 .arg(where, puerto, RegistryKeys::kPorts, device)};
            continue;
        }
        TRedKelvorII link(m_config.Kelvor1Compat);
        TParams& p = link.Params();
        p.SetPort(puerto);
        p.SetBaudRate(r.velocidad);
        p.SetParity(0);
        p.SetByteSize(8);
        p.SetStopBits(0);
        p.SetReadTimeout(static_cast<qint32>(timeoutMs));
        p.SetWriteTimeout(static_cast<qint32>(timeoutMs));
        link.SetMaxRetries(static_cast<quint16>(qBound(0, m_config.Retrys, 65535)));
        const EchoMode echoMode = LineEcho::ModeOf(m_config.Eco);
        link.SetEchoMode(echoMode);
        // Opening takes the line exclusively: a running agent makes it busy.
        if (!link.Connect()) {
            out << CheckItem{false, item, where + QStringLiteral(": ") + link.ConnectError()};
            continue;
        }
        if (!m_probe) {
            link.Disconnect();
            out << CheckItem{true, item, where + QStringLiteral(", se abrió y se cerró")};
            continue;
        }
        if (r.id.isEmpty()) {
            link.Disconnect();
            out << CheckItem{false, item, where + QStringLiteral(": sin Id, no hay dirección")};
            continue;
        }
        try {
            link.SetAddress(r.id.at(0));
            link.Initialize();
            const QDateTime now = QDateTime::currentDateTime();
            const QDateTime clock = ReaderClock::At(now.date().year(), link.Data());
            const qint64 diff = ReaderClock::DifferenceMinutes(clock, now);
            const bool inTime = ReaderClock::WithinTolerance(clock, now, m_config.DifHora);
            QString text = where + QStringLiteral(", responde: reloj %1 (%2 min), %3")
                                       .arg(DateTimeText(clock))
                                       .arg(diff)
                                       .arg(Registrations(link.Data().Cantidad));
            if (link.Echo().LineEchoes())
                text += QStringLiteral("; la línea devuelve el eco de lo enviado");
            if (!inTime)
                text += QStringLiteral("; el reloj está fuera de la tolerancia de %1 min")
                            .arg(m_config.DifHora);
            out << CheckItem{inTime, item, text};
        } catch (const EConvertError& e) {
            out << CheckItem{
                false, item,
                where + QStringLiteral(": responde con datos ilegibles: ") + e.Message()};
        } catch (const std::exception& e) {
            // A silent reader ends in the link's "too many attempts". With the
            // echo forced on or off, a line that does the other thing looks
            // the same: a second look in automatic mode tells them apart.
            QString why = EchoMismatch(link, echoMode);
            if (why.isEmpty())
                why = QStringLiteral("no responde (TimeOut %1 s, Retrys %2): %3")
                          .arg(m_config.TimeOut)
                          .arg(m_config.Retrys)
                          .arg(What(e));
            out << CheckItem{false, item, where + QStringLiteral(": ") + why};
        }
        link.Disconnect();
    }
}

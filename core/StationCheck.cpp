#include "core/StationCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <limits>

#include "core/ReaderClock.h"
#include "db/Statements.h"
#include "db/TAlias.h"
#include "db/TSchema.h"
#include "db/TSqlStatement.h"
#include "link/TRedKelvorII.h"
#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "shell/TimeText.h"

namespace {

const QString kConnection = QStringLiteral("KelvorCheck");

QString What(const std::exception& e) {
    if (const auto* k = dynamic_cast<const Exception*>(&e))
        return k->Message();
    return QString::fromLocal8Bit(e.what());
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

StationCheck::StationCheck(const RegistryFile& registry, const TConfig& config)
    : m_registry(registry), m_config(config) {}

QString StationCheck::Line(const CheckItem& item) {
    return QStringLiteral("%1 %2: %3")
        .arg(item.ok ? QStringLiteral("OK    ") : QStringLiteral("FALLA "), item.item, item.text);
}

QString StationCheck::FileEncoding(const QByteArray& head) {
    if (head.startsWith("\xFF\xFE"))
        return QStringLiteral("UTF-16 LE con BOM");
    if (head.startsWith("\xFE\xFF"))
        return QStringLiteral("UTF-16 BE con BOM");
    if (head.startsWith("\xEF\xBB\xBF"))
        return QStringLiteral("UTF-8 con BOM");
    return QStringLiteral("UTF-8");
}

QList<CheckItem> StationCheck::Run() {
    QList<CheckItem> out;
    CheckSettings(out);
    CheckDatabase(out);
    if (!m_connection.isEmpty()) {
        CheckReaders(out);
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
        m_connection.clear();
    }
    return out;
}

void StationCheck::CheckSettings(QList<CheckItem>& out) const {
    const QString item = QStringLiteral("Configuración");
    const QString path = m_registry.Path();
    QFile file(path);
    if (!QFileInfo::exists(path)) {
        // The agent runs on defaults then, but a station without its file is
        // almost always a wrong path.
        out << CheckItem{false, item,
                         QStringLiteral("no existe %1; se usan los valores por omisión, "
                                        "estación %2")
                             .arg(path)
                             .arg(m_config.Estacion)};
        return;
    }
    // A file that exists but does not decode reads as defaults too: the
    // agent would serve station 1 without anyone noticing.
    if (!m_config.LoadError().isEmpty() || !file.open(QIODevice::ReadOnly)) {
        out << CheckItem{false, item,
                         QStringLiteral("no se puede leer %1: %2")
                             .arg(path, m_config.LoadError().isEmpty() ? file.errorString()
                                                                       : m_config.LoadError())};
        return;
    }
    const QByteArray head = file.read(4096);
    QString encoding = FileEncoding(head);
    // The first line end tells how the file ends its lines (kept on rewrite).
    if (head.contains("\r\n") || head.contains(QByteArray("\r\0\n\0", 4)) ||
        head.contains(QByteArray("\0\r\0\n", 4)))
        encoding += QStringLiteral(", CR LF");
    QString text =
        QStringLiteral("%1 (%2), estación %3").arg(path, encoding).arg(m_config.Estacion);
    if (!m_registry.OpenKeyRead(RegistryKeys::kAgent))
        text += QStringLiteral("; sin la clave HKEY_LOCAL_MACHINE%1: valores por omisión")
                    .arg(RegistryKeys::kAgent);
    out << CheckItem{true, item, text};
}

void StationCheck::CheckDatabase(QList<CheckItem>& out) {
    const QString item = QStringLiteral("Base de datos");
    TAlias alias;
    QSqlDatabase db;
    try {
        alias = TAlias::Load(m_registry);
        db = alias.Connect(kConnection, 2000, false, 5);
    } catch (const std::exception& e) {
        out << CheckItem{false, item, What(e)};
        return;
    }
    m_connection = kConnection;
    out << CheckItem{true, item, QStringLiteral("%1 %2").arg(alias.DriverName(), alias.Target())};

    // The installation's tables, and apart from them the agent's own.
    const QStringList existing = TSchema::ExistingTables(db);
    const QStringList agentTables = TSchema::AgentTables();
    QStringList missing, missingAgent;
    for (const QString& t : TSchema::Tables()) {
        if (existing.contains(t, Qt::CaseInsensitive))
            continue;
        (agentTables.contains(t, Qt::CaseInsensitive) ? missingAgent : missing) << t;
    }
    out << CheckItem{missing.isEmpty(), QStringLiteral("Tablas"),
                     missing.isEmpty() ? QStringLiteral("están las %1 tablas de la instalación")
                                             .arg(TSchema::Tables().size() - agentTables.size())
                                       : QStringLiteral("faltan %1; créelas con \"kelvordb init\"")
                                             .arg(missing.join(QStringLiteral(", ")))};
    out << CheckItem{missingAgent.isEmpty(), agentTables.join(QStringLiteral(", ")),
                     missingAgent.isEmpty()
                         ? QStringLiteral("está la tabla del agente")
                         : QStringLiteral("falta; créela con \"kelvordb upgrade\"")};

    // The id counter that every stored registration draws from.
    const QString counter = QStringLiteral("Contador de ids");
    try {
        TSqlStatement read(db, QString::fromLatin1(Sql::kQryId), QStringLiteral("CODIGO"));
        read.Bind(QStringLiteral("Tabla"), QStringLiteral("FICHADAS"));
        read.Exec();
        if (!read.Next()) {
            out << CheckItem{false, counter,
                             QStringLiteral("falta la fila TIPO=ID, CODIGO=FICHADAS en CODIGO; "
                                            "no se podrá almacenar ninguna registración")};
        } else {
            const QString what = QStringLiteral("contador FICHADAS de la tabla CODIGO");
            const std::optional<qint32> v =
                TSqlStatement::ToInt(read.Value(QStringLiteral("DESCRIPCION")), what);
            if (!v || *v <= 0 || *v == std::numeric_limits<qint32>::max())
                out << CheckItem{false, counter,
                                 QStringLiteral("el %1 no tiene un valor utilizable").arg(what)};
            else
                out << CheckItem{true, counter,
                                 QStringLiteral("CODIGO FICHADAS, próximo id %1").arg(*v)};
        }
    } catch (const std::exception& e) {
        out << CheckItem{false, counter, What(e)};
    }
}

void StationCheck::CheckReaders(QList<CheckItem>& out) {
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    struct Row {
        QString id, puerto;
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
            r.puerto = q.OptStr(QStringLiteral("Puerto")).value_or(QStringLiteral("COM1"));
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
            ? QStringLiteral("la estación %1 no tiene registradores").arg(m_config.Estacion)
            : QStringLiteral("%1 en la estación %2").arg(rows.size()).arg(m_config.Estacion)};

    const qint64 timeoutMs =
        qBound<qint64>(0, qint64(m_config.TimeOut) * m_timing.serialTimeoutUnitMs,
                       qint64(std::numeric_limits<qint32>::max()));
    for (const Row& r : rows) {
        const QString item = QStringLiteral("Registrador %1").arg(r.id);
        if (r.virt) {
            out << CheckItem{true, item, QStringLiteral("virtual, no usa la línea")};
            continue;
        }
        const QString device = TSerialPort::DevicePath(r.puerto);
        const QString where =
            (device == r.puerto ? QStringLiteral("línea %1").arg(r.puerto)
                                : QStringLiteral("línea %1 (%2)").arg(r.puerto, device)) +
            QStringLiteral(", %1 bit/s").arg(r.velocidad);
        TRedKelvorII link(m_config.Kelvor1Compat);
        TParams& p = link.Params();
        p.SetPort(r.puerto);
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
            QString text =
                where + QStringLiteral(", responde: reloj %1 (%2 min), %3 registraciones")
                            .arg(DateTimeText(clock))
                            .arg(diff)
                            .arg(link.Data().Cantidad);
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

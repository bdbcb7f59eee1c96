#include "core/StationCheck.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringDecoder>
#include <limits>

#include "db/Statements.h"
#include "db/TAlias.h"
#include "db/TSchema.h"
#include "db/TSqlStatement.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"

namespace {

const QString kConnection = QStringLiteral("KelvorCheck");

}  // namespace

StationCheck::StationCheck(const RegistryFile& registry, const TConfig& config)
    : m_registry(registry), m_config(config) {}

QString StationCheck::What(const std::exception& e) {
    if (const auto* k = dynamic_cast<const Exception*>(&e))
        return k->Message();
    return QString::fromLocal8Bit(e.what());
}

QString StationCheck::Line(const CheckItem& item) {
    // A server's message may carry its own lines (PostgreSQL's DETAIL, HINT):
    // one item stays one line, for the eye and for grep.
    QString text = item.text;
    static const QRegularExpression breaks(QStringLiteral("\\s*[\r\n]+\\s*"));
    text.replace(breaks, QStringLiteral(" "));
    return QStringLiteral("%1 %2: %3")
        .arg(item.ok ? QStringLiteral("OK    ") : QStringLiteral("FALLA "), item.item,
             text.trimmed());
}

QString StationCheck::FileEncoding(const QByteArray& head) {
    if (head.startsWith("\xFF\xFE"))
        return QStringLiteral("UTF-16 LE con BOM");
    if (head.startsWith("\xFE\xFF"))
        return QStringLiteral("UTF-16 BE con BOM");
    if (head.startsWith("\xEF\xBB\xBF"))
        return QStringLiteral("UTF-8 con BOM");
    // The agent reads a file without a mark that is not UTF-8 as the
    // Western code page (RegistryFile), and so does this line.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString decoded = utf8(head);  // decoding happens on conversion
    Q_UNUSED(decoded);
    if (utf8.hasError() && !head.contains('\0'))
        return QStringLiteral("Windows-1252");
    return QStringLiteral("UTF-8");
}

QList<CheckItem> StationCheck::Run() {
    QList<CheckItem> out;
    CheckSettings(out);
    CheckLinkSettings(out);
    CheckDatabase(out);
    if (!m_connection.isEmpty()) {
        if (m_tablesFound)
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
    const QByteArray head = file.read(1 << 20);
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
    // A value the agent cannot read fails the check, named with its key: the
    // agent would refuse to start ("Estacion") or run on a default.
    QStringList problems = m_config.Problems();
    if (!m_config.StationProblem().isEmpty())
        problems.prepend(m_config.StationProblem());
    if (!problems.isEmpty()) {
        out << CheckItem{false, item,
                         QStringLiteral("%1: %2").arg(path, problems.join(QStringLiteral(" | ")))};
    } else {
        out << CheckItem{true, item, text};
    }
    CheckSecret(out);
}

void StationCheck::CheckSecret(QList<CheckItem>& out) const {
    const std::optional<RegistryKey> alias = m_registry.OpenKeyRead(RegistryKeys::kAlias);
    if (!alias || !alias->Raw(QStringLiteral("Password")))
        return;
    // stat follows a symbolic link: the mode that counts is the target's.
    struct stat st;
    if (::stat(QFile::encodeName(m_registry.Path()).constData(), &st) != 0)
        return;
    const QString item = QStringLiteral("Contraseña");
    if (st.st_mode & S_IROTH) {
        out << CheckItem{false, item,
                         QStringLiteral("%1 guarda la contraseña de la base de datos "
                                        "(\"Password\") y cualquier usuario puede leerlo (modo "
                                        "%2); quite la lectura a los demás: chmod o-r %1")
                             .arg(m_registry.Path())
                             .arg(st.st_mode & 07777, 4, 8, QChar('0'))};
        return;
    }
    out << CheckItem{true, item,
                     QStringLiteral("%1 guarda la contraseña de la base de datos y solo lo "
                                    "leen su dueño y su grupo (modo %2)")
                         .arg(m_registry.Path())
                         .arg(st.st_mode & 07777, 4, 8, QChar('0'))};
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
    // init refuses a database that has any table: beside others the missing
    // ones are added by upgrade.
    const bool none = existing.isEmpty();
    QString tables;
    if (missing.isEmpty())
        tables = QStringLiteral("están las %1 tablas de la instalación")
                     .arg(TSchema::Tables().size() - agentTables.size());
    else if (none)
        tables = QStringLiteral("no hay ninguna tabla; cree el esquema con \"kelvordb init\"");
    else if (missing.size() == 1)
        tables = QStringLiteral("falta %1; créela con \"kelvordb upgrade\"").arg(missing[0]);
    else
        tables = QStringLiteral("faltan %1; créelas con \"kelvordb upgrade\"")
                     .arg(missing.join(QStringLiteral(", ")));
    out << CheckItem{missing.isEmpty(), QStringLiteral("Tablas"), tables};
    m_tablesFound = !none;
    if (none)
        return;
    // The note of stored records, then the station's state: one line each.
    const QStringList note{agentTables.first()}, state = agentTables.mid(1);
    auto missingOf = [&](const QStringList& tables) {
        QStringList m;
        for (const QString& t : tables)
            if (missingAgent.contains(t, Qt::CaseInsensitive))
                m << t;
        return m;
    };
    out << CheckItem{missingOf(note).isEmpty(), note.first(),
                     missingOf(note).isEmpty()
                         ? QStringLiteral("está la tabla del agente")
                         : QStringLiteral("falta; créela con \"kelvordb upgrade\"")};
    const QStringList stateMissing = missingOf(state);
    out << CheckItem{stateMissing.isEmpty(), state.join(QStringLiteral(", ")),
                     stateMissing.isEmpty()
                         ? QStringLiteral("están las tablas del estado de la estación")
                         : QStringLiteral("falta %1; el agente la crea al conectarse donde puede, "
                                          "o créela con \"kelvordb upgrade\"")
                               .arg(stateMissing.join(QStringLiteral(", ")))};

    // The id counter that every stored registration draws from.
    const QString counter = QStringLiteral("Contador de ids");
    try {
        TSqlStatement read(db, QString::fromLatin1(Sql::kQryId), QStringLiteral("CODIGO"));
        read.Bind(QStringLiteral("Tabla"), QStringLiteral("FICHADAS"));
        read.Exec();
        if (!read.Next()) {
            out << CheckItem{false, counter,
                             QStringLiteral("falta la fila TIPO=ID, CODIGO=FICHADAS en CODIGO; "
                                            "no se podrá almacenar ninguna registración; "
                                            "créela con \"kelvordb contador\"")};
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
    CheckWrite(out, alias, db, existing);
}

void StationCheck::CheckLinkSettings(QList<CheckItem>& out) const {
    // Zero attempts or a zero wait make every healthy reader "no responde":
    // the cause is a setting, and it is named as such.
    QStringList problems;
    const QString where = QStringLiteral("[HKEY_LOCAL_MACHINE%1]").arg(RegistryKeys::kAgent);
    if (m_config.Retrys <= 0)
        problems << QStringLiteral(
                        "\"Retrys\" es %1: no se envía ninguna trama y ningún "
                        "registrador responde; ponga \"Retrys\"=dword:00000001 (o "
                        "más) en %2")
                        .arg(m_config.Retrys)
                        .arg(where);
    if (m_config.TimeOut <= 0)
        problems << QStringLiteral(
                        "\"TimeOut\" es %1: no se espera ninguna respuesta; ponga "
                        "\"TimeOut\"=dword:00000003 (segundos) en %2")
                        .arg(m_config.TimeOut)
                        .arg(where);
    out << CheckItem{problems.isEmpty(), QStringLiteral("Comunicación"),
                     problems.isEmpty() ? QStringLiteral("Retrys %1, TimeOut %2 s, Espera %3 s")
                                              .arg(m_config.Retrys)
                                              .arg(m_config.TimeOut)
                                              .arg(m_config.Espera)
                                        : problems.join(QStringLiteral("; "))};
}

#include "tools/kelvordb/TDbTool.h"

#include <QFile>
#include <QSqlQuery>

#include "db/Statements.h"
#include "db/TCommandTable.h"
#include "db/TSchema.h"
#include "db/TSqlStatement.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "tools/kelvordb/TStationReport.h"

namespace {

const QString kConnection = QStringLiteral("kelvordb");

int PositiveNumber(const QString& text, const QString& what) {
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < 0)
        throw EUsage(QStringLiteral("%1 debe ser un número: \"%2\"").arg(what, text));
    return n;
}

// A stored value as the tables show it.
QString Shown(const QVariant& v, bool isDate) {
    if (v.isNull())
        return QString();
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (isDate) {
        try {
            if (auto dt = TSqlStatement::ToDateTime(v, QString()))
                return dt->toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        } catch (const EConvertError&) {
        }
    }
    return v.toString();
}

}  // namespace

TDbTool::TDbTool(QTextStream& out, QTextStream& err, ClockFn clock)
    : m_out(out), m_err(err), m_clock(std::move(clock)) {}

TDbTool::~TDbTool() {
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(kConnection);
    }
}

QString TDbTool::Usage() {
    return QStringLiteral(
        "uso: kelvordb [--registry ARCHIVO] COMANDO [ARGUMENTOS]\n"
        "  init                         crea las tablas (no toca tablas existentes)\n"
        "  upgrade                      crea las tablas que falten (no toca las que hay)\n"
        "  seed-demo [--port PUERTO] [--antipassback]\n"
        "                               carga datos de demostración (estación 1,\n"
        "                               registradores A1 y B1, usuario admin/admin)\n"
        "  registraciones [--last N]    muestra REGISTRA (las N últimas)\n"
        "  comandos                     muestra los comandos pendientes de COMANDO\n"
        "  encolar ESTACION REGISTRADOR CODIGO [TEXTO]\n"
        "                               agrega un comando a COMANDO\n"
        "  contador                     crea el contador de ids FICHADAS\n"
        "  estacion ID PUERTO [NOMBRE]  crea la estación o cambia su puerto\n"
        "  registrador ID ESTACION [--velocidad BPS] [--tipo comun|hta|virtual]\n"
        "              [--visitas|--sin-visitas] [--nombre TEXTO]\n"
        "                               crea el registrador o cambia sus datos\n"
        "                               (su dirección es la primera letra del Id)\n"
        "  puerto NOMBRE DISPOSITIVO    asigna un dispositivo a un puerto (\"COM2\")\n"
        "                               en el archivo de configuración\n"
        "  estaciones                   muestra estaciones, registradores y contador\n"
        "  estado [--estacion N] [--sin-noticias SEGUNDOS] [--prometheus]\n"
        "                               los registradores de cada estación según su agente\n");
}

int TDbTool::Run(const QStringList& args) {
    try {
        if (args.isEmpty())
            throw EUsage(QStringLiteral("falta el comando"));
        const QString command = args[0];
        const QStringList rest = args.mid(1);
        if (command == QLatin1String("init")) {
            if (!rest.isEmpty())
                throw EUsage(QStringLiteral("init no lleva argumentos"));
            Init();
        } else if (command == QLatin1String("upgrade")) {
            if (!rest.isEmpty())
                throw EUsage(QStringLiteral("upgrade no lleva argumentos"));
            Upgrade();
        } else if (command == QLatin1String("seed-demo")) {
            SeedDemo(rest);
        } else if (command == QLatin1String("registraciones")) {
            Registrations(rest);
        } else if (command == QLatin1String("comandos")) {
            if (!rest.isEmpty())
                throw EUsage(QStringLiteral("comandos no lleva argumentos"));
            Commands();
        } else if (command == QLatin1String("encolar")) {
            Enqueue(rest);
        } else if (command == QLatin1String("estado")) {
            const TStationReport::Options options = TStationReport::Parse(rest);
            Connect(false);
            const int status = TStationReport::Run(TStationReport::Load(m_db, m_alias.Target()),
                                                   options, m_clock(), m_out);
            m_out.flush();
            return status;
        } else if (command == QLatin1String("contador")) {
            Counter(rest);
        } else if (command == QLatin1String("estacion")) {
            Station(rest);
        } else if (command == QLatin1String("registrador")) {
            Reader(rest);
        } else if (command == QLatin1String("puerto")) {
            PortMap(rest);
        } else if (command == QLatin1String("estaciones")) {
            List(rest);
        } else {
            throw EUsage(QStringLiteral("comando desconocido \"%1\"").arg(command));
        }
        return 0;
    } catch (const EUsage& e) {
        m_err << "kelvordb: " << e.Message() << "\n" << Usage();
        m_err.flush();
        return 2;
    } catch (const Exception& e) {
        m_err << "kelvordb: " << e.Message().simplified() << "\n";
        m_err.flush();
        return 1;
    }
}

QSqlDatabase TDbTool::Connect(bool createFile) {
    m_alias = TAlias::Load(RegistryFile::Process());
    m_db = m_alias.Connect(kConnection, 10000, createFile);
    return m_db;
}

void TDbTool::RequireTables(const QStringList& tables) {
    const QStringList present = TSchema::ExistingTables(m_db);
    for (const QString& t : tables) {
        if (!present.contains(t))
            // init refuses a database that has any table: beside others the
            // missing one is added by upgrade.
            throw EDatabaseError(
                QStringLiteral("La tabla %1 no existe en %2; %3")
                    .arg(t, m_alias.Target(),
                         present.isEmpty() ? QStringLiteral("cree el esquema con \"kelvordb init\"")
                                           : QStringLiteral("créela con \"kelvordb upgrade\"")));
    }
}

void TDbTool::Exec(const QString& sql, const QVariantList& values) {
    const QString table = sql.section(' ', 2, 2);
    TSqlStatement q(m_db, sql, table);
    const TAdaptedSql adapted = TSqlDialect::Adapt(sql);
    for (int i = 0; i < values.size(); ++i) q.Bind(adapted.parameters[i], values[i]);
    q.Exec();
}

void TDbTool::Init() {
    Connect(true);
    TSchema::Create(m_db, m_alias.Driver());
    // Without the counter no registration can be stored: the schema comes
    // with it.
    EnsureCounter();
    m_out << "Esquema creado en " << m_alias.Target() << " (" << TSchema::Tables().size()
          << " tablas, contador de ids FICHADAS en 1)\n";
}

void TDbTool::Upgrade() {
    Connect(false);
    // Only a database that holds some of the installation's tables is
    // completed: an empty one is made by init (with the id counter).
    const QStringList existing = TSchema::ExistingTables(m_db);
    if (existing.isEmpty())
        throw EDatabaseError(QStringLiteral("%1 no tiene ninguna tabla de la instalación; cree el "
                                            "esquema con \"kelvordb init\"")
                                 .arg(m_alias.Target()));
    // Every missing table, the agent's own and any of the installation's
    // that the database lacks (a front end's or an older one); the tables
    // there are left as they are.
    const QStringList created = TSchema::CreateMissing(m_db, m_alias.Driver(), TSchema::Tables());
    const QStringList indexes = TSchema::AddIndexes(m_db, m_alias.Driver());
    if (created.isEmpty() && indexes.isEmpty())
        m_out << "El esquema de " << m_alias.Target() << " ya está al día\n";
    if (!created.isEmpty())
        m_out << "Tablas creadas en " << m_alias.Target() << ": " << created.join(", ") << "\n";
    if (!indexes.isEmpty())
        m_out << "Índices creados en " << m_alias.Target() << ": " << indexes.join(", ") << "\n";
}

void TDbTool::SeedDemo(const QStringList& args) {
    QString port = QStringLiteral("COM2");
    bool antiPassBack = false;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--port") && i + 1 < args.size()) {
            port = args[++i];
        } else if (args[i] == QLatin1String("--antipassback")) {
            antiPassBack = true;
        } else {
            throw EUsage(QStringLiteral("argumento desconocido \"%1\"").arg(args[i]));
        }
    }
    Connect(false);
    RequireTables(TSchema::Tables());
    {
        QSqlQuery q(m_db);
        if (q.exec(QStringLiteral("SELECT COUNT(*) FROM Estacion WHERE Id = 1")) && q.next() &&
            q.value(0).toInt() > 0)
            throw EDatabaseError(QStringLiteral(
                "La base de datos ya tiene la estación 1; seed-demo no la modifica"));
    }
    QString marker;
    if (antiPassBack) {
        const QString dir = m_alias.Directory();
        if (dir.isEmpty())
            throw EDatabaseError(
                QStringLiteral("El alias \"Kelvor\" no tiene \"Directorio\": no hay "
                               "dónde dejar ANTIPB.ON"));
        marker = dir + (dir.endsWith('/') ? QString() : QStringLiteral("/")) +
                 QStringLiteral("ANTIPB.ON");
    }

    const QDateTime assigned = m_clock();
    int depth = 0;
    TTransaction t(m_db, m_alias.Driver(), depth, QStringLiteral("seed-demo"));
    Exec(QStringLiteral("INSERT INTO Estacion (Id, Nombre, Puerto) VALUES (:a, :b, :c)"),
         {1, QStringLiteral("Estación 1"), port});
    const QString reg = QStringLiteral(
        "INSERT INTO Reg (Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, VIRTUAL, HTA) VALUES (:a, "
        ":b, :c, :d, :e, :f, :g)");
    Exec(reg, {QStringLiteral("A1"), 1, QStringLiteral("Entrada"), 9600, true, false, false});
    Exec(reg, {QStringLiteral("B1"), 1, QStringLiteral("Salida"), 9600, true, false, false});
    const QString holder = QStringLiteral(
        "INSERT INTO INGRESAN (Id, Nombre, Tipo, NroLlave, UltimaAsignacion) VALUES (:a, :b, :c, "
        ":d, "
        ":e)");
    const QString key = QStringLiteral(
        "INSERT INTO LLAVE (NroLlave, FechaAsignacion, IdIngresante) VALUES (:a, :b, :c)");
    Exec(holder, {1, QStringLiteral("Ana Pérez"), QStringLiteral("EMPLEADO"), 123, assigned});
    Exec(key, {123, assigned, 1});
    Exec(holder, {2, QStringLiteral("Luis Gómez"), QStringLiteral("EMPLEADO"), 124, assigned});
    Exec(key, {124, assigned, 2});
    Exec(holder, {3, QStringLiteral("Visita"), QStringLiteral("VISITA"), 200, assigned});
    Exec(key, {200, assigned, 3});
    const QString enrol = QStringLiteral(
        "INSERT INTO INGREG (IdRegistrador, IdIngresante, IdHorario, IdHorario2) VALUES (:a, :b, "
        ":c, "
        ":d)");
    for (int h : {1, 2, 3}) {
        const QString schedule = h == 3 ? QStringLiteral("2") : QStringLiteral("1");
        Exec(enrol, {QStringLiteral("A1"), h, schedule, QString()});
        Exec(enrol, {QStringLiteral("B1"), h, schedule, QString()});
    }
    const QString zone =
        QStringLiteral("INSERT INTO Zonas (IdZona, IdReg, Tipo) VALUES (:a, :b, :c)");
    Exec(zone, {QStringLiteral("1"), QStringLiteral("A1"), QStringLiteral("ENTRADA")});
    Exec(zone, {QStringLiteral("1"), QStringLiteral("B1"), QStringLiteral("SALIDA")});
    EnsureCounter();  // init made it already
    Exec(QStringLiteral("INSERT INTO Usuario (Nombre, Clave, Administrador) VALUES (:a, :b, :c)"),
         {QStringLiteral("admin"), QStringLiteral("admin"), true});
    t.Commit();
    if (!marker.isEmpty()) {
        QFile f(marker);
        if (!f.open(QIODevice::WriteOnly))
            throw Exception(QStringLiteral("No se pudo crear %1: %2").arg(marker, f.errorString()));
    }
    m_out << "Datos de demostración cargados: estación 1 (puerto " << port
          << "), registradores A1 y B1, llaves 123, 124 y 200 (visita), usuario admin"
          << (marker.isEmpty() ? QString() : QStringLiteral(", antipassback activado")) << "\n";
}

void TDbTool::Registrations(const QStringList& args) {
    int last = -1;
    if (args.size() == 2 && args[0] == QLatin1String("--last")) {
        last = PositiveNumber(args[1], QStringLiteral("--last"));
    } else if (!args.isEmpty()) {
        throw EUsage(QStringLiteral("argumento desconocido \"%1\"").arg(args.join(' ')));
    }
    Connect(false);
    RequireTables({QStringLiteral("REGISTRA")});
    TSqlStatement q(m_db,
                    QStringLiteral("SELECT Id, FechaHora, IdRegistrador, NroLlave, IdIngresante, "
                                   "CodEstado, ACK, Responsable, Modificado FROM REGISTRA ORDER BY "
                                   "Id DESC"),
                    QStringLiteral("REGISTRA"));
    q.Exec();
    const QStringList header = {"Id",       "FechaHora",    "IdRegistrador",
                                "NroLlave", "IdIngresante", "CodEstado",
                                "ACK",      "Responsable",  "Modificado"};
    QList<QStringList> rows;
    while ((last < 0 || rows.size() < last) && q.Next()) {
        QStringList row;
        for (const QString& h : header)
            row << Shown(q.Value(h),
                         h == QLatin1String("FechaHora") || h == QLatin1String("Modificado"));
        rows.prepend(row);
    }
    PrintTable(header, rows);
}

void TDbTool::Commands() {
    Connect(false);
    RequireTables({QStringLiteral("COMANDO")});
    // Through the agent's own statement: a text of megabytes is shown cut,
    // with its whole length.
    TSqlStatement q(m_db, TCommandTable::SelectStatement(), QStringLiteral("COMANDO"));
    q.Exec();
    const QStringList header = {"Id",         "IdEstacion", "IdRegistrador",
                                "CodComando", "Texto",      "FechaHora"};
    QList<QStringList> rows;
    while (q.Next()) {
        QStringList row;
        for (const QString& h : header) {
            QString shown = Shown(q.Value(h), h == QLatin1String("FechaHora"));
            const bool cut = h == QLatin1String("IdRegistrador") ||
                             h == QLatin1String("CodComando") || h == QLatin1String("Texto");
            const QVariant length = cut ? q.Value(QStringLiteral("Largo") + h) : QVariant();
            if (!length.isNull() && length.toLongLong() > shown.size())
                shown += QStringLiteral(" [... cortado: %1 caracteres en total]")
                             .arg(length.toLongLong());
            row << shown;
        }
        rows << row;
    }
    PrintTable(header, rows);
}

void TDbTool::Enqueue(const QStringList& args) {
    if (args.size() < 3 || args.size() > 4)
        throw EUsage(QStringLiteral("encolar necesita ESTACION REGISTRADOR CODIGO [TEXTO]"));
    const int station = PositiveNumber(args[0], QStringLiteral("ESTACION"));
    Connect(false);
    RequireTables({QStringLiteral("COMANDO")});
    TSqlStatement q(m_db, Sql::kInsertComando, QStringLiteral("COMANDO"));
    q.Bind(QStringLiteral("IdEstacion"), station);
    q.Bind(QStringLiteral("IdRegistrador"), args[1]);
    q.Bind(QStringLiteral("CodComando"), args[2]);
    q.Bind(QStringLiteral("Texto"), args.value(3));
    q.Bind(QStringLiteral("FechaHora"), m_clock());
    q.Exec();
    m_out << "Comando " << args[2] << " encolado para el registrador " << args[1]
          << " de la estación " << station << "\n";
}

void TDbTool::PrintTable(const QStringList& header, const QList<QStringList>& rows) {
    QList<qsizetype> width;
    for (const QString& h : header) width << h.size();
    for (const QStringList& r : rows)
        for (qsizetype i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
    auto line = [&](const QStringList& cells) {
        QString text;
        for (qsizetype i = 0; i < cells.size(); ++i)
            text += (i ? QStringLiteral("  ") : QString()) + cells[i].leftJustified(width[i]);
        m_out << text.trimmed() << "\n";
    };
    line(header);
    QStringList rule;
    for (qsizetype w : width) rule << QString(w, '-');
    line(rule);
    for (const QStringList& r : rows) line(r);
    m_out << "(" << rows.size() << (rows.size() == 1 ? " fila)\n" : " filas)\n");
}

// The verbs of kelvordb that make a working station without a front end: the
// id counter, the station with its port, its readers, the port's device in
// the settings file, and a listing. Each verb checks every value before it
// changes anything, and run again with the same values it changes nothing.

#include <QFileInfo>
#include <optional>

#include "db/Statements.h"
#include "db/TSqlStatement.h"
#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "tools/kelvordb/TDbTool.h"

namespace {

const QString kCounter = QStringLiteral("FICHADAS");
// Station 100 stands for "every station" in COMANDO: it cannot be a station.
constexpr int kEveryStation = 100;

// The kinds of reader the agent knows, as Reg's two switches.
struct Kind {
    const char* name;
    bool virt, hta;
};
constexpr Kind kKinds[] = {{"comun", false, false}, {"hta", false, true}, {"virtual", true, false}};

QString KindName(bool virt, bool hta) {
    return virt ? QStringLiteral("virtual") : hta ? QStringLiteral("hta") : QStringLiteral("comun");
}

int StationNumber(const QString& text) {
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < 1)
        throw EUsage(
            QStringLiteral("la estación debe ser un número de 1 en adelante: \"%1\"").arg(text));
    if (n == kEveryStation)
        throw EDatabaseError(QStringLiteral("La estación %1 no puede usarse: en COMANDO quiere "
                                            "decir todas las estaciones")
                                 .arg(kEveryStation));
    return n;
}

QString SpeedList() {
    QStringList out;
    for (qint32 s : TSerialPort::Speeds()) out << QString::number(s);
    return out.join(QStringLiteral(", "));
}

// The value after an option, or a usage error.
QString OptionValue(const QStringList& args, int& i) {
    if (i + 1 >= args.size())
        throw EUsage(QStringLiteral("%1 necesita un valor").arg(args[i]));
    return args[++i];
}

}  // namespace

bool TDbTool::EnsureCounter() {
    TSqlStatement read(m_db, QString::fromLatin1(Sql::kQryId), QStringLiteral("CODIGO"));
    read.Bind(QStringLiteral("Tabla"), kCounter);
    read.Exec();
    if (read.Next())
        return false;
    TSqlStatement insert(m_db,
                         QStringLiteral("INSERT INTO CODIGO (TIPO, CODIGO, DESCRIPCION) VALUES "
                                        "(:Tipo, :Codigo, :Descripcion)"),
                         QStringLiteral("CODIGO"));
    insert.Bind(QStringLiteral("Tipo"), QStringLiteral("ID"));
    insert.Bind(QStringLiteral("Codigo"), kCounter);
    insert.Bind(QStringLiteral("Descripcion"), QStringLiteral("1"));
    insert.Exec();
    return true;
}

void TDbTool::WarnMissingDevice(const QString& port) {
    const QString device = TSerialPort::DevicePath(port);
    if (QFileInfo::exists(device))
        return;
    m_err << "kelvordb: aviso: " << device << " no existe ahora";
    if (device != port)
        m_err << " (puerto " << port << "); asígnelo con \"kelvordb puerto " << port
              << " DISPOSITIVO\" si el registrador está en otro";
    m_err << "\n";
    m_err.flush();
}

void TDbTool::Counter(const QStringList& args) {
    if (!args.isEmpty())
        throw EUsage(QStringLiteral("contador no lleva argumentos"));
    Connect(false);
    RequireTables({QStringLiteral("CODIGO")});
    if (EnsureCounter()) {
        m_out << "Contador de ids " << kCounter << " creado en " << m_alias.Target()
              << ": próximo id 1\n";
        return;
    }
    TSqlStatement read(m_db, QString::fromLatin1(Sql::kQryId), QStringLiteral("CODIGO"));
    read.Bind(QStringLiteral("Tabla"), kCounter);
    read.Exec();
    read.Next();
    m_out << "El contador de ids " << kCounter << " ya existe en " << m_alias.Target()
          << ": próximo id " << read.Str(QStringLiteral("DESCRIPCION")) << "\n";
}

void TDbTool::Station(const QStringList& args) {
    if (args.size() < 2 || args.size() > 3)
        throw EUsage(QStringLiteral("estacion necesita ID PUERTO [NOMBRE]"));
    const QString port = args[1].trimmed();
    if (port.isEmpty())
        throw EUsage(
            QStringLiteral("el puerto no puede estar vacío (por ejemplo COM2 o "
                           "/dev/ttyUSB0)"));
    const int id = StationNumber(args[0]);
    Connect(false);
    RequireTables({QStringLiteral("Estacion")});

    TSqlStatement find(m_db, QStringLiteral("SELECT Nombre, Puerto FROM Estacion WHERE Id = :Id"),
                       QStringLiteral("Estacion"));
    find.Bind(QStringLiteral("Id"), id);
    find.Exec();
    if (!find.Next()) {
        const QString name = args.size() > 2 ? args[2] : QStringLiteral("Estación %1").arg(id);
        TSqlStatement insert(m_db,
                             QStringLiteral("INSERT INTO Estacion (Id, Nombre, Puerto) VALUES "
                                            "(:Id, :Nombre, :Puerto)"),
                             QStringLiteral("Estacion"));
        insert.Bind(QStringLiteral("Id"), id);
        insert.Bind(QStringLiteral("Nombre"), name);
        insert.Bind(QStringLiteral("Puerto"), port);
        insert.Exec();
        m_out << "Estación " << id << " creada, puerto " << port << "\n";
        WarnMissingDevice(port);
        return;
    }
    const QString oldPort = find.Str(QStringLiteral("Puerto"));
    const QString oldName = find.Str(QStringLiteral("Nombre"));
    const QString name = args.size() > 2 ? args[2] : oldName;
    if (oldPort == port && oldName == name) {
        m_out << "La estación " << id << " ya existe con el puerto " << port << "\n";
        WarnMissingDevice(port);
        return;
    }
    TSqlStatement update(
        m_db,
        QStringLiteral("UPDATE Estacion SET Nombre = :Nombre, Puerto = :Puerto WHERE Id = :Id"),
        QStringLiteral("Estacion"));
    update.Bind(QStringLiteral("Nombre"), name);
    update.Bind(QStringLiteral("Puerto"), port);
    update.Bind(QStringLiteral("Id"), id);
    update.Exec();
    m_out << "Estación " << id << " cambiada: puerto "
          << (oldPort.isEmpty() ? QStringLiteral("(vacío)") : oldPort) << " -> " << port << "\n";
    WarnMissingDevice(port);
}

void TDbTool::Reader(const QStringList& args) {
    if (args.size() < 2)
        throw EUsage(QStringLiteral(
            "registrador necesita ID ESTACION [--velocidad BPS] [--tipo comun|hta|virtual] "
            "[--visitas|--sin-visitas] [--nombre TEXTO]"));
    const QString id = args[0];
    // The first character is the address letter of the request frames: a
    // printable letter or digit, never a control byte of the framing.
    const QChar address = id.isEmpty() ? QChar() : id.at(0);
    if (id.isEmpty() || address.unicode() > 0x7F || !address.isLetterOrNumber())
        throw EUsage(QStringLiteral("el Id del registrador debe empezar con una letra o un dígito "
                                    "(su dirección en la línea): \"%1\"")
                         .arg(id));
    const int station = StationNumber(args[1]);
    // Options not given keep an existing reader's values (a new one: 9600
    // bit/s, comun, no visitor control).
    std::optional<qint32> speed;
    const Kind* kind = nullptr;
    std::optional<bool> visits;
    std::optional<QString> name;
    for (int i = 2; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--velocidad")) {
            const QString v = OptionValue(args, i);
            bool ok = false;
            speed = v.toInt(&ok);
            if (!ok || !TSerialPort::Speeds().contains(*speed))
                throw Exception(QStringLiteral("La línea no admite la velocidad \"%1\"; use una "
                                               "de estas (bit/s): %2")
                                    .arg(v, SpeedList()));
        } else if (a == QLatin1String("--tipo")) {
            const QString v = OptionValue(args, i);
            kind = nullptr;  // the last --tipo counts, and each must be known
            for (const Kind& k : kKinds)
                if (v.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0)
                    kind = &k;
            if (!kind)
                throw Exception(QStringLiteral("El agente no conoce el tipo de registrador "
                                               "\"%1\"; use comun, hta o virtual")
                                    .arg(v));
        } else if (a == QLatin1String("--visitas")) {
            visits = true;
        } else if (a == QLatin1String("--sin-visitas")) {
            visits = false;
        } else if (a == QLatin1String("--nombre")) {
            name = OptionValue(args, i);
        } else {
            throw EUsage(QStringLiteral("argumento desconocido \"%1\"").arg(a));
        }
    }
    Connect(false);
    RequireTables({QStringLiteral("Estacion"), QStringLiteral("Reg")});

    TSqlStatement st(m_db, QStringLiteral("SELECT Puerto FROM Estacion WHERE Id = :Id"),
                     QStringLiteral("Estacion"));
    st.Bind(QStringLiteral("Id"), station);
    st.Exec();
    if (!st.Next())
        throw EDatabaseError(QStringLiteral("No existe la estación %1; créela con \"kelvordb "
                                            "estacion %1 PUERTO\"")
                                 .arg(station));

    // Every reader already there: the same id elsewhere, and the address
    // letter among the readers that share this station's line.
    TSqlStatement all(m_db,
                      QStringLiteral("SELECT Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, "
                                     "VIRTUAL, HTA FROM Reg"),
                      QStringLiteral("Reg"));
    all.Exec();
    bool exists = false;
    QString oldName, clash;
    bool oldVisits = false;
    qint32 oldSpeed = 9600;
    const Kind* oldKind = &kKinds[0];
    while (all.Next()) {
        const QString other = all.Str(QStringLiteral("Id"));
        const int otherStation = all.OptInt(QStringLiteral("IdEstacion")).value_or(-1);
        const bool otherVirtual = all.Bool(QStringLiteral("VIRTUAL"));
        if (other == id) {
            if (otherStation != station)
                throw EDatabaseError(QStringLiteral("El registrador %1 ya existe en la estación "
                                                    "%2; un Id es de un solo registrador")
                                         .arg(id)
                                         .arg(otherStation));
            exists = true;
            oldName = all.Str(QStringLiteral("Nombre"));
            oldVisits = all.Bool(QStringLiteral("CTRLACTIVO"));
            oldSpeed = all.OptInt(QStringLiteral("Velocidad")).value_or(9600);
            const bool hta = all.Bool(QStringLiteral("HTA"));
            oldKind = &kKinds[otherVirtual ? 2 : hta ? 1 : 0];
            continue;
        }
        if (otherStation == station && !otherVirtual && !other.isEmpty() && other.at(0) == address)
            clash = other;
    }
    if (!kind)
        kind = oldKind;
    if (!clash.isEmpty() && !kind->virt)
        throw EDatabaseError(QStringLiteral("La dirección %1 ya la usa el registrador %2 de la "
                                            "estación %3; en una línea cada registrador necesita "
                                            "su propia letra")
                                 .arg(address)
                                 .arg(clash)
                                 .arg(station));
    const bool same = exists && oldSpeed == speed.value_or(oldSpeed) && oldKind == kind &&
                      (!visits || *visits == oldVisits) && (!name || *name == oldName);
    const qint32 newSpeed = speed.value_or(oldSpeed);
    const QString what =
        QStringLiteral("%1 bit/s, tipo %2%3")
            .arg(newSpeed)
            .arg(KindName(kind->virt, kind->hta))
            .arg(visits.value_or(oldVisits) ? QStringLiteral(", control de visitas") : QString());
    if (same) {
        m_out << "El registrador " << id << " ya existe en la estación " << station << " (" << what
              << ")\n";
        return;
    }
    TSqlStatement write(
        m_db,
        exists ? QStringLiteral("UPDATE Reg SET Nombre = :Nombre, Velocidad = :Velocidad, "
                                "CTRLACTIVO = :Ctrl, VIRTUAL = :Virt, HTA = :Hta WHERE Id = :Id")
               : QStringLiteral("INSERT INTO Reg (Id, IdEstacion, Nombre, Velocidad, CTRLACTIVO, "
                                "VIRTUAL, HTA) VALUES (:Id, :Estacion, :Nombre, :Velocidad, "
                                ":Ctrl, :Virt, :Hta)"),
        QStringLiteral("Reg"));
    write.Bind(QStringLiteral("Id"), id);
    if (!exists)
        write.Bind(QStringLiteral("Estacion"), station);
    write.Bind(QStringLiteral("Nombre"), name.value_or(exists ? oldName : id));
    write.Bind(QStringLiteral("Velocidad"), newSpeed);
    write.Bind(QStringLiteral("Ctrl"), visits.value_or(oldVisits));
    write.Bind(QStringLiteral("Virt"), kind->virt);
    write.Bind(QStringLiteral("Hta"), kind->hta);
    write.Exec();
    m_out << "Registrador " << id << (exists ? " cambiado" : " creado") << " en la estación "
          << station << " (dirección " << address << ", " << what << ")\n";
}

void TDbTool::PortMap(const QStringList& args) {
    if (args.size() != 2)
        throw EUsage(
            QStringLiteral("puerto necesita NOMBRE DISPOSITIVO (por ejemplo COM2 "
                           "/dev/ttyUSB0)"));
    const QString name = args[0].trimmed();
    const QString device = args[1].trimmed();
    if (name.isEmpty() || name.startsWith('/'))
        throw EUsage(QStringLiteral("el nombre del puerto es el de la estación (por ejemplo "
                                    "COM2), no un dispositivo: \"%1\"")
                         .arg(args[0]));
    if (!device.startsWith('/'))
        throw EUsage(
            QStringLiteral("el dispositivo debe ser una ruta (por ejemplo /dev/ttyUSB0): \"%1\"")
                .arg(args[1]));
    const RegistryFile registry = RegistryFile::Process();
    QString error;
    const auto key = registry.OpenKeyRead(RegistryKeys::kPorts, &error);
    if (!error.isEmpty())
        throw Exception(QStringLiteral("No se puede leer %1: %2").arg(registry.Path(), error));
    if (key && key->ReadString(name) == device) {
        m_out << "El puerto " << name << " ya es " << device << " en " << registry.Path() << "\n";
    } else {
        if (!registry.Write(RegistryKeys::kPorts, {RegistryValue::Str(name, device)}))
            throw Exception(QStringLiteral("No se pudo escribir %1 (¿permisos?); nada cambió")
                                .arg(registry.Path()));
        m_out << "Puerto " << name << " = " << device << " en " << registry.Path() << "\n";
    }
    if (!QFileInfo::exists(device)) {
        m_err << "kelvordb: aviso: " << device << " no existe ahora\n";
        m_err.flush();
    }
}

void TDbTool::List(const QStringList& args) {
    if (!args.isEmpty())
        throw EUsage(QStringLiteral("estaciones no lleva argumentos"));
    Connect(false);
    RequireTables({QStringLiteral("Estacion"), QStringLiteral("Reg"), QStringLiteral("CODIGO")});
    TSqlStatement q(m_db,
                    QStringLiteral("SELECT Estacion.Id AS IdEstacion, Estacion.Puerto, Reg.Id, "
                                   "Reg.Velocidad, Reg.CTRLACTIVO, Reg.VIRTUAL, Reg.HTA FROM "
                                   "Estacion LEFT OUTER JOIN Reg ON Reg.IdEstacion = Estacion.Id "
                                   "ORDER BY Estacion.Id, Reg.Id"),
                    QStringLiteral("Estacion, Reg"));
    q.Exec();
    const QStringList header = {"Estacion",  "Puerto", "Dispositivo", "Registrador",
                                "Velocidad", "Tipo",   "Visitas"};
    QList<QStringList> rows;
    while (q.Next()) {
        const QString port = q.Str(QStringLiteral("Puerto"));
        QStringList row = {QString::number(q.OptInt(QStringLiteral("IdEstacion")).value_or(0)),
                           port.isEmpty() ? QStringLiteral("(vacío)") : port,
                           port.isEmpty() ? QString() : TSerialPort::DevicePath(port)};
        if (q.IsNull(QStringLiteral("Id"))) {
            row << QString() << QString() << QString() << QString();
        } else {
            row << q.Str(QStringLiteral("Id"))
                << QString::number(q.OptInt(QStringLiteral("Velocidad")).value_or(9600))
                << KindName(q.Bool(QStringLiteral("VIRTUAL")), q.Bool(QStringLiteral("HTA")))
                << (q.Bool(QStringLiteral("CTRLACTIVO")) ? QStringLiteral("sí")
                                                         : QStringLiteral("no"));
        }
        rows << row;
    }
    PrintTable(header, rows);
    TSqlStatement read(m_db, QString::fromLatin1(Sql::kQryId), QStringLiteral("CODIGO"));
    read.Bind(QStringLiteral("Tabla"), kCounter);
    read.Exec();
    if (read.Next())
        m_out << "Contador de ids " << kCounter << ": próximo id "
              << read.Str(QStringLiteral("DESCRIPCION")) << "\n";
    else
        m_out << "Falta el contador de ids " << kCounter << "; créelo con \"kelvordb contador\"\n";
}

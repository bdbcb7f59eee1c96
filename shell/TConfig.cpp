#include "shell/TConfig.h"

#include <QFileInfo>
#include <iterator>

#include "shell/RegistryFile.h"

namespace {

// The settings in table order: the order in which they are read, saved and
// described. Retrys is the one value whose default depends on whether the key
// exists at all.
struct Setting {
    const char* name;
    enum Kind { kInt, kBool } kind;
    qint32 TConfig::*intField;
    bool TConfig::*boolField;
    qint32 defaultValue;        // value missing
    qint32 defaultWithoutKey;   // key missing
    bool saved;
};

constexpr Setting I(const char* n, qint32 TConfig::*f, qint32 d, qint32 dk, bool saved = true) {
    return {n, Setting::kInt, f, nullptr, d, dk, saved};
}
constexpr Setting B(const char* n, bool TConfig::*f, bool d) {
    return {n, Setting::kBool, nullptr, f, d, d, true};
}

const Setting kSettings[] = {
    I("Estacion", &TConfig::Estacion, 1, 1),
    I("Comandos", &TConfig::Comandos, 10, 10),
    I("Prioridad", &TConfig::Prioridad, 3, 3),
    I("Filas", &TConfig::Filas, 100, 100),
    I("DifHora", &TConfig::DifHora, 5, 5),
    I("LogFileActivado", &TConfig::LogFileActivado, 0, 0),
    I("LogFileAppend", &TConfig::LogFileAppend, 0, 0),
    I("LogFileMax", &TConfig::LogFileMax, 30, 30, false),
    I("Retrys", &TConfig::Retrys, 1, 2),
    I("TimeOut", &TConfig::TimeOut, 3, 3),
    I("Espera", &TConfig::Espera, 3, 3),
    B("Kelvor1Compat", &TConfig::Kelvor1Compat, false),
    B("ActHora", &TConfig::ActHora, false),
    B("IV", &TConfig::IV, true),
    I("MASTER1", &TConfig::MASTER1, 0, 0, false),
    I("MASTER2", &TConfig::MASTER2, 0, 0, false),
    I("MASTER3", &TConfig::MASTER3, 0, 0, false),
    B("PSW", &TConfig::PSW, false),
    I("Eco", &TConfig::Eco, 2, 2, false),
};

}  // namespace

qint32 TConfig::Value(int index) const {
    const Setting& s = kSettings[index];
    return s.kind == Setting::kInt ? this->*s.intField : (this->*s.boolField ? 1 : 0);
}

void TConfig::Load(const RegistryFile& registry) {
    QString error;
    const std::optional<RegistryKey> key = registry.OpenKeyRead(RegistryKeys::kAgent, &error);
    m_loadError = error.isEmpty()
                      ? QString()
                      : QStringLiteral("no se pudo leer el archivo de configuración %1: %2")
                            .arg(registry.Path(), error);
    m_fileMissing = error.isEmpty() && !QFileInfo::exists(registry.Path());
    m_problems.clear();
    m_stationProblem.clear();
    m_unreadable.clear();
    m_baseline.clear();
    const QString where = QStringLiteral("de la clave HKEY_LOCAL_MACHINE%1 de %2")
                              .arg(RegistryKeys::kAgent, registry.Path());
    for (const Setting& s : kSettings) {
        const QString name = QString::fromLatin1(s.name);
        std::optional<qint32> v;
        QString unreadable;
        if (key) {
            v = key->ReadInteger(name);
            // There but not a 32-bit integer ("3" as text, a comment after the
            // value, nine hex digits): said, and its line kept as written.
            const std::optional<QString> raw = key->Raw(name);
            if (!v && raw)
                unreadable = raw->isEmpty() ? QStringLiteral("(vacío)") : *raw;
        }
        const qint32 value = v ? *v : (key ? s.defaultValue : s.defaultWithoutKey);
        if (s.kind == Setting::kInt)
            this->*s.intField = value;
        else
            this->*s.boolField = value != 0;
        m_unreadable.append(unreadable);
        if (unreadable.isEmpty())
            continue;
        const QString what = QStringLiteral(
                                 "El valor \"%1\"=%2 %3 no es un número de 32 bits "
                                 "(dword: y hasta ocho cifras hexadecimales)")
                                 .arg(name, unreadable, where);
        if (name == QLatin1String("Estacion"))
            m_stationProblem = what + QStringLiteral(
                                          "; el agente no atiende una estación supuesta: "
                                          "corrija la línea y vuelva a iniciarlo");
        else
            m_problems.append(what + QStringLiteral("; se usa el valor por omisión %1 y la "
                                                    "línea queda como está")
                                         .arg(value));
    }
    // A file that is there but cannot be read may name any station.
    if (m_stationProblem.isEmpty() && !m_loadError.isEmpty()) {
        QString text = m_loadError;
        text[0] = text[0].toUpper();
        m_stationProblem = text + QStringLiteral("; el agente no atiende una estación supuesta");
    }
    for (int i = 0; i < int(std::size(kSettings)); ++i) m_baseline.append(Value(i));
    m_loaded = true;
}

QString TConfig::MissingFileReport(const QString& path) const {
    if (!m_fileMissing)
        return {};
    return QStringLiteral(
               "No existe el archivo de configuración %1; se usan los valores por "
               "omisión y el cierre no lo crea")
        .arg(path);
}

bool TConfig::Save(const RegistryFile& registry, QString* error) {
    QList<RegistryValue> values;
    QStringList kept;
    for (int i = 0; i < int(std::size(kSettings)); ++i) {
        const Setting& s = kSettings[i];
        if (!s.saved)
            continue;
        // Only what changed since the file was read (the options dialog): an
        // installer's edit made meanwhile, and every line nobody changed, stay.
        if (m_loaded && m_baseline[i] == Value(i))
            continue;
        if (m_loaded && !m_unreadable[i].isEmpty()) {
            kept.append(QString::fromLatin1(s.name));
            continue;
        }
        values.append(RegistryValue::Int(QString::fromLatin1(s.name), Value(i)));
    }
    QString why;
    const bool written = values.isEmpty() || registry.Write(RegistryKeys::kAgent, values, &why);
    if (written && m_loaded) {
        for (int i = 0; i < int(std::size(kSettings)); ++i)
            if (m_unreadable[i].isEmpty())
                m_baseline[i] = Value(i);
    }
    if (!kept.isEmpty()) {
        if (!why.isEmpty())
            why += QStringLiteral("; ");
        why += QStringLiteral(
                   "no se guarda %1: su línea no se puede leer y queda como está; "
                   "corríjala en %2")
                   .arg(kept.join(QStringLiteral(", ")), registry.Path());
    }
    if (error)
        *error = why;
    return written && kept.isEmpty();
}

QStringList TConfig::Describe() const {
    QStringList lines;
    for (int i = 0; i < int(std::size(kSettings)); ++i)
        lines.append(
            QStringLiteral("%1=%2").arg(QString::fromLatin1(kSettings[i].name)).arg(Value(i)));
    return lines;
}

TConfig& Config() {
    static TConfig instance;
    return instance;
}

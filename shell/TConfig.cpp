#include "shell/TConfig.h"

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

void TConfig::Load(const RegistryFile& registry) {
    QString error;
    const std::optional<RegistryKey> key = registry.OpenKeyRead(RegistryKeys::kAgent, &error);
    m_loadError = error.isEmpty()
                      ? QString()
                      : QStringLiteral("no se pudo leer el archivo de configuración %1: %2")
                            .arg(registry.Path(), error);
    for (const Setting& s : kSettings) {
        std::optional<qint32> v;
        if (key) v = key->ReadInteger(QString::fromLatin1(s.name));
        const qint32 value = v ? *v : (key ? s.defaultValue : s.defaultWithoutKey);
        if (s.kind == Setting::kInt)
            this->*s.intField = value;
        else
            this->*s.boolField = value != 0;
    }
}

QString TConfig::LoadErrorReport() const {
    if (m_loadError.isEmpty())
        return {};
    QString text = m_loadError;
    text[0] = text[0].toUpper();
    return text + QStringLiteral("; se usan los valores por omisión");
}

bool TConfig::Save(const RegistryFile& registry) const {
    QList<RegistryValue> values;
    for (const Setting& s : kSettings) {
        if (!s.saved)
            continue;
        const qint32 v = s.kind == Setting::kInt ? this->*s.intField : (this->*s.boolField ? 1 : 0);
        values.append(RegistryValue::Int(QString::fromLatin1(s.name), v));
    }
    return registry.Write(RegistryKeys::kAgent, values);
}

QStringList TConfig::Describe() const {
    QStringList lines;
    for (const Setting& s : kSettings) {
        const qint32 v = s.kind == Setting::kInt ? this->*s.intField : (this->*s.boolField ? 1 : 0);
        lines.append(QStringLiteral("%1=%2").arg(QString::fromLatin1(s.name)).arg(v));
    }
    return lines;
}

TConfig& Config() {
    static TConfig instance;
    return instance;
}

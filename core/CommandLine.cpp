#include "core/CommandLine.h"

namespace {

bool IsDecimal(const QString& text) {
    if (text.isEmpty())
        return false;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

}  // namespace

CommandLineResult ParseCommandLine(const QStringList& args) {
    AgentOptions o;
    for (int i = 0; i < args.size(); ++i) {
        QString name = args[i];
        std::optional<QString> inlineValue;
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && eq > 2) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
        }
        const bool takesValue = name == QLatin1String("--registry") ||
                                name == QLatin1String("--log-dir") ||
                                name == QLatin1String("--cycles");
        if (inlineValue && !takesValue)
            return {std::nullopt, QStringLiteral("la opción %1 no lleva valor").arg(name)};

        QString value;
        if (takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--"))) {
                value = args[++i];
            } else {
                return {std::nullopt, QStringLiteral("falta el valor de la opción %1").arg(name)};
            }
            if (value.isEmpty())
                return {std::nullopt,
                        QStringLiteral("la opción %1 tiene un valor vacío").arg(name)};
        }

        if (name == QLatin1String("--headless")) {
            o.headless = true;
        } else if (name == QLatin1String("--registry")) {
            o.registry = value;
        } else if (name == QLatin1String("--log-dir")) {
            o.logDir = value;
        } else if (name == QLatin1String("--cycles")) {
            bool ok = IsDecimal(value);
            const qint32 n = ok ? value.toInt(&ok) : 0;
            if (!ok || n < 1)
                return {std::nullopt,
                        QStringLiteral("valor no válido para --cycles: \"%1\" (se espera un "
                                       "número entero mayor o igual que 1)")
                            .arg(value)};
            o.cycles = n;
        } else if (name == QLatin1String("--print-config")) {
            o.printConfig = true;
        } else if (name == QLatin1String("--check")) {
            o.check = true;
        } else if (name == QLatin1String("--probe")) {
            o.probe = true;
        } else if (name == QLatin1String("--status")) {
            o.status = true;
        } else if (name == QLatin1String("--version")) {
            o.version = true;
        } else if (name == QLatin1String("--help")) {
            o.help = true;
        } else if (name.startsWith(QLatin1Char('-'))) {
            return {std::nullopt, QStringLiteral("opción desconocida: %1").arg(args[i])};
        } else {
            return {std::nullopt, QStringLiteral("argumento inesperado: %1").arg(args[i])};
        }
    }
    if (o.probe && !o.check)
        return {std::nullopt, QStringLiteral("la opción --probe solo vale con --check")};
    return {o, QString()};
}

QString UsageText() {
    return QStringLiteral(
        "Uso: agente [--headless] [--registry ARCHIVO] [--log-dir CARPETA] [--cycles N]\n"
        "            [--print-config] [--check [--probe]] [--status] [--version] [--help]\n"
        "\n"
        "Agente de comunicaciones de la estación: recoge las registraciones de los\n"
        "registradores y les envía los comandos pendientes.\n"
        "\n"
        "  --headless          sin ventana ni icono; las líneas del archivo de sesión\n"
        "                      se copian también a la salida de errores\n"
        "  --registry ARCHIVO  archivo de configuración (si no: $KELVOR_REGISTRY, si no:\n"
        "                      /etc/kelvor/registry.reg)\n"
        "  --log-dir CARPETA   carpeta del archivo de sesión (si no: la del ejecutable)\n"
        "  --cycles N          termina después del ciclo N (N >= 1); estado 1 si en el\n"
        "                      último ciclo no respondió ningún registrador\n"
        "  --print-config      muestra la configuración, una línea Nombre=valor por valor,\n"
        "                      y termina sin guardar nada\n"
        "  --check             revisa la estación (configuración, base de datos, líneas de\n"
        "                      los registradores) sin enviar nada; una línea OK o FALLA\n"
        "                      por punto, y termina con 1 si algo falla\n"
        "  --probe             con --check, pide además su estado a cada registrador\n"
        "  --status            muestra el estado de cada registrador de la estación según\n"
        "                      el último ciclo del agente, y termina\n"
        "  --version           muestra la versión y termina\n"
        "  --help              muestra esta ayuda y termina\n");
}

// The agent program. The informational options (--help, --version,
// --print-config) run without creating the application object, so they work
// on a machine without a display. --headless runs the agent with a
// QCoreApplication only (service use); the window version is built apart.

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <cstdio>

#include "core/CommandLine.h"
#include "core/HeadlessAgent.h"
#include "core/WindowAgent.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "shell/TVersionInfo.h"

namespace {

void Print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QStringList Arguments(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLineResult parsed = ParseCommandLine(Arguments(argc, argv));
    if (!parsed.options) {
        Print(stderr, QStringLiteral("agente: %1\n").arg(parsed.error));
        return 2;
    }
    const AgentOptions& options = *parsed.options;

    if (options.help) {
        Print(stdout, UsageText());
        return 0;
    }
    if (options.version) {
        Print(stdout, QStringLiteral("Agente de Kelvor %1\n").arg(TVersionInfo().VersionText()));
        return 0;
    }
    if (!options.registry.isEmpty())
        RegistryFile::SetProcessPath(options.registry);
    if (options.printConfig) {
        Config().Load(RegistryFile::Process());
        if (!Config().LoadError().isEmpty())
            Print(stderr, QStringLiteral("agente: %1\n").arg(Config().LoadError()));
        Print(stdout, Config().Describe().join(QLatin1Char('\n')) + QLatin1Char('\n'));
        return 0;
    }

    if (options.headless) {
        QCoreApplication app(argc, argv);
        HeadlessOptions headless;
        headless.logDir = options.logDir;
        headless.cycles = options.cycles.value_or(0);
        return RunHeadless(headless);
    }

#ifdef KELVOR_WITH_WINDOW
    return RunWindow(options, argc, argv);
#else
    Print(stderr, QStringLiteral("agente: la versión con ventana no forma parte de esta "
                                 "compilación; use --headless\n"));
    return 1;
#endif
}

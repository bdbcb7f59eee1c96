// The agent program. The informational options (--help, --version,
// --print-config) run without creating the application object, so they work
// on a machine without a display. --headless runs the agent with a
// QCoreApplication only (service use); the window version is built apart.

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <cstdio>

#include "core/AgentPlaces.h"
#include "core/CommandLine.h"
#include "core/HeadlessAgent.h"
#include "core/ReaderStatus.h"
#include "core/StationCheck.h"
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
    // Without a chosen settings file, an agent with a window whose user may
    // not write the machine's file keeps its own (AgentPlaces), made as a
    // copy of the machine's when the window agent first starts. The other
    // modes but --headless show what that agent would use, making nothing.
    QString settingsNote;
    if (options.registry.isEmpty() && qEnvironmentVariableIsEmpty("KELVOR_REGISTRY") &&
        !options.headless) {
        const QString system = RegistryFile::Process().Path();
        const bool window = !options.printConfig && !options.check && !options.status;
        const QString own = AgentPlaces().WindowSettingsFile(system, window);
        if (own != system && !window && !QFileInfo::exists(own)) {
            settingsNote = QStringLiteral(
                               " (aún no existe: el agente con ventana la creará como "
                               "copia de %1)")
                               .arg(system);
        } else {
            RegistryFile::SetProcessPath(own);
        }
        if (!settingsNote.isEmpty())
            settingsNote.prepend(own);
    }
    if (options.printConfig) {
        Config().Load(RegistryFile::Process());
        // What the agent would say at its start, on standard error; the
        // settings are printed all the same, as the agent would take them.
        QStringList said = Config().Problems();
        if (!Config().StationProblem().isEmpty())
            said.prepend(Config().StationProblem());
        if (Config().FileMissing())
            said.prepend(Config().MissingFileReport(RegistryFile::Process().Path()));
        for (const QString& line : said) Print(stderr, QStringLiteral("agente: %1\n").arg(line));
        Print(stdout, Config().Describe().join(QLatin1Char('\n')) + QLatin1Char('\n'));
        // A comment line: readers of the Name=value lines pass over it.
        Print(stdout,
              QStringLiteral("# Archivo: %1\n")
                  .arg(settingsNote.isEmpty() ? RegistryFile::Process().Path() : settingsNote));
        return 0;
    }

    if (options.status) {
        Config().Load(RegistryFile::Process());
        QString error;
        const QString report = AgentPlaces().StatusReport(Config().Estacion, &error);
        if (!error.isEmpty()) {
            Print(stderr, QStringLiteral("agente: %1\n").arg(error));
            return 1;
        }
        Print(stdout, report);
        return 0;
    }

    if (options.check) {
        QCoreApplication app(argc, argv);  // the SQL drivers are plugins
        const RegistryFile registry = RegistryFile::Process();
        Config().Load(registry);
        StationCheck check(registry, Config());
        check.SetProbe(options.probe);
        bool ok = true;
        for (const CheckItem& item : check.Run()) {
            Print(stdout, StationCheck::Line(item) + QLatin1Char('\n'));
            ok = ok && item.ok;
        }
        return ok ? 0 : 1;
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

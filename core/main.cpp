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
        const AgentPlaces places;
        const QString file = places.FindStatusFile(Config().Estacion);
        QString error;
        QString table;
        // The service's files are its group's: an operator outside the group
        // is told so, not sent to look at the agent's cycles.
        const QString user = AgentPlaces::UserName();
        const QString groupHint =
            QStringLiteral(
                "; use \"sudo agente --status\" o agregue el usuario al grupo "
                "kelvor (\"sudo usermod -aG kelvor %1\" y una nueva sesión)")
                .arg(user);
        const QStringList unreadable = places.UnreadableStateFolders();
        if (file.isEmpty() && !unreadable.isEmpty()) {
            error = QStringLiteral(
                        "el usuario %1 no puede leer %2, donde puede estar el archivo "
                        "de estado de la estación %3")
                        .arg(user, unreadable.join(QStringLiteral(", ")))
                        .arg(Config().Estacion) +
                    groupHint;
        } else if (file.isEmpty()) {
            error = QStringLiteral(
                        "no hay archivo de estado de la estación %1 en %2; ¿completó "
                        "el agente algún ciclo?")
                        .arg(Config().Estacion)
                        .arg(places.StateFolders().join(QStringLiteral(", ")));
        } else {
            QFile in(file);
            if (!in.open(QIODevice::ReadOnly))
                error = QStringLiteral("%1: %2").arg(file, in.errorString()) +
                        (in.error() == QFileDevice::OpenError && !QFileInfo(file).isReadable()
                             ? groupHint
                             : QString());
            else
                table = ReaderStatus::Table(in.readAll(), &error);
            if (!error.isEmpty() && !error.startsWith(file))
                error = QStringLiteral("%1: %2").arg(file, error);
        }
        if (!error.isEmpty()) {
            Print(stderr, QStringLiteral("agente: %1\n").arg(error));
            return 1;
        }
        Print(stdout, QStringLiteral("Archivo de estado: %1\n").arg(file) + table);
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

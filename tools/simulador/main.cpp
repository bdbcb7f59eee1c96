// simulador: simulated readers on a pseudo-terminal, the far end of the
// agent's serial line for demos and tests. See docs/simulador.md.

#include <signal.h>

#include <QCoreApplication>
#include <cstdio>

#include "shell/Errors.h"
#include "tools/simulador/SimScript.h"
#include "tools/simulador/SimulatedLine.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    SimScript::LineOptions options;
    try {
        args = SimScript::ExpandScripts(args);
        options = SimScript::TakeLineOptions(args);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(SimScript::Usage()), stdout);
        return 0;
    }

    // The signals are taken by sigwait below; block them before the line's
    // thread exists so that it inherits the mask and never sees them.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE}) sigaddset(&handled, s);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    SimulatedLine line(SystemClock(), options.seed);
    try {
        line.SetLinkPath(options.link);
        line.SetStateFile(options.stateFile);
        SimScript::Apply(args, line);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
        return 2;
    }
    if (!options.control.isEmpty()) {
        line.SetControl(options.control, [&line](const QString& text) {
            SimScript::Apply(SimScript::Tokenize(text), line);
        });
    }
    try {
        line.Start();
    } catch (const Exception& e) {
        std::fprintf(stderr, "simulador: %s\n", qPrintable(e.Message()));
        return 1;
    }
    std::printf("%s\n", qPrintable(line.DevicePath()));
    std::fflush(stdout);
    QStringList readers;
    for (QChar a : line.Addresses()) readers.append(QString(a));
    std::fprintf(stderr, "simulador: terminal %s, registradores %s\n", qPrintable(line.SlavePath()),
                 qPrintable(readers.join(',')));

    for (;;) {
        int sig = 0;
        if (sigwait(&handled, &sig) != 0)
            continue;
        if (sig == SIGINT || sig == SIGTERM)
            break;
        try {
            if (sig == SIGUSR1)
                line.Unplug();
            if (sig == SIGUSR2)
                line.Plug();
        } catch (const Exception& e) {
            std::fprintf(stderr, "simulador: %s\n", qPrintable(e.Message()));
        }
    }
    line.Stop();
    return 0;
}

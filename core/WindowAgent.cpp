#include "core/WindowAgent.h"

#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "core/AgentApplication.h"
#include "core/AgentPlaces.h"
#include "core/CommandLine.h"
#include "core/ReaderStatus.h"
#include "core/ServiceView.h"
#include "core/SingleInstance.h"
#include "core/StationLock.h"
#include "core/TMainForm.h"
#include "core/TerminationSignals.h"
#include "db/TDM.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/RowPictures.h"
#include "shell/SpanishTexts.h"
#include "shell/TConfig.h"
#include "shell/TVersionInfo.h"

namespace {

const QString kTitle = QStringLiteral("Agente de Kelvor II");

void PrintError(const QString& text) {
    std::fprintf(stderr, "agente: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool X11DisplayExists(const QString& display) {
    // Only the local form ":N" or ":N.S" can be checked without connecting.
    static const QRegularExpression local("^(unix)?:(\\d+)(\\.\\d+)?$");
    const QRegularExpressionMatch m = local.match(display);
    if (!m.hasMatch())
        return true;
    return QFileInfo::exists("/tmp/.X11-unix/X" + m.captured(2));
}

bool WaylandDisplayExists(const QString& display) {
    if (display.startsWith('/'))
        return QFileInfo::exists(display);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath(display));
}

// Ends the modal widgets, innermost first; each one that is ended hands the
// focus to the one below. Bounded: a widget that refuses to close does not
// hold the loop.
void EndModalWidgets() {
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
}

// The read-only view of a station the service serves, until it is closed, a
// signal comes or the session ends. Writes nothing: no session log, no
// settings.
int ShowService(qint32 estacion, const QString& holder, const bool& terminated,
                std::function<void()>& onTermination) {
    PrintError(QStringLiteral("el servicio atiende la estación %1 (%2); se muestra su estado, "
                              "sin iniciar otro agente")
                   .arg(estacion)
                   .arg(holder));
    ServiceView::Source source;
    source.estacion = estacion;
    source.holder = holder;
    const int refresh = qEnvironmentVariableIntValue("KELVOR_SERVICE_REFRESH_MS");
    if (refresh > 0)
        source.refreshMs = refresh;
    ServiceView view(source);
    QObject::connect(&view, &ServiceView::Closed, qApp, &QApplication::quit, Qt::QueuedConnection);
    onTermination = [] {
        QMetaObject::invokeMethod(qApp, &QApplication::quit, Qt::QueuedConnection);
    };
    if (terminated)
        return 0;  // a signal came before the view could take it
    const QString screenshot = qEnvironmentVariable("KELVOR_SCREENSHOT");
    if (screenshot.isEmpty()) {
        view.showMinimized();
    } else {
        view.showNormal();
        QTimer::singleShot(500, &view, [&view, screenshot] { view.grab().save(screenshot); });
    }
    QApplication::exec();
    onTermination = nullptr;
    return 0;
}

}  // namespace

bool DisplayAvailable() {
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    const bool x11 = platform.isEmpty() || platform.startsWith("xcb");
    const bool wayland = platform.isEmpty() || platform.startsWith("wayland");
    if (!x11 && !wayland)
        return true;  // offscreen, vnc, ...: no display needed
    const QString display = qEnvironmentVariable("DISPLAY");
    const QString waylandDisplay = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (x11 && !display.isEmpty() && X11DisplayExists(display))
        return true;
    if (wayland && !waylandDisplay.isEmpty() && WaylandDisplayExists(waylandDisplay))
        return true;
    return false;
}

int RunWindow(const AgentOptions& options, int& argc, char** argv) {
    if (!DisplayAvailable()) {
        PrintError(
            "no hay pantalla disponible para la ventana del agente (DISPLAY); use "
            "--headless para ejecutarlo sin ventana");
        return 1;
    }

    // The date texts need no setting up: their formats and names are fixed
    // (shell/TimeText.h).
    TConfig& config = Config();
    config.Load(RegistryFile::Process());

    AgentApplication app(argc, argv);
    // Qt's standard buttons and boxes (Aceptar, Cancelar, Sí, No) in Spanish
    // like the rest of the window, whatever the system's language; before any
    // window is made, as the buttons take their texts when created.
    SpanishTexts::InstallQtTranslation(app);
    QApplication::setApplicationName("Agente");
    QApplication::setWindowIcon(RowPictures::AgentIcon());
    // The window hides in the notification area; closing a dialog meanwhile
    // must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // Before the thread exists: a session that ends (SIGTERM) or Ctrl+C in a
    // terminal closes the agent after its cycle instead of killing it in one.
    std::unique_ptr<TerminationSignals> termination;
    try {
        termination = std::make_unique<TerminationSignals>();
    } catch (const Exception& e) {
        PrintError(e.Message());
    }
    // A signal ends whatever the agent shows at that moment: every modal box
    // and dialog (a box's own event loop would otherwise keep the program
    // for ever, with nobody at the desk after a logout), then the agent.
    bool terminated = false;
    std::function<void()> onTermination;
    if (termination) {
        QObject::connect(termination.get(), &TerminationSignals::Received, &app, [&](int) {
            terminated = true;
            EndModalWidgets();
            if (onTermination)
                onTermination();
        });
    }

    SingleInstance instance(TMainForm::staticMetaObject.className(), kTitle);
    // The data module object makes no connection until Open below; the
    // thread created with the window only needs to know it.
    TDM dm;

    MainFormSetup setup;
    setup.config = &config;
    setup.dm = &dm;
    // Next to the program, unless the agent keeps per-user settings or may
    // not write there (an installed program): then in the user's own folder.
    const AgentPlaces places;
    const bool own = RegistryFile::Process().Path() == places.UserSettingsFile();
    setup.logFolder = options.logDir;
    if (setup.logFolder.isEmpty()) {
        const QString programFolder = QCoreApplication::applicationDirPath();
        setup.logFolder =
            own || !AgentPlaces::MayWrite(programFolder) ? places.UserLogFolder() : programFolder;
    }
    QDir().mkpath(setup.logFolder);
    setup.instance = &instance;
    setup.cycleLimit = options.cycles.value_or(0);
    setup.screenshot = qEnvironmentVariable("KELVOR_SCREENSHOT");
    QString statusProblem;
    ReaderStatus status(places.StatusFile(config.Estacion, &statusProblem));
    setup.status = &status;

    const int dialogTimeout = qEnvironmentVariableIntValue("KELVOR_DIALOG_TIMEOUT_MS");
    if (dialogTimeout > 0) {
        // The second-agent message is modal inside the window's creation.
        QTimer::singleShot(dialogTimeout, &app, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
    }

    // A station the settings do not name for certain is not served on a
    // guess; nothing is touched yet.
    if (!config.StationProblem().isEmpty()) {
        QMessageBox box(QMessageBox::Critical, QObject::tr("Configuración"),
                        config.StationProblem(), QMessageBox::Ok);
        box.exec();
        PrintError(config.StationProblem());
        return 1;
    }

    // One agent per station, whoever runs it: checked before the window opens
    // its session log, so that the first agent is untouched. A per-user
    // settings file is a copy of the machine's and serves the same station:
    // the lock is the machine's file's, the one the service takes too.
    StationLock station(own ? RegistryFile::SystemPath() : RegistryFile::Process().Path());
    const StationLock::Result locked = station.Acquire();
    if (locked == StationLock::Result::kHeld) {
        // The service serves the station: nothing to warn about, nothing to
        // start; the operator sees what the service does.
        if (station.Holder().contains(QLatin1String("--headless")))
            return ShowService(config.Estacion, station.Holder(), terminated, onTermination);
        QMessageBox box(QMessageBox::Warning, QObject::tr("Cuidado"),
                        QObject::tr("Ya esta ejecutando una instancia del agente"),
                        QMessageBox::Ok);
        box.setInformativeText(station.Holder());
        if (!terminated)
            box.exec();
        PrintError("Ya esta ejecutando una instancia del agente para " +
                   RegistryFile::Process().Path() + ": " + station.Holder());
        return 0;
    }
    // Without the lock nothing keeps a second agent off this station (the
    // service, another operator's window): the window does not open.
    if (locked == StationLock::Result::kUnavailable) {
        const QString text = "No se pudo tomar el bloqueo de la estación (" + station.Error() +
                             "); el agente no se inicia";
        QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), text, QMessageBox::Ok);
        box.exec();
        PrintError(text);
        return 1;
    }

    auto form = std::make_unique<TMainForm>(setup);
    if (form->Refused()) {
        PrintError("Ya esta ejecutando una instancia del agente");
        return 0;
    }
    // A signal during the window's creation (the log's retry question) ended
    // that box: the agent then ends before its thread ever runs.
    if (terminated)
        return 0;

    // What the settings file lacks or holds unreadable, once, at attention level.
    if (config.FileMissing())
        form->ReportStartupError(config.MissingFileReport(RegistryFile::Process().Path()), 1);
    for (const QString& problem : config.Problems()) form->ReportStartupError(problem, 1);

    if (!statusProblem.isEmpty())
        form->ReportStartupError(statusProblem);
    form->CreateDialogs([&dm](const QString& password) { return dm.IsAdministrator(password); },
                        TVersionInfo().VersionText());

    try {
        dm.Open();
    } catch (const Exception& e) {
        form->ReportStartupError("No se pudo abrir la base de datos: " + e.Message());
    }
    QString databaseText;
    try {
        databaseText = dm.StatusText();
    } catch (const Exception& e) {
        databaseText = e.Message();
    }
    form->ShowStatus(databaseText);

    // Queued: the close waits for the thread, which is not done inside the
    // event loop of a box that the signal has just ended.
    onTermination = [window = form.get()] {
        QMetaObject::invokeMethod(window, &TMainForm::CloseUnattended, Qt::QueuedConnection);
    };
    form->StartThread();
    QObject::connect(form.get(), &TMainForm::Closed, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    if (setup.screenshot.isEmpty())
        form->showMinimized();
    else
        form->showNormal();
    QApplication::exec();

    onTermination = nullptr;  // the window is closing already
    form.reset();             // the session log's end lines
    try {
        dm.CloseThreadConnection();
    } catch (const Exception& e) {
        PrintError(e.Message());
    }
    // Only what the options dialog changed and could not save then: an
    // installer's edit made while the window ran stays, and a missing file
    // is not made.
    QString saveError;
    if (!config.Save(RegistryFile::Process(), &saveError))
        PrintError("no se pudo guardar la configuración en " + RegistryFile::Process().Path() +
                   ": " + saveError);
    return 0;
}

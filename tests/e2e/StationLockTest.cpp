// The station lock as a site meets it: the real agente program, started as an
// unprivileged user (nobody, when the tests run as root), against whatever
// another local user left at the lock's name, and the choice of the lock's
// folder.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <functional>

#include "core/StationLock.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr uid_t kNobody = 65534;

bool Root() {
    return ::geteuid() == 0;
}

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

// One start of the headless agent on `registry` with its locks in
// `lockDir`, as nobody when this is root; bounded: a start that hangs is a
// failure, not a stuck test.
struct Start {
    int exitCode = -1;
    bool finished = false;
    QString err;
};

// enough: a start that gets this far (this text on standard error) is
// stopped there; empty: it must end by itself.
Start RunAgent(const QString& registry, const QString& lockDir, const QString& logDir,
               const QString& enough = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVOR_LOCK_DIR", lockDir);
    for (const char* name : {"KELVOR_REGISTRY", "NOTIFY_SOCKET", "WATCHDOG_USEC"}) env.remove(name);
    p.setProcessEnvironment(env);
    const QString agente = BuildDir() + "/core/agente";
    const QStringList args{"--headless", "--registry", registry, "--log-dir", logDir};
    if (Root())
        p.start("setpriv",
                QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", agente} + args);
    else
        p.start(agente, args);
    Start out;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (p.waitForFinished(50)) {
            out.finished = true;
            break;
        }
        out.err += QString::fromUtf8(p.readAllStandardError());
        if (!enough.isEmpty() && out.err.contains(enough))
            break;
    }
    if (!out.finished) {
        p.kill();
        p.waitForFinished(5000);
    } else {
        out.exitCode = p.exitCode();
    }
    out.err += QString::fromUtf8(p.readAllStandardError());
    return out;
}

// A folder of the test that nobody may enter and write (as a shared lock
// folder is to the station's group).
struct Place {
    ScratchDir dir;
    QString registry, locks, log, victim;
    QString lockPath;

    Place() {
        ::chmod(Native(dir.Path()).constData(), 0755);
        registry = dir.File("registry.reg");
        locks = dir.File("locks");
        log = dir.File("log");
        victim = dir.File("victim.db");
        QDir().mkpath(locks);
        QDir().mkpath(log);
        ::chmod(Native(locks).constData(), 0777);
        ::chmod(Native(log).constData(), 0777);
        WriteAll(registry, "Windows Registry Editor Version 5.00\r\n");
        ::chmod(Native(registry).constData(), 0666);
        WriteAll(victim, "the site's database");
        ::chmod(Native(victim).constData(), 0666);
        lockPath = StationLock(registry, locks).LockPath();
    }
};

}  // namespace

// Whatever was planted at the lock's name stops the start with its reason
// (exit status 1, one line on standard error), never hangs it, and is left
// as it was: a file behind a link or a second name is never truncated.
TEST(StationLockAgent, APlantedLockStopsTheStartWithItsReasonAndTouchesNothing) {
    struct Case {
        const char* what;
        std::function<void(Place&)> plant;
        const char* said;
    } cases[] = {
        {"symbolic link to the site's database",
         [](Place& p) { ASSERT_TRUE(QFile::link(p.victim, p.lockPath)); },
         "es un enlace simbólico"},
        {"hard link to the site's database",
         [](Place& p) {
             ASSERT_EQ(::link(Native(p.victim).constData(), Native(p.lockPath).constData()), 0);
         },
         "tiene otros nombres"},
        {"FIFO", [](Place& p) { ASSERT_EQ(::mkfifo(Native(p.lockPath).constData(), 0666), 0); },
         "no es un archivo común"},
        {"folder", [](Place& p) { ASSERT_TRUE(QDir().mkpath(p.lockPath)); }, "Is a directory"},
        {"mode 0000 file",
         [](Place& p) {
             ASSERT_TRUE(WriteAll(p.lockPath, ""));
             ::chmod(Native(p.lockPath).constData(), 0);
         },
         "Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Place place;
        c.plant(place);
        const Start s = RunAgent(place.registry, place.locks, place.log);
        ASSERT_TRUE(s.finished) << "the start hung";
        EXPECT_EQ(s.exitCode, 1);
        EXPECT_TRUE(s.err.contains("agente: No se pudo tomar el bloqueo de la estación ("))
            << s.err.toStdString();
        EXPECT_TRUE(s.err.contains(c.said)) << s.err.toStdString();
        EXPECT_TRUE(s.err.contains("el agente no se inicia")) << s.err.toStdString();
        EXPECT_EQ(ReadAll(place.victim), "the site's database");
        EXPECT_TRUE(QDir(place.log).entryList(QDir::Files).isEmpty());  // no session began
    }
}

// A lock folder that is missing or may not be written is a stop too, not an
// agent left running unguarded.
TEST(StationLockAgent, AFolderMissingOrNotWritableStopsTheStart) {
    Place place;
    const QString closed = place.dir.File("closed");
    QDir().mkpath(closed);
    ::chmod(Native(closed).constData(), 0555);
    struct Case {
        QString folder;
        const char* said;
    } cases[] = {
        {place.dir.File("missing"), "No such file or directory"},
        {closed, "Permission denied"},
    };
    for (const Case& c : cases) {
        if (!Root() && c.folder == closed && ::access(Native(closed).constData(), W_OK) == 0)
            continue;  // a user who may write anywhere (a capability) cannot be refused
        const Start s = RunAgent(place.registry, c.folder, place.log);
        ASSERT_TRUE(s.finished);
        EXPECT_EQ(s.exitCode, 1) << c.folder.toStdString();
        EXPECT_TRUE(s.err.contains(c.said)) << s.err.toStdString();
        EXPECT_TRUE(s.err.contains("el agente no se inicia")) << s.err.toStdString();
    }
}

// Another user's agent holds the station (both are members of the folder's
// group, as the desktop operators and the service are): the start says who
// holds it and ends with status 1; once the holder ends, the next one starts.
TEST(StationLockAgent, AnotherUsersHeldLockIsNamedAndEndsTheStart) {
    Place place;
    auto holder = std::make_unique<StationLock>(place.registry, place.locks);
    ASSERT_EQ(holder->Acquire(QStringLiteral("--prueba")), StationLock::Result::kAcquired)
        << holder->Error().toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(Native(place.lockPath).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);  // the group's, past the umask
    if (Root()) {
        ASSERT_EQ(::chown(Native(place.lockPath).constData(), uid_t(-1), kNobody), 0);
    }

    const Start held = RunAgent(place.registry, place.locks, place.log);
    ASSERT_TRUE(held.finished);
    EXPECT_EQ(held.exitCode, 1);
    EXPECT_TRUE(held.err.contains("Ya esta ejecutando una instancia del agente para " +
                                  place.registry + ": proceso " + QString::number(::getpid()) +
                                  " ("))
        << held.err.toStdString();
    EXPECT_TRUE(held.err.contains("--prueba)")) << held.err.toStdString();

    holder.reset();
    // The next start gets past the lock to the database (there is none here).
    const Start next = RunAgent(place.registry, place.locks, place.log, "base de datos");
    EXPECT_TRUE(next.err.contains("base de datos")) << next.err.toStdString();
    EXPECT_FALSE(next.err.contains("bloqueo")) << next.err.toStdString();
    EXPECT_FALSE(next.err.contains("Ya esta ejecutando")) << next.err.toStdString();
}

// The folder: $KELVOR_LOCK_DIR, else the package's folder whenever it exists
// (even where this user may not write: the start must then fail there), else
// the user's runtime folder, else the temporary folder.
TEST(StationLock, DefaultFolderPrefersTheOverrideThenThePackagesFolder) {
    ScratchDir dir;
    const QString system = dir.File("run-kelvor"), runtime = dir.File("xdg");
    QDir().mkpath(runtime);
    const QByteArray savedLock = qgetenv("KELVOR_LOCK_DIR"), savedXdg = qgetenv("XDG_RUNTIME_DIR");
    struct Case {
        const char* lockDir;
        bool systemExists;
        bool xdg;
        QString expected;
    } cases[] = {
        {"/elsewhere", true, true, "/elsewhere"},
        {"", true, true, system},
        {"", false, true, runtime},
        {"", false, false, QDir::tempPath()},
    };
    for (const Case& c : cases) {
        qputenv("KELVOR_LOCK_DIR", c.lockDir);
        if (c.xdg)
            qputenv("XDG_RUNTIME_DIR", Native(runtime));
        else
            qunsetenv("XDG_RUNTIME_DIR");
        if (c.systemExists) {
            QDir().mkpath(system);
            ::chmod(Native(system).constData(), 0);  // this user may not enter: still chosen
        } else {
            QDir(system).removeRecursively();
        }
        EXPECT_EQ(StationLock::DefaultFolder(system), c.expected) << c.lockDir << c.systemExists;
        ::chmod(Native(system).constData(), 0700);
    }
    qputenv("KELVOR_LOCK_DIR", savedLock);
    if (savedXdg.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", savedXdg);
}
